#include "Scenario.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

namespace orvex::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string JoinIssues(const std::string& source, const std::vector<ScenarioIssue>& issues) {
    std::ostringstream out;
    for (size_t i = 0; i < issues.size(); ++i) {
        if (i) out << '\n';
        out << source << ": ";
        if (!issues[i].path.empty()) out << issues[i].path << ": ";  // "" is the document itself
        out << issues[i].message;
    }
    return out.str();
}

// JSON pointer escaping of one reference token.
std::string Escape(const std::string& token) {
    std::string out;
    for (char c : token) {
        if (c == '~') out += "~0";
        else if (c == '/') out += "~1";
        else out += c;
    }
    return out;
}

std::string TypeName(const json& v) {
    if (v.is_number_integer() || v.is_number_unsigned()) return "an integer";
    if (v.is_number_float()) return "a fractional number";
    if (v.is_string()) return "a string";
    if (v.is_boolean()) return "a boolean";
    if (v.is_array()) return "an array";
    if (v.is_object()) return "an object";
    return "null";
}

// Collects issues while walking the document.
class Checker {
public:
    explicit Checker(fs::path baseDir) : base_(std::move(baseDir)) {}

    void Issue(const std::string& path, std::string message) { issues_.push_back({path, std::move(message)}); }
    std::vector<ScenarioIssue>& issues() { return issues_; }

    bool ExpectObject(const json& v, const std::string& path) {
        if (v.is_object()) return true;
        Issue(path, "expected an object, found " + TypeName(v));
        return false;
    }

    // Reports every key of `obj` that is not in `known`.
    void OnlyKeys(const json& obj, const std::string& path, std::initializer_list<const char*> known) {
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            bool ok = std::any_of(known.begin(), known.end(), [&](const char* k) { return it.key() == k; });
            if (!ok) {
                std::string list;
                for (const char* k : known) list += (list.empty() ? "" : ", ") + std::string(k);
                Issue(path + "/" + Escape(it.key()), "unknown key \"" + it.key() + "\" (known keys: " + list + ")");
            }
        }
    }

    std::optional<uint64_t> Unsigned(const json& v, const std::string& path, uint64_t min, uint64_t max) {
        uint64_t value = 0;
        if (v.is_number_unsigned()) {
            value = v.get<uint64_t>();
        } else if (v.is_number_integer()) {
            Issue(path, "expected an integer from " + std::to_string(min) + " to " + std::to_string(max) +
                            ", found " + std::to_string(v.get<int64_t>()));
            return std::nullopt;
        } else if (v.is_string() && ParseIntText(v.get<std::string>(), value)) {
            // "0xB6" style numbers are accepted as well.
        } else {
            Issue(path, "expected an integer from " + std::to_string(min) + " to " + std::to_string(max) +
                            ", found " + TypeName(v));
            return std::nullopt;
        }
        if (value < min || value > max) {
            Issue(path, "value " + std::to_string(value) + " is out of range (" + std::to_string(min) + " to " +
                            std::to_string(max) + ")");
            return std::nullopt;
        }
        return value;
    }

    std::optional<std::string> String(const json& v, const std::string& path) {
        if (v.is_string()) return v.get<std::string>();
        Issue(path, "expected a string, found " + TypeName(v));
        return std::nullopt;
    }

    std::optional<bool> Bool(const json& v, const std::string& path) {
        if (v.is_boolean()) return v.get<bool>();
        Issue(path, "expected true or false, found " + TypeName(v));
        return std::nullopt;
    }

    // A host path given relative to the scenario's folder; it must exist, be of
    // the wanted kind and stay inside the scenario's folder tree (symbolic
    // links resolved).
    std::optional<fs::path> HostPath(const json& v, const std::string& path, bool wantDirectory) {
        auto text = String(v, path);
        if (!text) return std::nullopt;
        if (text->empty()) {
            Issue(path, "empty path");
            return std::nullopt;
        }
        fs::path p(*text);
        if (p.is_absolute()) {
            Issue(path, "\"" + *text + "\" must be relative to the scenario's folder");
            return std::nullopt;
        }
        std::error_code ec;
        fs::path resolved = fs::weakly_canonical(base_ / p, ec);
        if (ec || !Inside(resolved)) {
            Issue(path, "\"" + *text + "\" lies outside the scenario's folder tree");
            return std::nullopt;
        }
        auto status = fs::status(resolved, ec);
        if (ec || !fs::exists(status)) {
            Issue(path, "\"" + *text + "\" does not exist");
            return std::nullopt;
        }
        if (wantDirectory && !fs::is_directory(status)) {
            Issue(path, "\"" + *text + "\" is not a folder");
            return std::nullopt;
        }
        if (!wantDirectory && !fs::is_regular_file(status)) {
            Issue(path, "\"" + *text + "\" is not a regular file");
            return std::nullopt;
        }
        return resolved;
    }

private:
    static bool ParseIntText(const std::string& s, uint64_t& out) {
        if (s.empty()) return false;
        int base = 10;
        size_t start = 0;
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            base = 16;
            start = 2;
        }
        uint64_t v = 0;
        for (size_t i = start; i < s.size(); ++i) {
            int d;
            char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
            if (c >= '0' && c <= '9') d = c - '0';
            else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else return false;
            if (v > (UINT64_MAX - d) / base) return false;
            v = v * base + d;
        }
        out = v;
        return true;
    }

    bool Inside(const fs::path& p) const {
        auto b = base_.begin();
        auto q = p.begin();
        for (; b != base_.end(); ++b, ++q) {
            if (q == p.end() || *b != *q) return false;
        }
        return true;
    }

    fs::path base_;
    std::vector<ScenarioIssue> issues_;
};

struct Frame {
    bool object;
    std::set<std::string> keys;
    std::string key;
    long index = -1;
};

std::string FramePath(const std::vector<Frame>& frames) {
    std::string p;
    for (const auto& f : frames) {
        if (f.object) {
            if (!f.key.empty() || !f.keys.empty()) p += "/" + Escape(f.key);
        } else if (f.index >= 0) {
            p += "/" + std::to_string(f.index);
        }
    }
    return p;
}

// Parses JSON text; duplicate keys are reported (the parser alone would keep
// the last one silently).
json ParseText(const std::string& text, Checker& check) {
    std::vector<Frame> frames;
    std::vector<ScenarioIssue> dups;
    auto onElement = [&]() {
        if (!frames.empty() && !frames.back().object) frames.back().index++;
    };
    json::parser_callback_t cb = [&](int, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::object_start:
                onElement();
                frames.push_back({true, {}, {}, -1});
                break;
            case json::parse_event_t::array_start:
                onElement();
                frames.push_back({false, {}, {}, -1});
                break;
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end:
                if (!frames.empty()) frames.pop_back();
                break;
            case json::parse_event_t::key: {
                auto& f = frames.back();
                f.key = parsed.get<std::string>();
                if (!f.keys.insert(f.key).second) dups.push_back({FramePath(frames), "duplicate key \"" + f.key + "\""});
                break;
            }
            case json::parse_event_t::value:
                onElement();
                break;
        }
        return true;
    };
    json doc;
    try {
        doc = json::parse(text, cb);
    } catch (const json::parse_error& e) {
        check.Issue("", std::string("not valid JSON: ") + e.what());
        return json();
    }
    for (auto& d : dups) check.Issue(d.path, d.message);
    return doc;
}

void CheckCamera(const json& cam, Checker& check, CameraSpec& out, const std::string& at) {
    if (!check.ExpectObject(cam, at)) return;
    check.OnlyKeys(cam, at,
                   {"version_record", "eeprom", "eeprom_size", "readiness_status", "isp_fw_status",
                    "aud_fw_status", "fw_status_zero_polls", "isp_needs_reset", "vendor_id", "product_id",
                    "device_descriptor", "config_descriptor", "erase_ms", "alive_after_flash_ms", "reboot_ms",
                    "download_order", "faults", "replay", "reenumerate_after_reset", "reenumerate_ms"});
    if (cam.contains("reenumerate_after_reset"))
        if (auto v = check.Bool(cam["reenumerate_after_reset"], at + "/reenumerate_after_reset"))
            out.reenumerate_after_reset = *v;
    if (cam.contains("reenumerate_ms"))
        if (auto v = check.Unsigned(cam["reenumerate_ms"], at + "/reenumerate_ms", 0, 600000))
            out.reenumerate_ms = static_cast<uint32_t>(*v);
    auto byteKey = [&](const char* key, uint8_t& field) {
        if (cam.contains(key))
            if (auto v = check.Unsigned(cam[key], at + "/" + key, 0, 255)) field = static_cast<uint8_t>(*v);
    };
    if (cam.contains("version_record")) {
        const std::string p = at + "/version_record";
        if (auto s = check.String(cam["version_record"], p)) {
            auto bytes = ParseHexBytes(*s);
            if (!bytes) check.Issue(p, "bad hex: \"" + *s + "\" (expected 12 bytes as two hex digits each)");
            else if (bytes->size() != 12)
                check.Issue(p, "expected 12 bytes, found " + std::to_string(bytes->size()));
            else out.version_record = *bytes;
        }
    }
    if (cam.contains("eeprom_size")) {
        const std::string p = at + "/eeprom_size";
        if (auto v = check.Unsigned(cam["eeprom_size"], p, 256, 16u << 20)) {
            if (*v % 256) check.Issue(p, "must be a multiple of 256 (the EEPROM page)");
            else out.eeprom_size = static_cast<uint32_t>(*v);
        }
    }
    if (cam.contains("replay"))
        if (auto f = check.HostPath(cam["replay"], at + "/replay", false)) out.replay = *f;
    if (cam.contains("eeprom")) {
        const std::string p = at + "/eeprom";
        if (auto f = check.HostPath(cam["eeprom"], p, false)) {
            std::error_code ec;
            auto size = fs::file_size(*f, ec);
            if (!ec && size > out.eeprom_size)
                check.Issue(p, "file holds " + std::to_string(size) + " bytes, more than eeprom_size (" +
                                   std::to_string(out.eeprom_size) + ")");
            else out.eeprom = *f;
        }
    }
    byteKey("readiness_status", out.readiness_status);
    byteKey("isp_fw_status", out.isp_fw_status);
    byteKey("aud_fw_status", out.aud_fw_status);
    if (cam.contains("fw_status_zero_polls"))
        if (auto v = check.Unsigned(cam["fw_status_zero_polls"], at + "/fw_status_zero_polls", 0, 1000))
            out.fw_status_zero_polls = static_cast<uint32_t>(*v);
    if (cam.contains("isp_needs_reset"))
        if (auto v = check.Bool(cam["isp_needs_reset"], at + "/isp_needs_reset")) out.isp_needs_reset = *v;
    if (cam.contains("vendor_id"))
        if (auto v = check.Unsigned(cam["vendor_id"], at + "/vendor_id", 0, 0xFFFF))
            out.vendor_id = static_cast<uint16_t>(*v);
    if (cam.contains("product_id"))
        if (auto v = check.Unsigned(cam["product_id"], at + "/product_id", 0, 0xFFFF))
            out.product_id = static_cast<uint16_t>(*v);
    // Descriptors are taken as they stand: any length a control transfer can
    // carry, however wrong their contents, since that is what they are for.
    for (auto [key, field] : {std::pair{"device_descriptor", &out.device_descriptor},
                              std::pair{"config_descriptor", &out.config_descriptor}}) {
        if (!cam.contains(key)) continue;
        const std::string p = at + "/" + key;
        if (auto s = check.String(cam[key], p)) {
            auto bytes = ParseHexBytes(*s);
            if (!bytes) check.Issue(p, "bad hex: \"" + *s + "\" (expected two hex digits a byte)");
            else if (bytes->size() > 0xFFFF) check.Issue(p, "more than 65535 bytes");
            else *field = std::move(*bytes);
        }
    }
    if (cam.contains("device_descriptor") && (cam.contains("vendor_id") || cam.contains("product_id")))
        check.Issue(at + "/device_descriptor", "gives the IDs itself: drop vendor_id and product_id");
    for (auto [key, field] : {std::pair{"erase_ms", &out.erase_ms}, std::pair{"alive_after_flash_ms", &out.alive_after_flash_ms},
                              std::pair{"reboot_ms", &out.reboot_ms}}) {
        if (cam.contains(key))
            if (auto v = check.Unsigned(cam[key], at + "/" + key, 0, 600000)) *field = static_cast<uint32_t>(*v);
    }
    if (cam.contains("download_order")) {
        const std::string p = at + "/download_order";
        const json& list = cam["download_order"];
        if (!list.is_array() || list.empty() || list.size() > 8) {
            check.Issue(p, "expected an array of 1 to 8 of \"isp\", \"audio\"");
        } else {
            std::vector<std::string> order;
            for (size_t i = 0; i < list.size(); ++i) {
                const std::string pi = p + "/" + std::to_string(i);
                if (auto s = check.String(list[i], pi)) {
                    if (*s != "isp" && *s != "audio") check.Issue(pi, "expected \"isp\" or \"audio\"");
                    else order.push_back(*s);
                }
            }
            if (order.size() == list.size()) out.download_order = std::move(order);
        }
    }
    // The camera reads its FX3 version from the boot image in its EEPROM; a
    // record that says otherwise describes a camera that cannot exist.
    if (out.version_record && out.eeprom && (*out.version_record)[10] == 0xAA && (*out.version_record)[11] == 0x55) {
        std::ifstream in(*out.eeprom, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t at7 = bytes.find("FX3VER:");
        if (at7 != std::string::npos && at7 + 10 <= bytes.size()) {
            const auto& r = *out.version_record;
            for (int i = 0; i < 3; ++i) {
                if (static_cast<uint8_t>(bytes[at7 + 7 + i]) != r[i]) {
                    check.Issue(at + "/version_record",
                                "FX3 bytes differ from the FX3VER: marker of the EEPROM file (" +
                                    std::to_string(static_cast<uint8_t>(bytes[at7 + 7])) + "." +
                                    std::to_string(static_cast<uint8_t>(bytes[at7 + 8])) + "." +
                                    std::to_string(static_cast<uint8_t>(bytes[at7 + 9])) + ")");
                    break;
                }
            }
        }
    }
    if (cam.contains("faults")) {
        const std::string p = at + "/faults";
        const json& faults = cam["faults"];
        if (!faults.is_array()) {
            check.Issue(p, "expected an array, found " + TypeName(faults));
            return;
        }
        for (size_t i = 0; i < faults.size(); ++i) {
            const std::string fp = p + "/" + std::to_string(i);
            const json& f = faults[i];
            if (!check.ExpectObject(f, fp)) continue;
            check.OnlyKeys(f, fp, {"request", "occurrence", "kind", "length"});
            FaultSpec fault;
            bool ok = true;
            for (const char* required : {"request", "kind"}) {
                if (!f.contains(required)) {
                    check.Issue(fp, std::string("missing key \"") + required + "\"");
                    ok = false;
                }
            }
            if (f.contains("request")) {
                if (auto v = check.Unsigned(f["request"], fp + "/request", 0, 255)) fault.request = static_cast<uint8_t>(*v);
                else ok = false;
            }
            if (f.contains("occurrence")) {
                if (auto v = check.Unsigned(f["occurrence"], fp + "/occurrence", 1, 1000000000))
                    fault.occurrence = static_cast<uint32_t>(*v);
                else ok = false;
            }
            if (f.contains("kind")) {
                if (auto s = check.String(f["kind"], fp + "/kind")) {
                    static const std::pair<const char*, FaultKind> kinds[] = {
                        {"stall", FaultKind::Stall}, {"timeout", FaultKind::Timeout}, {"gone", FaultKind::Gone},
                        {"no-handle", FaultKind::NoHandle}, {"short", FaultKind::Short},
                        {"stuck", FaultKind::Stuck}};
                    auto it = std::find_if(std::begin(kinds), std::end(kinds), [&](auto& k) { return *s == k.first; });
                    if (it == std::end(kinds)) {
                        check.Issue(fp + "/kind", "unknown fault kind \"" + *s +
                                                      "\" (expected stall, timeout, gone, no-handle, short or stuck)");
                        ok = false;
                    } else {
                        fault.kind = it->second;
                    }
                } else {
                    ok = false;
                }
            }
            if (f.contains("length")) {
                if (auto v = check.Unsigned(f["length"], fp + "/length", 0, 4096)) {
                    if (fault.kind != FaultKind::Short) check.Issue(fp + "/length", "only a \"short\" fault takes a length");
                    else fault.length = static_cast<uint32_t>(*v);
                } else {
                    ok = false;
                }
            }
            if (ok) out.faults.push_back(fault);
        }
    }
}

void CheckSettings(const json& s, const std::string& at, Checker& check, std::map<std::string, std::string>& out) {
    if (!check.ExpectObject(s, at)) return;
    check.OnlyKeys(s, at, {"FX3", "ISP", "AUD", "VERSION"});
    for (const auto& name : SettingNames()) {
        if (!s.contains(name)) continue;
        const std::string p = at + "/" + name;
        auto v = check.String(s[name], p);
        if (!v) continue;
        if (v->find('\0') != std::string::npos) {
            check.Issue(p, "a registry string value cannot hold a NUL character");
            continue;
        }
        out[name] = *v;
    }
}

// "S0".."S5" as SYSTEM_POWER_STATE (1..6), "D0".."D3" as DEVICE_POWER_STATE (1..4).
std::optional<int> PowerStateOf(const json& v, const std::string& path, char letter, int highest, Checker& check) {
    auto s = check.String(v, path);
    if (!s) return std::nullopt;
    if (s->size() == 2 && (*s)[0] == letter && (*s)[1] >= '0' && (*s)[1] <= '0' + highest) return (*s)[1] - '0' + 1;
    check.Issue(path, "expected \"" + std::string(1, letter) + "0\" to \"" + std::string(1, letter) +
                          std::to_string(highest) + "\", found \"" + *s + "\"");
    return std::nullopt;
}

bool IsGuidText(const std::string& s) {
    static const char pattern[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    if (s.size() != sizeof pattern - 1) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (pattern[i] == 'X') {
            if (!std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
        } else if (s[i] != pattern[i]) {
            return false;
        }
    }
    return true;
}

void CheckPdo(const json& pdo, const std::string& at, Checker& check, PdoSpec& out) {
    if (!check.ExpectObject(pdo, at)) return;
    check.OnlyKeys(pdo, at, {"system_wake", "device_wake", "device_state", "bus_number", "bus_type_guid", "faults"});
    if (pdo.contains("system_wake")) out.system_wake = PowerStateOf(pdo["system_wake"], at + "/system_wake", 'S', 5, check);
    if (pdo.contains("device_wake")) out.device_wake = PowerStateOf(pdo["device_wake"], at + "/device_wake", 'D', 3, check);
    if (pdo.contains("device_state") && check.ExpectObject(pdo["device_state"], at + "/device_state")) {
        for (auto it = pdo["device_state"].begin(); it != pdo["device_state"].end(); ++it) {
            const std::string p = at + "/device_state/" + Escape(it.key());
            const std::string& k = it.key();
            if (k.size() != 2 || k[0] != 'S' || k[1] < '0' || k[1] > '5') {
                check.Issue(p, "\"" + k + "\" is not a system state (S0 to S5)");
                continue;
            }
            if (auto d = PowerStateOf(it.value(), p, 'D', 3, check)) out.device_state[k[1] - '0' + 1] = *d;
        }
    }
    if (pdo.contains("bus_number"))
        if (auto v = check.Unsigned(pdo["bus_number"], at + "/bus_number", 0, 0xFFFF)) out.bus_number = static_cast<uint32_t>(*v);
    if (pdo.contains("bus_type_guid"))
        if (auto g = check.String(pdo["bus_type_guid"], at + "/bus_type_guid")) {
            if (IsGuidText(*g)) out.bus_type_guid = *g;
            else check.Issue(at + "/bus_type_guid", "expected a GUID as {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}");
        }
    if (!pdo.contains("faults")) return;
    const std::string p = at + "/faults";
    const json& faults = pdo["faults"];
    if (!faults.is_array()) {
        check.Issue(p, "expected an array, found " + TypeName(faults));
        return;
    }
    for (size_t i = 0; i < faults.size(); ++i) {
        const std::string fp = p + "/" + std::to_string(i);
        const json& f = faults[i];
        if (!check.ExpectObject(f, fp)) continue;
        check.OnlyKeys(f, fp, {"irp", "status", "occurrence"});
        PdoFaultSpec fault;
        bool ok = true;
        for (const char* required : {"irp", "status"})
            if (!f.contains(required)) {
                check.Issue(fp, std::string("missing key \"") + required + "\"");
                ok = false;
            }
        if (f.contains("irp")) {
            if (auto s = check.String(f["irp"], fp + "/irp")) {
                const auto& names = PdoFaultIrps();
                if (std::find(names.begin(), names.end(), *s) == names.end()) {
                    std::string list;
                    for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
                    check.Issue(fp + "/irp", "unknown IRP \"" + *s + "\" (expected one of " + list + ")");
                    ok = false;
                } else {
                    fault.irp = *s;
                }
            } else {
                ok = false;
            }
        }
        if (f.contains("status")) {
            if (auto v = check.Unsigned(f["status"], fp + "/status", 0, 0xFFFFFFFFu)) {
                // A success status is no failure: the bus would carry the IRP out.
                if ((*v >> 30) != 3) {
                    check.Issue(fp + "/status", "expected an error status (0xC0000000 and above)");
                    ok = false;
                } else {
                    fault.status = static_cast<uint32_t>(*v);
                }
            } else {
                ok = false;
            }
        }
        if (f.contains("occurrence")) {
            if (auto v = check.Unsigned(f["occurrence"], fp + "/occurrence", 1, 1000000000)) fault.occurrence = *v;
            else ok = false;
        }
        if (ok) out.faults.push_back(fault);
    }
}

}  // namespace

const std::vector<std::string>& PdoFaultIrps() {
    static const std::vector<std::string> names{"start", "query_capabilities", "query_stop", "stop",
                                                "query_remove", "remove", "surprise_removal", "query_power",
                                                "set_power", "wait_wake", "bus_type_guid", "bus_number"};
    return names;
}

bool EventNamesCamera(EventKind kind) {
    switch (kind) {
        case EventKind::Sleep:
        case EventKind::Wake:
        case EventKind::Shutdown:
            return false;
        default:
            return true;
    }
}

ScenarioError::ScenarioError(std::string source, std::vector<ScenarioIssue> issues)
    : std::runtime_error(JoinIssues(source, issues)), source_(std::move(source)), issues_(std::move(issues)) {}

const char* FaultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Stall: return "stall";
        case FaultKind::Timeout: return "timeout";
        case FaultKind::Gone: return "gone";
        case FaultKind::NoHandle: return "no-handle";
        case FaultKind::Short: return "short";
        case FaultKind::Stuck: return "stuck";
    }
    return "?";
}

namespace {
const std::pair<const char*, EventKind> kEventNames[] = {
    {"stop", EventKind::Stop},       {"unplug", EventKind::Unplug},   {"replug", EventKind::Replug},
    {"disable", EventKind::Disable}, {"enable", EventKind::Enable},   {"sleep", EventKind::Sleep},
    {"wake", EventKind::Wake},       {"wake_signal", EventKind::WakeSignal}, {"shutdown", EventKind::Shutdown},
    {"wmi_set", EventKind::WmiSet},  {"wmi_query", EventKind::WmiQuery},
};
}  // namespace

const char* EventKindName(EventKind kind) {
    for (const auto& [name, k] : kEventNames)
        if (k == kind) return name;
    return "?";
}

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text) {
    std::vector<uint8_t> out;
    int pending = -1;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else if (c == ' ' || c == '\t' || c == '-' || c == ':' || c == ',') {
            if (pending >= 0) return std::nullopt;  // a lone digit between separators
            continue;
        } else {
            return std::nullopt;
        }
        if (pending < 0) {
            pending = d;
        } else {
            out.push_back(static_cast<uint8_t>(pending * 16 + d));
            pending = -1;
        }
    }
    if (pending >= 0) return std::nullopt;
    return out;
}

Scenario ParseScenario(const std::string& text, const fs::path& baseDir, const std::string& source) {
    std::error_code ec;
    fs::path base = fs::canonical(baseDir, ec);
    if (ec) throw ScenarioError(source, {{"", "cannot resolve folder " + baseDir.string() + ": " + ec.message()}});
    Checker check(base);
    Scenario sc;
    sc.base_dir = base;

    json doc = ParseText(text, check);
    if (!check.issues().empty()) throw ScenarioError(source, check.issues());
    if (!check.ExpectObject(doc, "")) throw ScenarioError(source, check.issues());
    check.OnlyKeys(doc, "", {"drives", "settings", "log_mask", "camera", "cameras", "pdo", "events", "time_limit_ms",
                             "capture_epoch", "inject"});
    if (doc.contains("inject")) sc.inject = ParseInjections(doc["inject"], check.issues());

    if (doc.contains("drives") && check.ExpectObject(doc["drives"], "/drives")) {
        for (auto it = doc["drives"].begin(); it != doc["drives"].end(); ++it) {
            const std::string p = "/drives/" + Escape(it.key());
            const std::string& k = it.key();
            if (k.size() != 1 || !std::isalpha(static_cast<unsigned char>(k[0]))) {
                check.Issue(p, "\"" + k + "\" is not a drive letter (A to Z)");
                continue;
            }
            char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(k[0])));
            if (sc.drives.count(letter)) {
                check.Issue(p, std::string("drive ") + letter + ": is mapped twice");
                continue;
            }
            if (auto dir = check.HostPath(it.value(), p, true)) sc.drives[letter] = *dir;
        }
    }

    if (doc.contains("settings")) CheckSettings(doc["settings"], "/settings", check, sc.settings);

    if (doc.contains("log_mask"))
        if (auto v = check.Unsigned(doc["log_mask"], "/log_mask", 0, 0xFFFFFFFFu)) sc.log_mask = static_cast<uint32_t>(*v);

    if (doc.contains("camera")) CheckCamera(doc["camera"], check, sc.camera, "/camera");
    if (doc.contains("pdo")) CheckPdo(doc["pdo"], "/pdo", check, sc.pdo);

    if (doc.contains("cameras")) {
        // Several cameras: each entry is a whole camera, so the one-camera
        // form beside it could only contradict it.
        for (const char* single : {"settings", "camera"})
            if (doc.contains(single))
                check.Issue(std::string("/") + single, "give it inside each entry of \"cameras\" instead");
        const json& list = doc["cameras"];
        if (!list.is_array() || list.empty() || list.size() > kMaxCameras) {
            check.Issue("/cameras", "expected an array of 1 to " + std::to_string(kMaxCameras) + " cameras");
        } else {
            for (size_t i = 0; i < list.size(); ++i) {
                const std::string p = "/cameras/" + std::to_string(i);
                CameraUnit unit;
                unit.pdo = sc.pdo;
                if (check.ExpectObject(list[i], p)) {
                    check.OnlyKeys(list[i], p, {"settings", "camera", "pdo"});
                    if (list[i].contains("settings")) CheckSettings(list[i]["settings"], p + "/settings", check, unit.settings);
                    if (list[i].contains("camera")) CheckCamera(list[i]["camera"], check, unit.camera, p + "/camera");
                    if (list[i].contains("pdo")) {
                        unit.pdo = PdoSpec{};
                        CheckPdo(list[i]["pdo"], p + "/pdo", check, unit.pdo);
                    }
                }
                sc.cameras.push_back(std::move(unit));
            }
            sc.settings = sc.cameras[0].settings;
            sc.camera = sc.cameras[0].camera;
        }
    } else {
        sc.cameras.push_back({sc.settings, sc.camera, sc.pdo});
    }

    if (doc.contains("time_limit_ms"))
        if (auto v = check.Unsigned(doc["time_limit_ms"], "/time_limit_ms", 1000, 24ull * 3600 * 1000))
            sc.time_limit_ms = *v;
    if (doc.contains("capture_epoch"))
        if (auto v = check.Unsigned(doc["capture_epoch"], "/capture_epoch", 0, 0xFFFFFFFFu))
            sc.capture_epoch = static_cast<int64_t>(*v);

    if (doc.contains("events")) {
        const json& ev = doc["events"];
        if (!ev.is_array()) {
            check.Issue("/events", "expected an array, found " + TypeName(ev));
        } else {
            for (size_t i = 0; i < ev.size(); ++i) {
                const std::string p = "/events/" + std::to_string(i);
                if (!check.ExpectObject(ev[i], p)) continue;
                const json& x = ev[i];
                check.OnlyKeys(x, p, {"at_ms", "event", "camera", "state", "block", "value"});
                EventSpec e;
                bool ok = true;
                if (!x.contains("at_ms")) {
                    check.Issue(p, "missing key \"at_ms\"");
                    ok = false;
                } else if (auto v = check.Unsigned(x["at_ms"], p + "/at_ms", 0, 24ull * 3600 * 1000)) {
                    e.at_ms = *v;
                } else {
                    ok = false;
                }
                if (!x.contains("event")) {
                    check.Issue(p, "missing key \"event\"");
                    continue;
                }
                auto s = check.String(x["event"], p + "/event");
                if (!s) continue;
                auto it = std::find_if(std::begin(kEventNames), std::end(kEventNames),
                                       [&](auto& k) { return *s == k.first; });
                if (it == std::end(kEventNames)) {
                    std::string list;
                    for (const auto& k : kEventNames) list += (list.empty() ? "" : ", ") + std::string(k.first);
                    check.Issue(p + "/event", "unknown event \"" + *s + "\" (expected " + list + ")");
                    continue;
                }
                e.kind = it->second;
                // Each event takes the keys that mean something for it, and no others.
                const bool wmi = e.kind == EventKind::WmiSet || e.kind == EventKind::WmiQuery;
                const std::pair<const char*, bool> takes[] = {{"camera", EventNamesCamera(e.kind)},
                                                              {"state", e.kind == EventKind::Sleep},
                                                              {"block", wmi},
                                                              {"value", e.kind == EventKind::WmiSet}};
                for (const auto& [key, allowed] : takes) {
                    if (!allowed && x.contains(key)) {
                        check.Issue(p + "/" + key, "a \"" + *s + "\" event takes no \"" + key + "\"");
                        ok = false;
                    }
                    // camera defaults to 0; the others are required where they apply
                    if (allowed && std::string(key) != "camera" && !x.contains(key)) {
                        check.Issue(p, "a \"" + *s + "\" event needs \"" + key + "\"");
                        ok = false;
                    }
                }
                if (EventNamesCamera(e.kind) && x.contains("camera")) {
                    const uint64_t cameras = doc.contains("cameras") && doc["cameras"].is_array() && !doc["cameras"].empty()
                                                 ? doc["cameras"].size()
                                                 : 1;
                    if (auto v = check.Unsigned(x["camera"], p + "/camera", 0, cameras - 1)) e.camera = static_cast<uint32_t>(*v);
                    else ok = false;
                }
                if (e.kind == EventKind::Sleep && x.contains("state")) {
                    if (auto st = PowerStateOf(x["state"], p + "/state", 'S', 4, check)) {
                        if (*st < 2) {
                            check.Issue(p + "/state", "S0 is no sleeping state (use a \"wake\" event)");
                            ok = false;
                        } else {
                            e.sleep_state = *st - 1;
                        }
                    } else {
                        ok = false;
                    }
                }
                if (wmi && x.contains("block")) {
                    auto b = check.String(x["block"], p + "/block");
                    if (b && (*b == "wake" || *b == "power")) e.block = *b;
                    else {
                        if (b) check.Issue(p + "/block", "expected \"wake\" or \"power\"");
                        ok = false;
                    }
                }
                if (e.kind == EventKind::WmiSet && x.contains("value")) {
                    if (auto v = check.Unsigned(x["value"], p + "/value", 0, 255)) e.value = static_cast<uint8_t>(*v);
                    else ok = false;
                }
                if (ok) sc.events.push_back(e);
            }
            std::stable_sort(sc.events.begin(), sc.events.end(),
                             [](const EventSpec& a, const EventSpec& b) { return a.at_ms < b.at_ms; });
        }
    }

    if (!check.issues().empty()) throw ScenarioError(source, check.issues());
    return sc;
}

Scenario LoadScenario(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ScenarioError(file.string(), {{"", "cannot open the scenario file"}});
    std::ostringstream text;
    text << in.rdbuf();
    fs::path abs = fs::absolute(file);
    Scenario sc = ParseScenario(text.str(), abs.parent_path(), file.string());
    sc.file = abs;
    return sc;
}

}  // namespace orvex::cli
