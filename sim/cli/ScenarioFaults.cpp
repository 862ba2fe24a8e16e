#include "ScenarioFaults.h"

#include <cstdlib>
#include <map>

#include <nlohmann/json.hpp>

#include "Scenario.h"

namespace orvex::cli {

using nlohmann::json;

namespace {

// A positive count: an integer, or its decimal or 0x text.
std::optional<uint64_t> Count(const json& v, const std::string& path, std::vector<ScenarioIssue>& issues,
                              uint64_t max = UINT64_MAX)
{
    uint64_t value = 0;
    bool ok = false;
    if (v.is_number_unsigned()) {
        value = v.get<uint64_t>();
        ok = true;
    } else if (v.is_string()) {
        const std::string s = v.get<std::string>();
        char* end = nullptr;
        if (!s.empty() && s[0] != '-') {
            value = std::strtoull(s.c_str(), &end, 0);
            ok = end && *end == '\0';
        }
    }
    if (!ok || value < 1 || value > max) {
        issues.push_back({path, "expected a count from 1 to " + std::to_string(max)});
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> Text(const json& v, const std::string& path, std::vector<ScenarioIssue>& issues)
{
    if (v.is_string() && !v.get<std::string>().empty()) return v.get<std::string>();
    issues.push_back({path, "expected a non-empty string"});
    return std::nullopt;
}

}  // namespace

Injections ParseInjections(const json& v, std::vector<ScenarioIssue>& issues)
{
    Injections in;
    if (!v.is_object()) {
        issues.push_back({"/inject", "expected an object"});
        return in;
    }
    const std::map<std::string, std::optional<uint64_t> Injections::*> counts = {
        {"unplug_before_urb", &Injections::unplug_before_urb},
        {"unplug_after_urb", &Injections::unplug_after_urb},
        {"stop_after_urb", &Injections::stop_after_urb},
        {"pool_fail", &Injections::pool_fail},
        {"file_open_fail", &Injections::file_open_fail},
        {"file_query_fail", &Injections::file_query_fail},
        {"file_read_fail", &Injections::file_read_fail},
        {"registry_open_fail", &Injections::registry_open_fail},
        {"registry_query_fail", &Injections::registry_query_fail},
        {"pdo_irp_fail", &Injections::pdo_irp_fail},
        {"device_property_fail", &Injections::device_property_fail},
    };
    const std::map<std::string, std::optional<std::string> Injections::*> texts = {
        {"pool_tag", &Injections::pool_tag},
        {"file", &Injections::file},
        {"registry_key", &Injections::registry_key},
        {"registry_value", &Injections::registry_value},
    };
    for (auto it = v.begin(); it != v.end(); ++it) {
        const std::string& key = it.key();
        const std::string path = "/inject/" + key;
        if (auto c = counts.find(key); c != counts.end()) {
            in.*(c->second) = Count(it.value(), path, issues);
        } else if (auto t = texts.find(key); t != texts.end()) {
            in.*(t->second) = Text(it.value(), path, issues);
        } else if (key == "reenumerate_after_reset") {
            if (it.value().is_boolean()) in.reenumerate_after_reset = it.value().get<bool>();
            else issues.push_back({path, "expected true or false"});
        } else if (key == "pdo_irp") {
            // "pnp 0x0E" or "power 0x02": the major function and minor code.
            const auto s = Text(it.value(), path, issues);
            if (!s) continue;
            const size_t blank = s->find(' ');
            const std::string major = s->substr(0, blank);
            std::optional<uint64_t> minor;
            if (blank != std::string::npos) {
                std::vector<ScenarioIssue> ignored;
                minor = Count(json(s->substr(blank + 1)), path, ignored, 0xFF);
                if (!minor && s->substr(blank + 1) == "0") minor = 0;
            }
            if ((major != "pnp" && major != "power") || !minor) {
                issues.push_back({path, "expected \"pnp N\" or \"power N\" (N the minor code, e.g. 0x0E)"});
                continue;
            }
            in.pdo_irp_major = major == "pnp" ? 0x1B : 0x16;  // IRP_MJ_PNP, IRP_MJ_POWER
            in.pdo_irp_minor = uint8_t(*minor);
        } else if (key == "device_property") {
            if (it.value().is_number_unsigned() && it.value().get<uint64_t>() < 64)
                in.device_property = it.value().get<uint32_t>();
            else
                issues.push_back({path, "expected a DEVICE_REGISTRY_PROPERTY number (0 to 63)"});
        } else {
            issues.push_back({path, "unknown key \"" + key + "\""});
        }
    }
    // Each failure needs what it applies to, and the other way round.
    auto pair = [&](bool what, bool count, const char* whatKey, const char* countKeys) {
        if (count && !what) issues.push_back({"/inject", std::string(countKeys) + " needs \"" + whatKey + "\""});
        if (what && !count) issues.push_back({"/inject", std::string("\"") + whatKey + "\" needs " + countKeys});
    };
    pair(in.pool_tag.has_value(), in.pool_fail.has_value(), "pool_tag", "\"pool_fail\"");
    if (in.pool_tag && in.pool_tag->size() != 4) issues.push_back({"/inject/pool_tag", "a pool tag has four characters"});
    pair(in.file.has_value(), in.file_open_fail || in.file_query_fail || in.file_read_fail, "file",
         "\"file_open_fail\", \"file_query_fail\" or \"file_read_fail\"");
    pair(in.registry_key.has_value(), in.registry_open_fail || in.registry_query_fail, "registry_key",
         "\"registry_open_fail\" or \"registry_query_fail\"");
    if (in.registry_query_fail && !in.registry_value)
        issues.push_back({"/inject", "\"registry_query_fail\" needs \"registry_value\""});
    pair(in.pdo_irp_major.has_value(), in.pdo_irp_fail.has_value(), "pdo_irp", "\"pdo_irp_fail\"");
    pair(in.device_property.has_value(), in.device_property_fail.has_value(), "device_property",
         "\"device_property_fail\"");
    return in;
}

}  // namespace orvex::cli
