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
    } catch (const json::exception& e) {
        // Syntax errors, and numbers too large for any JSON number type
        // (out_of_range 406), which the parser reports by a different exception.
        check.Issue("", std::string("not valid JSON: ") + e.what());
        return json();
    }
    for (auto& d : dups) check.Issue(d.path, d.message);
    return doc;
}

void CheckCamera(const json& cam, Checker& check, CameraSpec& out) {
    const std::string at = "/camera";
    if (!check.ExpectObject(cam, at)) return;
    check.OnlyKeys(cam, at,
                   {"version_record", "eeprom", "eeprom_size", "readiness_status", "isp_fw_status",
                    "aud_fw_status", "fw_status_zero_polls", "isp_needs_reset", "vendor_id", "product_id",
                    "device_descriptor", "config_descriptor", "erase_ms", "alive_after_flash_ms", "reboot_ms",
                    "download_order", "faults", "replay"});
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

}  // namespace

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

const char* EventKindName(EventKind kind) { return kind == EventKind::Stop ? "stop" : "unplug"; }

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
    check.OnlyKeys(doc, "", {"drives", "settings", "log_mask", "camera", "events", "time_limit_ms", "capture_epoch"});

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

    if (doc.contains("settings") && check.ExpectObject(doc["settings"], "/settings")) {
        const json& s = doc["settings"];
        check.OnlyKeys(s, "/settings", {"FX3", "ISP", "AUD", "VERSION"});
        for (const auto& name : SettingNames()) {
            if (!s.contains(name)) continue;
            const std::string p = "/settings/" + name;
            auto v = check.String(s[name], p);
            if (!v) continue;
            if (v->find('\0') != std::string::npos) {
                check.Issue(p, "a registry string value cannot hold a NUL character");
                continue;
            }
            sc.settings[name] = *v;
        }
    }

    if (doc.contains("log_mask"))
        if (auto v = check.Unsigned(doc["log_mask"], "/log_mask", 0, 0xFFFFFFFFu)) sc.log_mask = static_cast<uint32_t>(*v);

    if (doc.contains("camera")) CheckCamera(doc["camera"], check, sc.camera);

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
                check.OnlyKeys(ev[i], p, {"at_ms", "event"});
                EventSpec e;
                bool ok = true;
                if (!ev[i].contains("at_ms")) {
                    check.Issue(p, "missing key \"at_ms\"");
                    ok = false;
                } else if (auto v = check.Unsigned(ev[i]["at_ms"], p + "/at_ms", 0, 24ull * 3600 * 1000)) {
                    e.at_ms = *v;
                } else {
                    ok = false;
                }
                if (!ev[i].contains("event")) {
                    check.Issue(p, "missing key \"event\"");
                    ok = false;
                } else if (auto s = check.String(ev[i]["event"], p + "/event")) {
                    if (*s == "stop") e.kind = EventKind::Stop;
                    else if (*s == "unplug") e.kind = EventKind::Unplug;
                    else {
                        check.Issue(p + "/event", "unknown event \"" + *s + "\" (expected stop or unplug)");
                        ok = false;
                    }
                } else {
                    ok = false;
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
