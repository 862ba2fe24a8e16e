// Builds small x64 kernel images in memory for the loader's tests: code in
// .text (RVA 0x1000), data in .data (0x2000), imports in .idata (0x3000),
// unwind data in .rdata (0x4000), base relocations in .reloc (0x5000).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

struct PeBuilder {
    static constexpr uint32_t kText = 0x1000, kData = 0x2000, kIdata = 0x3000, kRdata = 0x4000, kReloc = 0x5000;

    std::vector<uint8_t> text{0xc3};
    std::vector<uint8_t> data = std::vector<uint8_t>(16, 0);
    std::vector<std::pair<std::string, std::vector<std::string>>> imports;
    // (function start, end, unwind codes as stored) -> .pdata/.xdata
    struct Function {
        uint32_t begin, end;
        uint8_t prolog;
        std::vector<uint16_t> codes;
        uint8_t frame = 0;  // frame register (low 4 bits) and its offset / 16
    };
    std::vector<Function> functions;
    std::vector<uint32_t> dir64;  // RVAs of 8-byte pointers to relocate
    std::vector<uint16_t> rawRelocs;  // extra entries appended to the first block, as given
    uint32_t relocPage = 0;           // page of the first block (0: the first dir64's page)
    uint32_t entry = kText;
    uint64_t imageBase = 0x140000000;
    uint16_t machine = 0x8664;
    bool stripped = false;

    // RVA of the IAT slot of imports[m].second[r].
    uint32_t Iat(size_t m, size_t r) const
    {
        Layout l = Lay();
        return l.iat[m] + uint32_t(8 * r);
    }

    std::vector<uint8_t> Build() const
    {
        Layout l = Lay();
        std::vector<uint8_t> idata(l.idataSize, 0);
        for (size_t m = 0; m < imports.size(); ++m) {
            uint32_t d = uint32_t(20 * m);
            Put32(idata, d, l.ilt[m]);
            Put32(idata, d + 12, l.moduleName[m]);
            Put32(idata, d + 16, l.iat[m]);
            for (size_t r = 0; r < imports[m].second.size(); ++r) {
                Put64(idata, l.ilt[m] - kIdata + 8 * r, l.routineName[m][r]);
                Put64(idata, l.iat[m] - kIdata + 8 * r, l.routineName[m][r]);
                std::memcpy(&idata[l.routineName[m][r] - kIdata + 2], imports[m].second[r].data(),
                            imports[m].second[r].size());
            }
            std::memcpy(&idata[l.moduleName[m] - kIdata], imports[m].first.data(), imports[m].first.size());
        }
        std::vector<uint8_t> rdata;
        std::vector<uint32_t> infoAt;
        for (const Function& f : functions) {
            infoAt.push_back(kRdata + uint32_t(rdata.size()));
            rdata.push_back(1);
            rdata.push_back(f.prolog);
            rdata.push_back(uint8_t(f.codes.size()));
            rdata.push_back(f.frame);
            for (uint16_t c : f.codes) rdata.push_back(uint8_t(c)), rdata.push_back(uint8_t(c >> 8));
            while (rdata.size() % 4) rdata.push_back(0);
        }
        uint32_t pdata = kRdata + uint32_t(rdata.size());
        for (size_t i = 0; i < functions.size(); ++i) {
            size_t at = rdata.size();
            rdata.resize(at + 12);
            Put32(rdata, at, functions[i].begin);
            Put32(rdata, at + 4, functions[i].end);
            Put32(rdata, at + 8, infoAt[i]);
        }
        std::vector<uint8_t> reloc;
        if (!dir64.empty() || !rawRelocs.empty()) {
            uint32_t page = relocPage ? relocPage : (dir64.empty() ? kData : dir64[0] & ~0xfffu);
            reloc.resize(8);
            Put32(reloc, 0, page);
            for (uint32_t r : dir64) reloc.push_back(uint8_t(r & 0xff)), reloc.push_back(uint8_t(0xa0 | ((r >> 8) & 0xf)));
            for (uint16_t r : rawRelocs) reloc.push_back(uint8_t(r)), reloc.push_back(uint8_t(r >> 8));
            if (reloc.size() % 4) reloc.push_back(0), reloc.push_back(0);
            Put32(reloc, 4, uint32_t(reloc.size()));
        }

        struct Sec {
            const char* name;
            uint32_t va;
            const std::vector<uint8_t>* bytes;
            uint32_t flags;
        };
        std::vector<Sec> secs = {{".text", kText, &text, 0x60000020},
                                 {".data", kData, &data, 0xc0000040},
                                 {".idata", kIdata, &idata, 0xc0000040},
                                 {".rdata", kRdata, &rdata, 0x40000040},
                                 {".reloc", kReloc, &reloc, 0x42000040}};
        std::vector<uint8_t> f(0x400, 0);
        Put16(f, 0, 0x5a4d);
        Put32(f, 0x3c, 0x80);
        uint32_t pe = 0x80, opt = pe + 24;
        Put32(f, pe, 0x00004550);
        Put16(f, pe + 4, machine);
        Put16(f, pe + 6, uint16_t(secs.size()));
        Put16(f, pe + 20, 240);
        Put16(f, pe + 22, uint16_t(0x22 | (stripped ? 1 : 0)));
        Put16(f, opt, 0x20b);
        Put32(f, opt + 16, entry);
        Put64(f, opt + 24, imageBase);
        Put32(f, opt + 32, 0x1000);
        Put32(f, opt + 36, 0x200);
        Put32(f, opt + 56, 0x6000);
        Put32(f, opt + 60, 0x400);
        Put16(f, opt + 68, 1);  // native subsystem
        Put32(f, opt + 108, 16);
        if (!imports.empty()) Put32(f, opt + 112 + 8, kIdata), Put32(f, opt + 116 + 8, uint32_t(idata.size()));
        if (!functions.empty()) Put32(f, opt + 112 + 24, pdata), Put32(f, opt + 116 + 24, uint32_t(12 * functions.size()));
        if (!reloc.empty()) Put32(f, opt + 112 + 40, kReloc), Put32(f, opt + 116 + 40, uint32_t(reloc.size()));
        uint32_t table = opt + 240;
        for (size_t i = 0; i < secs.size(); ++i) {
            uint32_t s = table + uint32_t(40 * i);
            std::memcpy(&f[s], secs[i].name, std::strlen(secs[i].name));
            uint32_t size = uint32_t(secs[i].bytes->size());
            uint32_t raw = (size + 0x1ff) & ~0x1ffu;
            Put32(f, s + 8, size ? size : 1);
            Put32(f, s + 12, secs[i].va);
            Put32(f, s + 16, raw);
            Put32(f, s + 20, raw ? uint32_t(f.size()) : 0);
            Put32(f, s + 36, secs[i].flags);
            size_t at = f.size();
            f.resize(at + raw, 0);
            if (size) std::memcpy(&f[at], secs[i].bytes->data(), size);
        }
        return f;
    }

    static void Put16(std::vector<uint8_t>& v, size_t at, uint16_t x) { std::memcpy(&v[at], &x, 2); }
    static void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) { std::memcpy(&v[at], &x, 4); }
    static void Put64(std::vector<uint8_t>& v, size_t at, uint64_t x) { std::memcpy(&v[at], &x, 8); }

private:
    struct Layout {
        std::vector<uint32_t> ilt, iat, moduleName;
        std::vector<std::vector<uint32_t>> routineName;
        uint32_t idataSize;
    };
    Layout Lay() const
    {
        Layout l;
        uint32_t at = kIdata + uint32_t(20 * (imports.size() + 1));
        for (const auto& [module, routines] : imports) {
            l.ilt.push_back(at);
            at += uint32_t(8 * (routines.size() + 1));
            l.iat.push_back(at);
            at += uint32_t(8 * (routines.size() + 1));
        }
        l.routineName.resize(imports.size());
        for (size_t m = 0; m < imports.size(); ++m) {
            l.moduleName.push_back(at);
            at += uint32_t(imports[m].first.size() + 2) & ~1u;
            for (const auto& r : imports[m].second) {
                l.routineName[m].push_back(at);
                at += uint32_t(2 + r.size() + 2) & ~1u;
            }
        }
        l.idataSize = at - kIdata;
        return l;
    }
};
