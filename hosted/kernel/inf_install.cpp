// Installing a driver from an INF: the content checks, the service key, and
// the per-device driver-key values written when the plug-and-play manager
// matches a device. Everything is checked before anything is written, so a
// refused INF leaves the registry and the manager as they were.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>

#include <hosted/inf.h>
#include <hosted/io.h>
#include <hosted/pnp.h>
#include <hosted/registry.h>

namespace hosted {

namespace {

constexpr uint64_t kServiceKernelDriver = 1;  // SERVICE_KERNEL_DRIVER

std::string Lower(std::string s)
{
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Same(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

// UTF-8 to UTF-16LE bytes with the terminating NUL(s) the registry stores.
std::vector<uint8_t> Utf16Bytes(const std::vector<std::string>& strings, bool multi)
{
    std::vector<uint8_t> out;
    auto put = [&](uint32_t c) {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
    };
    for (auto& s : strings) {
        for (size_t i = 0; i < s.size();) {
            auto b = static_cast<unsigned char>(s[i]);
            uint32_t c = b;
            size_t n = 1;
            if (b >= 0xF0 && i + 3 < s.size() + 0) {
                c = (b & 0x07) << 18 | (s[i + 1] & 0x3F) << 12 | (s[i + 2] & 0x3F) << 6 | (s[i + 3] & 0x3F);
                n = 4;
            } else if (b >= 0xE0 && i + 2 < s.size()) {
                c = (b & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F);
                n = 3;
            } else if (b >= 0xC0 && i + 1 < s.size()) {
                c = (b & 0x1F) << 6 | (s[i + 1] & 0x3F);
                n = 2;
            }
            if (c >= 0x10000) {
                c -= 0x10000;
                put(0xD800 + (c >> 10));
                put(0xDC00 + (c & 0x3FF));
            } else {
                put(c);
            }
            i += n;
        }
        put(0);
    }
    if (multi) put(0);
    return out;
}

// A number as INF fields write them: decimal or 0x-prefixed hexadecimal.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value)
{
    if (text.empty()) return false;
    size_t used = 0;
    try {
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        uint64_t v = std::stoull(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
        if (used != (hex ? text.size() - 2 : text.size()) || v > max) return false;
        *value = v;
        return true;
    } catch (...) {
        return false;
    }
}

// One registry value an AddReg line writes, relative to the key HKR stands for.
struct RegWrite {
    int line = 0;
    std::string subkey;
    std::string name;
    uint32_t type = REG_SZ;
    std::vector<uint8_t> data;
    bool noClobber = false;
};

// The INF files and sections of the system that Include and Needs may name.
// Kernel streaming's own registration has nothing a hosted device needs, so
// naming it is checked and otherwise a no-op.
const std::map<std::string, std::set<std::string>>& SystemInfs()
{
    static const std::map<std::string, std::set<std::string>> infs{
        {"ks.inf", {"ks.registration", "ks.registration.nt"}},
        {"kscaptur.inf", {"kscaptur.registration", "kscaptur.registration.nt"}},
    };
    return infs;
}

struct ServicePlan {
    std::string name;
    PDRIVER_INITIALIZE entry = nullptr;
    uint32_t type = 0, start = 0, errorControl = 0;
    std::string imagePath, displayName;
    std::vector<RegWrite> writes;  // HKR = the service key
};

class Checker {
public:
    Checker(const Inf& inf, const InfOptions& options, std::string* error)
        : inf_(inf), options_(options), error_(error)
    {
        dirids_ = {{10, "C:\\Windows"},
                   {11, "C:\\Windows\\System32"},
                   {12, "C:\\Windows\\System32\\drivers"},
                   {13, options.driverStore}};
    }

    bool Fail(int line, const std::string& what)
    {
        if (error_ && error_->empty()) *error_ = (line > 0 ? inf_.Where(line) : inf_.Name()) + ": " + what;
        return false;
    }

    bool Expand(const std::string& field, int line, std::string* out)
    {
        std::string e;
        if (inf_.Expand(field, line, dirids_, out, &e)) return true;
        if (error_ && error_->empty()) *error_ = e;
        return false;
    }

    const InfSection* Need(const std::string& name, int line, const std::string& what)
    {
        const InfSection* s = inf_.Section(name);
        if (!s) Fail(line, what + " section [" + name + "] is missing");
        return s;
    }

    bool CheckVersion()
    {
        const InfSection* v = inf_.Section("Version");
        if (!v) return Fail(0, "no [Version] section");
        std::map<std::string, const InfLine*> entries;
        for (auto& l : v->lines) entries[Lower(l.key)] = &l;
        for (const char* required : {"Signature", "Class", "ClassGuid", "Provider", "DriverVer", "CatalogFile"})
            if (!entries.count(Lower(required))) return Fail(v->number, std::string("[Version] has no ") + required);
        auto value = [&](const char* key, std::string* out) {
            const InfLine* l = entries[Lower(key)];
            if (l->fields.empty()) return Fail(l->number, std::string(key) + " has no value");
            return Expand(l->fields[0], l->number, out);
        };
        std::string sig, guid, ver;
        if (!value("Signature", &sig) || !value("ClassGuid", &guid)) return false;
        if (!Same(sig, "$Windows NT$") && !Same(sig, "$Chicago$"))
            return Fail(entries["signature"]->number, "unknown signature " + sig);
        if (!IsGuid(guid)) return Fail(entries["classguid"]->number, "ClassGuid is not a {GUID}: " + guid);
        const InfLine* dv = entries["driverver"];
        if (dv->fields.size() != 2 || !IsDate(dv->fields[0]) || !IsVersion(dv->fields[1]))
            return Fail(dv->number, "DriverVer must be mm/dd/yyyy,w.x.y.z");
        return true;
    }

    // The models sections for x64 named by [Manufacturer].
    bool CheckModels()
    {
        const InfSection* m = Need("Manufacturer", 0, "the");
        if (!m) return false;
        for (auto& l : m->lines) {
            std::string manufacturer;
            if (!Expand(l.key, l.number, &manufacturer)) return false;
            if (l.fields.empty() || l.fields[0].empty()) return Fail(l.number, "manufacturer without a models section");
            std::string decoration;
            for (size_t i = 1; i < l.fields.size(); ++i) {
                std::string d = Lower(l.fields[i]);
                if (d == "ntamd64" || d.rfind("ntamd64.", 0) == 0) decoration = l.fields[i];
            }
            if (decoration.empty()) return Fail(l.number, "no NTamd64 models section for " + l.fields[0]);
            const InfSection* models = Need(l.fields[0] + "." + decoration, l.number, "the models");
            if (!models) return false;
            for (auto& model : models->lines) {
                if (model.fields.size() < 2 || model.fields[0].empty() || model.fields[1].empty())
                    return Fail(model.number, "a model line must be description = install-section, hardware-id");
                std::string description;
                if (!Expand(model.key, model.number, &description)) return false;
                if (!CheckInstall(model.fields[0], model.number)) return false;
                for (size_t i = 1; i < model.fields.size(); ++i) {
                    if (model.fields[i].empty()) continue;
                    std::string id;
                    if (!Expand(model.fields[i], model.number, &id)) return false;
                    ids_.push_back({id, installOf_[Lower(model.fields[0])]});
                }
            }
        }
        if (ids_.empty()) return Fail(m->number, "no device is named by the x64 models");
        return true;
    }

    // An install section (DDInstall, with the system's decoration rules) and
    // its .Services section.
    bool CheckInstall(const std::string& base, int line)
    {
        if (installOf_.count(Lower(base))) return true;
        const InfSection* s = nullptr;
        for (const char* deco : {".NTamd64", ".NT", ""})
            if (!s) s = inf_.Section(base + deco);
        if (!s) return Fail(line, "install section [" + base + "] is missing");
        installOf_[Lower(base)] = s->name;
        auto& writes = deviceWrites_[Lower(s->name)];
        for (auto& l : s->lines) {
            std::string k = Lower(l.key);
            if (k == "copyfiles") {
                if (!CheckCopyFiles(l)) return false;
            } else if (k == "addreg") {
                for (auto& sec : l.fields)
                    if (!CheckAddReg(sec, l.number, "driver", &writes)) return false;
            } else if (k == "include" || k == "needs") {
                if (!CheckSystemInf(l)) return false;
            } else {
                return Fail(l.number, "unknown directive '" + l.key + "' in [" + s->name + "]");
            }
        }
        const InfSection* services = Need(s->name + ".Services", s->number, "the");
        if (!services) return false;
        int functionDrivers = 0;
        for (auto& l : services->lines) {
            std::string k = Lower(l.key);
            if (k == "include" || k == "needs") {
                if (!CheckSystemInf(l)) return false;
                continue;
            }
            if (k != "addservice") return Fail(l.number, "unknown directive '" + l.key + "' in [" + services->name + "]");
            uint64_t flags = 0;
            if (l.fields.size() < 3 || l.fields[0].empty() || !ParseNumber(l.fields[1], 0xFFFFFFFF, &flags))
                return Fail(l.number, "AddService must be name, flags, service-install-section");
            if (!(flags & 0x2)) continue;  // SPSVCINST_ASSOCSERVICE: the function driver
            ++functionDrivers;
            if (!CheckService(l.fields[0], l.fields[2], l.number)) return false;
        }
        if (functionDrivers != 1)
            return Fail(services->number, "[" + services->name +
                                              "] must name exactly one function driver (AddService flag 0x2)");
        return true;
    }

    bool CheckCopyFiles(const InfLine& l)
    {
        for (auto& f : l.fields) {
            if (f.empty()) continue;
            std::vector<std::pair<std::string, int>> files;
            if (f[0] == '@') {
                files.push_back({f.substr(1), l.number});
            } else {
                const InfSection* list = Need(f, l.number, "the file list");
                if (!list) return false;
                if (!DestinationOf(list->name)) return Fail(l.number, "[DestinationDirs] names no folder for " + f);
                for (auto& fl : list->lines)
                    if (!fl.fields.empty()) files.push_back({fl.fields[0], fl.number});
            }
            for (auto& [file, at] : files)
                if (!InSourceDisks(file)) return Fail(at, file + " is not in [SourceDisksFiles]");
        }
        return true;
    }

    bool DestinationOf(const std::string& fileList)
    {
        const InfSection* d = inf_.Section("DestinationDirs");
        if (!d) return false;
        for (auto& l : d->lines)
            if (Same(l.key, fileList) || Same(l.key, "DefaultDestDir")) return !l.fields.empty();
        return false;
    }

    bool InSourceDisks(const std::string& file)
    {
        for (const char* name : {"SourceDisksFiles", "SourceDisksFiles.amd64"})
            if (const InfSection* s = inf_.Section(name))
                for (auto& l : s->lines)
                    if (Same(l.key, file)) return true;
        return false;
    }

    bool CheckSystemInf(const InfLine& l)
    {
        auto& infs = SystemInfs();
        if (Same(l.key, "Include")) {
            for (auto& f : l.fields)
                if (!infs.count(Lower(f))) return Fail(l.number, "Include names an INF this system does not have: " + f);
            return true;
        }
        for (auto& sec : l.fields) {
            bool known = false;
            for (auto& [file, sections] : infs) known = known || sections.count(Lower(sec));
            if (!known) return Fail(l.number, "Needs names a section no included system INF has: " + sec);
        }
        return true;
    }

    // AddReg lines: reg-root, [subkey], [value-name], [flags], [value...].
    // `place` is what HKR stands for: "driver" (a device's driver key) or
    // "service" (the service key; its Parameters subkey is "parameters").
    bool CheckAddReg(const std::string& section, int line, const std::string& place, std::vector<RegWrite>* writes)
    {
        const InfSection* s = Need(section, line, "the AddReg");
        if (!s) return false;
        for (auto& l : s->lines) {
            if (!l.key.empty()) return Fail(l.number, "an AddReg line has no '='");
            if (l.fields.empty() || !Same(l.fields[0], "HKR"))
                return Fail(l.number, "only HKR is written by a device INF (got " +
                                          (l.fields.empty() ? std::string() : l.fields[0]) + ")");
            RegWrite w;
            w.line = l.number;
            auto field = [&](size_t i) { return i < l.fields.size() ? l.fields[i] : std::string(); };
            if (!Expand(field(1), l.number, &w.subkey) || !Expand(field(2), l.number, &w.name)) return false;
            if (l.fields.size() <= 2) {  // "HKR, subkey": only the key is created
                writes->push_back(std::move(w));
                continue;
            }
            uint64_t flags = 0;
            if (!field(3).empty() && !ParseNumber(field(3), 0xFFFFFFFF, &flags))
                return Fail(l.number, "AddReg flags are not a number: " + field(3));
            w.noClobber = flags & 0x2;  // FLG_ADDREG_NOCLOBBER
            flags &= ~uint64_t(0x2);
            std::vector<std::string> values;
            for (size_t i = 4; i < l.fields.size(); ++i) {
                std::string v;
                if (!Expand(l.fields[i], l.number, &v)) return false;
                values.push_back(v);
            }
            if (values.empty()) values.push_back("");
            switch (flags) {
            case 0x00000000:  // FLG_ADDREG_TYPE_SZ
            case 0x00020000:  // FLG_ADDREG_TYPE_EXPAND_SZ
                if (values.size() != 1) return Fail(l.number, "a string value has one field");
                w.type = flags ? REG_EXPAND_SZ : REG_SZ;
                w.data = Utf16Bytes(values, false);
                break;
            case 0x00010000:  // FLG_ADDREG_TYPE_MULTI_SZ
                w.type = REG_MULTI_SZ;
                w.data = Utf16Bytes(values, true);
                break;
            case 0x00010001: {  // FLG_ADDREG_TYPE_DWORD
                uint64_t v = 0;
                if (values.size() != 1 || !ParseNumber(values[0], 0xFFFFFFFF, &v))
                    return Fail(l.number, "a DWORD value must be one 32-bit number");
                w.type = REG_DWORD;
                for (int i = 0; i < 4; ++i) w.data.push_back(uint8_t(v >> (8 * i)));
                break;
            }
            case 0x00000001:  // FLG_ADDREG_BINVALUETYPE: bytes in hexadecimal
                w.type = REG_BINARY;
                for (auto& b : values) {
                    uint64_t v = 0;
                    if (!ParseNumber("0x" + b, 0xFF, &v)) return Fail(l.number, "binary data must be hex bytes");
                    w.data.push_back(uint8_t(v));
                }
                break;
            default:
                return Fail(l.number, "AddReg flags " + field(3) + " are not a value type this installer writes");
            }
            std::string where = place;
            if (!w.subkey.empty()) where = (place == "service" && Same(w.subkey, "Parameters")) ? "parameters"
                                                                                                : place + "\\" + Lower(w.subkey);
            auto known = options_.knownValues.find(where);
            if (known != options_.knownValues.end()) {
                bool found = false;
                for (auto& n : known->second) found = found || Same(n, w.name);
                if (!found)
                    return Fail(l.number, "the driver does not read the value \"" + w.name + "\"" +
                                              (w.subkey.empty() ? "" : " under " + w.subkey));
            } else if (!w.subkey.empty() && options_.knownValues.count(place)) {
                return Fail(l.number, "the driver reads no values under the subkey " + w.subkey);
            }
            writes->push_back(std::move(w));
        }
        return true;
    }

    bool CheckService(const std::string& name, const std::string& section, int line)
    {
        if (!service_.name.empty()) {
            if (Same(service_.name, name)) return true;
            return Fail(line, "a second function driver service " + name + " (this installer takes one per INF)");
        }
        const InfSection* s = Need(section, line, "the service install");
        if (!s) return false;
        // The PnP manager holds one registration per service for the
        // platform's life; a second install of the same service is refused
        // rather than registered twice.
        if (Registry::GetValue(ServiceKeyPath(name), "ImagePath"))
            return Fail(line, "the service " + name + " is already installed");
        ServicePlan p;
        p.name = name;
        bool haveType = false, haveStart = false, haveError = false, haveBinary = false;
        for (auto& l : s->lines) {
            std::string k = Lower(l.key);
            uint64_t v = 0;
            auto number = [&](uint64_t max) {
                return !l.fields.empty() && ParseNumber(l.fields[0], max, &v);
            };
            if (k == "servicetype") {
                if (!number(0xFFFFFFFF)) return Fail(l.number, "ServiceType is not a number");
                if (v != kServiceKernelDriver) return Fail(l.number, "ServiceType must be 1 (kernel driver)");
                p.type = uint32_t(v);
                haveType = true;
            } else if (k == "starttype") {
                if (!number(4)) return Fail(l.number, "StartType must be 0 to 4");
                p.start = uint32_t(v);
                haveStart = true;
            } else if (k == "errorcontrol") {
                if (!number(3)) return Fail(l.number, "ErrorControl must be 0 to 3");
                p.errorControl = uint32_t(v);
                haveError = true;
            } else if (k == "servicebinary") {
                std::string path;
                if (l.fields.empty() || !Expand(l.fields[0], l.number, &path)) return Fail(l.number, "no ServiceBinary");
                std::string file = path.substr(path.find_last_of('\\') + 1);
                for (auto& [bin, entry] : options_.binaries)
                    if (Same(bin, file)) p.entry = entry;
                if (!p.entry) return Fail(l.number, "no driver image is known for " + file);
                p.imagePath = "\\??\\" + path;
                haveBinary = true;
            } else if (k == "addreg") {
                for (auto& sec : l.fields)
                    if (!CheckAddReg(sec, l.number, "service", &p.writes)) return false;
            } else if (k == "displayname" || k == "description") {
                if (k == "displayname" && (l.fields.empty() || !Expand(l.fields[0], l.number, &p.displayName)))
                    return false;
            } else if (k == "loadordergroup") {
            } else {
                return Fail(l.number, "unknown directive '" + l.key + "' in [" + s->name + "]");
            }
        }
        if (!haveType || !haveStart || !haveError || !haveBinary)
            return Fail(s->number, "[" + s->name + "] needs ServiceType, StartType, ErrorControl and ServiceBinary");
        service_ = std::move(p);
        return true;
    }

    static bool IsGuid(const std::string& g)
    {
        static const char pattern[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
        if (g.size() != sizeof pattern - 1) return false;
        for (size_t i = 0; i < g.size(); ++i)
            if (pattern[i] == 'x' ? !std::isxdigit(static_cast<unsigned char>(g[i])) : g[i] != pattern[i]) return false;
        return true;
    }

    static bool IsDate(const std::string& d)
    {
        unsigned m = 0, day = 0, y = 0;
        char a = 0, b = 0;
        int n = 0;
        if (std::sscanf(d.c_str(), "%u%c%u%c%u%n", &m, &a, &day, &b, &y, &n) != 5 || size_t(n) != d.size()) return false;
        return a == '/' && b == '/' && m >= 1 && m <= 12 && day >= 1 && day <= 31 && y >= 1980 && y <= 9999;
    }

    static bool IsVersion(const std::string& v)
    {
        int parts = 1;
        for (char c : v) {
            if (c == '.') ++parts;
            else if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        }
        return !v.empty() && v.front() != '.' && v.back() != '.' && parts <= 4 && v.find("..") == std::string::npos;
    }

    const Inf& inf_;
    const InfOptions& options_;
    std::string* error_;
    std::map<int, std::string> dirids_;
    std::map<std::string, std::string> installOf_;                // model's section -> decorated DDInstall
    std::map<std::string, std::vector<RegWrite>> deviceWrites_;  // DDInstall (lower) -> its AddReg
    std::vector<std::pair<std::string, std::string>> ids_;        // hardware ID -> DDInstall
    ServicePlan service_;
};

void Apply(const std::string& key, const std::vector<RegWrite>& writes)
{
    Registry::CreateKey(key);
    for (auto& w : writes) {
        std::string path = w.subkey.empty() ? key : key + "\\" + w.subkey;
        if (w.data.empty() && w.type == REG_SZ && w.name.empty()) {
            Registry::CreateKey(path);
            continue;
        }
        if (w.noClobber && Registry::GetValue(path, w.name)) continue;
        Registry::SetValue(path, w.name, w.type, w.data);
    }
}

}  // namespace

bool InfInstallation::Matches(const std::vector<std::string>& ids) const
{
    for (auto& id : ids)
        for (auto& have : hardwareIds)
            if (Same(id, have)) return true;
    return false;
}

std::optional<InfInstallation> InfInstaller::Install(const Inf& inf, const InfOptions& options, std::string* error)
{
    std::string e;
    Checker c(inf, options, &e);
    if (!c.CheckVersion() || !c.CheckModels()) {
        if (error) *error = e;
        return std::nullopt;
    }

    const ServicePlan& s = c.service_;
    InfInstallation result;
    result.service = s.name;
    result.serviceKey = ServiceKeyPath(s.name);
    Registry::CreateKey(result.serviceKey);
    Registry::SetDword(result.serviceKey, "Type", s.type);
    Registry::SetDword(result.serviceKey, "Start", s.start);
    Registry::SetDword(result.serviceKey, "ErrorControl", s.errorControl);
    Registry::SetValue(result.serviceKey, "ImagePath", REG_EXPAND_SZ, Utf16Bytes({s.imagePath}, false));
    if (!s.displayName.empty()) Registry::SetString(result.serviceKey, "DisplayName", s.displayName);
    Apply(result.serviceKey, s.writes);

    // Per device: the AddReg of the install section its matched ID names,
    // written once per device instance into its driver key (a device that is
    // disabled and enabled again keeps what was written, as on Windows).
    struct Devices {
        std::mutex m;
        std::set<std::string> installed;
    };
    auto devices = std::make_shared<Devices>();
    std::map<std::string, std::vector<RegWrite>> byId;
    std::vector<std::string> ids;
    for (auto& [id, section] : c.ids_) {
        if (!byId.count(Lower(id))) ids.push_back(id);
        byId.emplace(Lower(id), c.deviceWrites_[Lower(section)]);
    }
    auto after = options.deviceInstalled;
    Pnp::RegisterDriver(s.name, s.entry, ids, [devices, byId, after](PDEVICE_OBJECT pdo, const std::string& matched) {
        std::string instance = Pnp::Instance(pdo);
        {
            std::lock_guard<std::mutex> guard(devices->m);
            if (!devices->installed.insert(Lower(instance)).second) return;
        }
        auto w = byId.find(Lower(matched));
        if (w != byId.end()) Apply(Io::DriverKeyPath(pdo), w->second);
        if (after) after(pdo);
    });
    result.hardwareIds = ids;
    return result;
}

std::optional<InfInstallation> InfInstaller::Install(const std::string& path, const InfOptions& options,
                                                     std::string* error)
{
    auto inf = Inf::Load(path, error);
    if (!inf) return std::nullopt;
    return Install(*inf, options, error);
}

}  // namespace hosted
