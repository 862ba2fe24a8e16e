// The kernel-image loader: maps a PE32+ (x64) driver image, applies its base
// relocations, binds its imports to the platform's export table, translates
// its x64 unwind data for the C++ unwinder and sets each section's
// protection. Every field read from the file is bounds-checked first: a
// malformed image is refused with a message, never followed into memory
// outside the file or the mapping.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <hosted/kernel_image.h>

#include "kernel_image_internal.h"

extern "C" void __register_frame(void*);
extern "C" void __deregister_frame(void*);

namespace hosted {

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint32_t kSectionUninitialized = 0x00000080;
constexpr int kDirImport = 1, kDirException = 3, kDirBaseReloc = 5;
constexpr int kRelocAbsolute = 0, kRelocDir64 = 10;
constexpr size_t kMaxImage = 256u << 20;

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// A bounds-checked little-endian view of a byte range.
struct Bytes {
    const uint8_t* data;
    size_t size;
    bool Has(uint64_t off, uint64_t n) const { return off <= size && n <= size - off; }
    template <class T>
    T Get(uint64_t off) const
    {
        T v;
        std::memcpy(&v, data + off, sizeof v);
        return v;
    }
    // A NUL-terminated string starting at `off`, or false if it runs off the end.
    bool String(uint64_t off, std::string& out, size_t max = 512) const
    {
        out.clear();
        for (uint64_t i = off; i < size && out.size() < max; ++i) {
            if (!data[i]) return true;
            out.push_back(char(data[i]));
        }
        return false;
    }
};

struct Section {
    std::string name;
    uint32_t va, vsize, rawSize, rawOff, flags;
};

struct Refusal {
    std::string why;
};

// Windows x64 register numbers (unwind codes) to DWARF x86-64 numbers.
constexpr uint8_t kDwarfReg[16] = {0, 2, 1, 3, 7, 6, 4, 5, 8, 9, 10, 11, 12, 13, 14, 15};

// Builds an .eh_frame section describing the image's functions from their
// x64 unwind codes. Only the prologue matters: the unwinder passes through
// an image frame only while it is suspended at a call in the function body,
// where the whole prologue has run. No personality routine: the image's code
// is compiled without exceptions, so its frames have nothing to clean up.
class UnwindTranslator {
public:
    UnwindTranslator(Bytes image, uintptr_t base) : image_(image), base_(base) {}

    std::vector<uint8_t> Build(uint32_t dirRva, uint32_t dirSize)
    {
        // The CIE: CFA = rsp + 8 and the return address at CFA - 8 on entry.
        size_t cie = Begin();
        U32(0);
        U8(1);
        for (char c : std::string_view("zR", 3)) U8(uint8_t(c));
        Uleb(1);   // code alignment
        Sleb(-8);  // data alignment
        U8(16);    // return address column
        Uleb(1);   // augmentation data: the FDE pointer encoding
        U8(0x00);  // absolute 8-byte pointers
        U8(0x0c), Uleb(7), Uleb(8);  // DW_CFA_def_cfa rsp, 8
        U8(0x80 | 16), Uleb(1);     // DW_CFA_offset return address, cfa-8
        End(cie);
        if (dirSize % 12) throw Refusal{"exception directory size " + Hex(dirSize) + " is not a whole number of entries"};
        for (uint32_t off = 0; off < dirSize; off += 12) {
            uint32_t begin = image_.Get<uint32_t>(dirRva + off);
            uint32_t end = image_.Get<uint32_t>(dirRva + off + 4);
            uint32_t info = image_.Get<uint32_t>(dirRva + off + 8);
            if (begin >= end || end > image_.size)
                throw Refusal{"function entry " + Hex(begin) + ".." + Hex(end) + " lies outside the image"};
            size_t fde = Begin();
            U32(uint32_t(fde + 4 - cie));  // offset back to the CIE
            U64(base_ + begin);
            U64(end - begin);
            Uleb(0);
            State state;
            Emit(info, begin, true, state, 0);
            End(fde);
        }
        U32(0);  // terminator
        return std::move(out_);
    }

private:
    struct State {
        uint32_t loc = 0;  // function offset the emitted rules have reached
        uint32_t spoff = 8;  // CFA - rsp
        bool framed = false;
    };

    // Emits the rules of the unwind info at `infoRva` for the function at
    // `begin`. A chained parent's prologue has fully run before the child's
    // code, so its rules are emitted at offset 0 (`advance` false).
    void Emit(uint32_t infoRva, uint32_t begin, bool advance, State& st, int depth)
    {
        if (depth > 8) throw Refusal{"unwind info chain at " + Hex(infoRva) + " is too deep"};
        if (!image_.Has(infoRva, 4)) throw Refusal{"unwind info at " + Hex(infoRva) + " lies outside the image"};
        uint8_t verFlags = image_.Get<uint8_t>(infoRva);
        uint8_t count = image_.Get<uint8_t>(infoRva + 2);
        uint8_t frame = image_.Get<uint8_t>(infoRva + 3);
        if ((verFlags & 7) != 1)
            throw Refusal{"unwind info at " + Hex(infoRva) + " has version " + std::to_string(verFlags & 7)};
        if (!image_.Has(infoRva + 4, uint64_t(count) * 2))
            throw Refusal{"unwind codes at " + Hex(infoRva) + " run past the image"};
        if ((verFlags >> 3) & 4) {  // chained: the parent's prologue has run before this fragment
            uint32_t at = infoRva + 4 + 2 * ((count + 1) & ~1);
            if (!image_.Has(at, 12)) throw Refusal{"chained unwind info at " + Hex(infoRva) + " runs past the image"};
            Emit(image_.Get<uint32_t>(at + 8), begin, false, st, depth + 1);
        }
        // Parse the slots (stored last prologue instruction first) into operations.
        struct Op {
            uint8_t offset, op, info;
            uint32_t arg;
        };
        std::vector<Op> ops;
        for (int i = 0; i < count;) {
            uint16_t slot = image_.Get<uint16_t>(infoRva + 4 + 2 * i);
            Op o{uint8_t(slot & 0xff), uint8_t((slot >> 8) & 0xf), uint8_t(slot >> 12), 0};
            int slots = 1;
            auto next = [&](int k) -> uint32_t {
                if (i + k >= count) throw Refusal{"unwind code at " + Hex(infoRva) + " lacks its operand"};
                return image_.Get<uint16_t>(infoRva + 4 + 2 * (i + k));
            };
            switch (o.op) {
            case 0: case 2: case 3: break;  // push, small alloc, frame register
            case 1:
                if (o.info == 0) o.arg = next(1) * 8, slots = 2;
                else o.arg = next(1) | (next(2) << 16), slots = 3;
                break;
            case 4: o.arg = next(1) * 8, slots = 2; break;                   // save nonvolatile
            case 5: o.arg = next(1) | (next(2) << 16), slots = 3; break;     // save nonvolatile, far
            case 8: slots = 2; break;                                         // save xmm128
            case 9: slots = 3; break;                                         // save xmm128, far
            default:
                throw Refusal{"unwind info at " + Hex(infoRva) + " uses operation " + std::to_string(o.op) +
                              ", which the loader does not translate"};
            }
            ops.push_back(o);
            i += slots;
        }
        std::reverse(ops.begin(), ops.end());
        // Where saves by offset are measured from: rsp after the prologue, or
        // rsp when the frame register was set.
        uint32_t sp = st.spoff, establisher = 0;
        for (const Op& o : ops) {
            if (o.op == 0) sp += 8;
            if (o.op == 1) sp += o.arg;
            if (o.op == 2) sp += o.info * 8 + 8;
            if (o.op == 3) establisher = sp;
        }
        if (!establisher) establisher = sp;
        for (const Op& o : ops) {
            if (advance && o.offset > st.loc) {
                U8(0x04), U32(o.offset - st.loc);  // DW_CFA_advance_loc4
                st.loc = o.offset;
            }
            switch (o.op) {
            case 0:
                st.spoff += 8;
                CfaOffset(st);
                Saved(o.info, st.spoff);
                break;
            case 1: st.spoff += o.arg; CfaOffset(st); break;
            case 2: st.spoff += o.info * 8 + 8; CfaOffset(st); break;
            case 3: {
                uint32_t fpOff = (frame >> 4) * 16;
                if ((frame & 0xf) == 0 || fpOff > st.spoff)
                    throw Refusal{"unwind info at " + Hex(infoRva) + " sets a frame register it does not name"};
                U8(0x0c), Uleb(kDwarfReg[frame & 0xf]), Uleb(st.spoff - fpOff);  // DW_CFA_def_cfa
                st.framed = true;
                break;
            }
            case 4: case 5:
                if (o.arg >= establisher || (establisher - o.arg) % 8)
                    throw Refusal{"unwind info at " + Hex(infoRva) + " saves a register outside its frame"};
                Saved(o.info, establisher - o.arg);
                break;
            default: break;  // xmm registers: the C++ unwinder keeps none of them
            }
        }
    }

    void CfaOffset(const State& st)
    {
        if (!st.framed) U8(0x0e), Uleb(st.spoff);  // DW_CFA_def_cfa_offset
    }
    void Saved(uint8_t winReg, uint32_t below) { U8(uint8_t(0x80 | kDwarfReg[winReg & 0xf])), Uleb(below / 8); }

    size_t Begin()
    {
        size_t at = out_.size();
        U32(0);  // length, patched by End
        return at;
    }
    void End(size_t at)
    {
        while ((out_.size() - at) % 8) U8(0);  // DW_CFA_nop
        uint32_t len = uint32_t(out_.size() - at - 4);
        std::memcpy(out_.data() + at, &len, 4);
    }
    void U8(uint8_t v) { out_.push_back(v); }
    void U32(uint32_t v) { out_.insert(out_.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4); }
    void U64(uint64_t v) { out_.insert(out_.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 8); }
    void Uleb(uint64_t v)
    {
        do {
            uint8_t b = v & 0x7f;
            v >>= 7;
            U8(v ? b | 0x80 : b);
        } while (v);
    }
    void Sleb(int64_t v)
    {
        for (;;) {
            uint8_t b = v & 0x7f;
            v >>= 7;
            bool done = (v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40));
            U8(done ? b : b | 0x80);
            if (done) break;
        }
    }

    Bytes image_;
    uintptr_t base_;
    std::vector<uint8_t> out_;
};

size_t PageSize()
{
    static size_t page = size_t(sysconf(_SC_PAGESIZE));
    return page;
}

}  // namespace

std::unique_ptr<KernelImage> KernelImage::Load(const std::string& path, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (!in) {
        if (error) *error = path + ": cannot be read";
        return nullptr;
    }
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return LoadBytes(file, name, error);
}

std::unique_ptr<KernelImage> KernelImage::LoadBytes(const std::vector<uint8_t>& fileBytes, const std::string& name,
                                                    std::string* error)
{
    std::unique_ptr<KernelImage> img(new KernelImage);
    img->name_ = name;
    void* map = MAP_FAILED;
    size_t mapSize = 0, imageMapSize = 0;
    std::vector<uint32_t> referenced;  // offsets absolute addresses in the image point at
    std::vector<detail::IrqlSite> irqlSites;
    try {
        Bytes file{fileBytes.data(), fileBytes.size()};
        if (!file.Has(0, 0x40) || file.Get<uint16_t>(0) != 0x5a4d) throw Refusal{"not an MZ executable"};
        uint32_t pe = file.Get<uint32_t>(0x3c);
        if (!file.Has(pe, 24) || file.Get<uint32_t>(pe) != 0x00004550) throw Refusal{"no PE signature"};
        uint16_t machine = file.Get<uint16_t>(pe + 4);
        if (machine != kMachineAmd64) throw Refusal{"machine " + Hex(machine) + " is not x64"};
        uint16_t nSections = file.Get<uint16_t>(pe + 6);
        uint16_t optSize = file.Get<uint16_t>(pe + 20);
        uint16_t chars = file.Get<uint16_t>(pe + 22);
        if (!(chars & kFileExecutable)) throw Refusal{"not marked as an executable image"};
        uint64_t opt = pe + 24;
        if (optSize < 112 || !file.Has(opt, optSize)) throw Refusal{"optional header truncated"};
        if (file.Get<uint16_t>(opt) != kMagicPe32Plus) throw Refusal{"not a PE32+ image"};
        uint32_t entryRva = file.Get<uint32_t>(opt + 16);
        uint64_t imageBase = file.Get<uint64_t>(opt + 24);
        uint32_t sectionAlign = file.Get<uint32_t>(opt + 32);
        uint32_t sizeOfImage = file.Get<uint32_t>(opt + 56);
        uint32_t sizeOfHeaders = file.Get<uint32_t>(opt + 60);
        uint32_t nDirs = file.Get<uint32_t>(opt + 108);
        if (nDirs > uint32_t(optSize - 112) / 8) throw Refusal{"data directories run past the optional header"};
        auto dir = [&](int i) -> std::pair<uint32_t, uint32_t> {
            if (uint32_t(i) >= nDirs) return {0, 0};
            return {file.Get<uint32_t>(opt + 112 + 8 * i), file.Get<uint32_t>(opt + 116 + 8 * i)};
        };
        if (sectionAlign != PageSize())
            throw Refusal{"section alignment " + Hex(sectionAlign) + " is not the page size: sections cannot keep their own protections"};
        if (sizeOfImage == 0 || sizeOfImage > kMaxImage || sizeOfHeaders > sizeOfImage || !file.Has(0, sizeOfHeaders))
            throw Refusal{"image size " + Hex(sizeOfImage) + " or header size " + Hex(sizeOfHeaders) + " is invalid"};
        uint64_t secTable = opt + optSize;
        if (!file.Has(secTable, uint64_t(nSections) * 40)) throw Refusal{"section table truncated"};
        std::vector<Section> sections;
        uint64_t lastEnd = sizeOfHeaders;
        for (int i = 0; i < nSections; ++i) {
            uint64_t s = secTable + 40 * i;
            Section sec;
            sec.name.assign(reinterpret_cast<const char*>(file.data + s), strnlen(reinterpret_cast<const char*>(file.data + s), 8));
            sec.vsize = file.Get<uint32_t>(s + 8);
            sec.va = file.Get<uint32_t>(s + 12);
            sec.rawSize = file.Get<uint32_t>(s + 16);
            sec.rawOff = file.Get<uint32_t>(s + 20);
            sec.flags = file.Get<uint32_t>(s + 36);
            if (sec.vsize == 0) sec.vsize = sec.rawSize;
            if (sec.va % sectionAlign || sec.va < lastEnd || uint64_t(sec.va) + sec.vsize > sizeOfImage)
                throw Refusal{"section " + sec.name + " at " + Hex(sec.va) + " (size " + Hex(sec.vsize) +
                              ") overlaps another or lies outside the image"};
            if (sec.flags & kSectionUninitialized) sec.rawSize = 0;
            if (sec.rawSize && !file.Has(sec.rawOff, sec.rawSize))
                throw Refusal{"section " + sec.name + "'s data lies outside the file"};
            lastEnd = uint64_t(sec.va) + sec.vsize;
            sections.push_back(sec);
        }

        // Map read-write for loading; protections are set at the end. The
        // stubs of rewritten %cr8 reads follow the image, within reach of
        // its code's 32-bit jumps.
        imageMapSize = (sizeOfImage + PageSize() - 1) / PageSize() * PageSize();
        mapSize = imageMapSize + detail::kIrqlStubBytes;
        map = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) throw Refusal{"cannot map " + Hex(mapSize) + " bytes"};
        auto* base = static_cast<uint8_t*>(map);
        std::memcpy(base, file.data, sizeOfHeaders);
        for (const Section& sec : sections)
            std::memcpy(base + sec.va, file.data + sec.rawOff, std::min(sec.rawSize, sec.vsize));
        Bytes image{base, sizeOfImage};
        img->base_ = reinterpret_cast<uintptr_t>(base);
        img->size_ = sizeOfImage;
        img->preferredBase_ = imageBase;

        // Base relocations: each DIR64 entry adds the distance from the
        // preferred base to where the image landed.
        uint64_t delta = img->base_ - imageBase;
        auto [relRva, relSize] = dir(kDirBaseReloc);
        // Without the "stripped" flag, an image without a relocation
        // directory simply holds nothing to fix (as Windows treats it).
        if (delta && chars & kFileRelocsStripped)
            throw Refusal{"has no base relocations and cannot be loaded away from " + Hex(imageBase)};
        if (relSize && !image.Has(relRva, relSize)) throw Refusal{"relocation directory lies outside the image"};
        for (uint32_t off = 0; off < relSize;) {
            if (relSize - off < 8) throw Refusal{"corrupted base relocation: truncated block at " + Hex(relRva + off)};
            uint32_t page = image.Get<uint32_t>(relRva + off);
            uint32_t blockSize = image.Get<uint32_t>(relRva + off + 4);
            if (blockSize < 8 || blockSize % 2 || blockSize > relSize - off)
                throw Refusal{"corrupted base relocation: block at " + Hex(relRva + off) + " has size " + Hex(blockSize)};
            for (uint32_t e = 8; e < blockSize; e += 2) {
                uint16_t entry = image.Get<uint16_t>(relRva + off + e);
                int type = entry >> 12;
                uint64_t target = uint64_t(page) + (entry & 0xfff);
                if (type == kRelocAbsolute) continue;
                if (type != kRelocDir64)
                    throw Refusal{"corrupted base relocation: type " + std::to_string(type) + " at " + Hex(target) +
                                  " is not an x64 relocation"};
                if (!image.Has(target, 8) || target < sizeOfHeaders)
                    throw Refusal{"corrupted base relocation: target " + Hex(target) + " lies outside the image's sections"};
                uint64_t v;
                std::memcpy(&v, base + target, 8);
                v += delta;
                std::memcpy(base + target, &v, 8);
                if (v - img->base_ < sizeOfImage) referenced.push_back(uint32_t(v - img->base_));
            }
            off += blockSize;
        }

        // Imports, bound by module and name. Every missing routine is named,
        // not only the first.
        auto [impRva, impSize] = dir(kDirImport);
        std::string missing;
        if (impSize) {
            for (uint64_t d = impRva;; d += 20) {
                if (!image.Has(d, 20)) throw Refusal{"import directory runs past the image"};
                uint32_t lookup = image.Get<uint32_t>(d), nameRva = image.Get<uint32_t>(d + 12);
                uint32_t iat = image.Get<uint32_t>(d + 16);
                if (!lookup && !nameRva && !iat) break;
                std::string module;
                if (!image.String(nameRva, module)) throw Refusal{"import module name at " + Hex(nameRva) + " is unterminated"};
                if (!lookup) lookup = iat;
                for (uint64_t i = 0;; i += 8) {
                    if (!image.Has(lookup + i, 8) || !image.Has(iat + i, 8))
                        throw Refusal{"import table of " + module + " runs past the image"};
                    uint64_t thunk = image.Get<uint64_t>(lookup + i);
                    if (!thunk) break;
                    if (thunk >> 63)
                        throw Refusal{"imports ordinal " + std::to_string(thunk & 0xffff) + " from " + module +
                                      ": the platform binds names only"};
                    std::string routine;
                    if (thunk > sizeOfImage || !image.String(thunk + 2, routine))
                        throw Refusal{"import name of " + module + " at " + Hex(thunk) + " is invalid"};
                    void* target = Export(module, routine);
                    if (!target) {
                        missing += (missing.empty() ? "" : ", ") + module + "!" + routine;
                        continue;
                    }
                    uint64_t address = reinterpret_cast<uintptr_t>(target);
                    std::memcpy(base + iat + i, &address, 8);
                    img->imports_.push_back(module + "!" + routine);
                }
            }
        }
        if (!missing.empty()) throw Refusal{"imports what the hosted platform does not provide: " + missing};

        bool entryInCode = false;
        for (const Section& sec : sections)
            if (sec.flags & kSectionExecute && entryRva >= sec.va && entryRva < sec.va + sec.vsize) entryInCode = true;
        if (!entryInCode) throw Refusal{"entry point " + Hex(entryRva) + " is not in an executable section"};

        auto [excRva, excSize] = dir(kDirException);
        if (excSize) {
            if (!image.Has(excRva, excSize)) throw Refusal{"exception directory lies outside the image"};
            img->unwind_ = UnwindTranslator(image, img->base_).Build(excRva, excSize);
        }

        // Stubs for the image's IRQL reads that can stop trapping (each site
        // is rewritten when its read first traps).
        auto protOf = [](const Section& sec) {
            return (sec.flags & kSectionRead ? PROT_READ : 0) | (sec.flags & kSectionWrite ? PROT_WRITE : 0) |
                   (sec.flags & kSectionExecute ? PROT_EXEC : 0);
        };
        std::vector<detail::CodeRange> code;
        for (const Section& sec : sections)
            if (sec.flags & kSectionExecute)
                code.push_back({sec.va, sec.va + std::min(sec.vsize, sec.rawSize), protOf(sec)});
        irqlSites = detail::PrepareIrqlRewrites(base, code, referenced, base + imageMapSize, detail::kIrqlStubBytes);
        img->irqlSites_ = irqlSites.size();

        // Protections: headers read-only, each section as it asks, gaps none,
        // the stubs read and execute.
        if (mprotect(base, mapSize, PROT_NONE) || mprotect(base, sizeOfHeaders ? sizeOfHeaders : 1, PROT_READ) ||
            mprotect(base + imageMapSize, detail::kIrqlStubBytes, PROT_READ | PROT_EXEC))
            throw Refusal{"cannot set protections"};
        for (const Section& sec : sections) {
            const int prot = protOf(sec);
            if (sec.vsize && mprotect(base + sec.va, sec.vsize, prot))
                throw Refusal{"cannot set the protection of section " + sec.name};
        }
        img->entry_ = reinterpret_cast<PDRIVER_INITIALIZE>(base + entryRva);
    } catch (const Refusal& r) {
        if (map != MAP_FAILED) munmap(map, mapSize);
        img->base_ = 0;
        if (error) *error = name + ": " + r.why;
        return nullptr;
    }
    img->slot_ = detail::RegisterImageRange(img->base_, img->size_, name, irqlSites);
    if (img->slot_ < 0) {
        munmap(map, mapSize);
        img->base_ = 0;
        if (error) *error = name + ": too many kernel images are loaded";
        return nullptr;
    }
    if (!img->unwind_.empty()) __register_frame(img->unwind_.data());
    if (error) error->clear();
    return img;
}

KernelImage::~KernelImage()
{
    if (!base_) return;
    if (slot_ >= 0) detail::UnregisterImageRange(slot_);
    if (!unwind_.empty()) __deregister_frame(unwind_.data());
    munmap(reinterpret_cast<void*>(base_), (size_ + PageSize() - 1) / PageSize() * PageSize() + detail::kIrqlStubBytes);
}

}  // namespace hosted
