// Device-fundamentals cycles: rebalance, disable/enable, surprise removal and
// replug, S3 and S4 sleep and wake, each started in every phase of an update
// while WMI queries and sets run on another thread. The phases are read off
// the clean life's bus log; each cycle is one whole life with the cycle at a
// different place in its phase. CI runs 2 cycles per kind and phase (14 per
// kind); ORVEX_SWEEP=full runs 100 per kind.
#include <gtest/gtest.h>

#include <hosted/hosted.h>
#include <hosted/pnp.h>
#include <hosted/power.h>

#include <string>
#include <vector>

#include "LifeRig.h"

namespace orvex::test {
namespace {

using hosted::Pnp;

struct Phase {
    std::string name;
    int64_t from = 0, to = 0;  // virtual time window of the clean life
};

bool Vendor(const hosted::usb::Transfer& t, uint8_t request)
{
    return t.control && (t.setup[0] & 0x60) == 0x40 && t.setup[1] == request;
}

// The phases of the first update, from the clean life's URBs: version read,
// ISP pages (first flash session), the 30 s wait after it, audio pages, the
// 70 s wait, EEPROM writes, reset.
std::vector<Phase> PhasesOf(const std::vector<hosted::usb::Transfer>& log)
{
    std::vector<Phase> phases;
    auto first = [&](uint8_t request, size_t from = 0) {
        for (size_t i = from; i < log.size(); ++i)
            if (Vendor(log[i], request)) return i;
        return log.size();
    };
    auto lastBefore = [&](uint8_t request, size_t from, size_t to) {
        size_t found = log.size();
        for (size_t i = from; i < to && i < log.size(); ++i)
            if (Vendor(log[i], request)) found = i;
        return found;
    };
    const size_t version = first(0xB0);
    const size_t session1 = first(0xB5), session2 = first(0xB5, session1 + 1);
    const size_t eeprom = first(0xB2), reset = first(0xB4);
    if (version == log.size() || session2 == log.size() || eeprom == log.size() || reset == log.size()) return {};
    const size_t isp0 = first(0xB6, session1), isp1 = lastBefore(0xB6, session1, session2);
    const size_t aud0 = first(0xB6, session2), aud1 = lastBefore(0xB6, session2, eeprom);
    const size_t eeprom1 = lastBefore(0xB2, eeprom, reset);
    // The waits are for the processors' reboot after each page session,
    // during which the driver only polls.
    phases.push_back({"version read", log[version].submitted, log[version].completed});
    phases.push_back({"ISP pages", log[isp0].submitted, log[isp1].completed});
    phases.push_back({"30 s wait", log[isp1].completed, log[session2].submitted});
    phases.push_back({"audio pages", log[aud0].submitted, log[aud1].completed});
    phases.push_back({"70 s wait", log[aud1].completed, log[eeprom].submitted});
    phases.push_back({"EEPROM writes", log[eeprom].submitted, log[eeprom1].completed});
    phases.push_back({"reset", log[reset].submitted, log[reset].completed});
    return phases;
}

const std::vector<Phase>& Phases()
{
    static const std::vector<Phase> phases = PhasesOf(RunLife({}).log);
    return phases;
}

using Cycle = std::function<void(hosted::usb::Bus&)>;

PDEVICE_OBJECT Pdo(hosted::usb::Bus& bus) { return bus.Pdo(1); }

// What a cycle does, as Windows' device-fundamentals tests do it.
const std::vector<std::pair<std::string, Cycle>>& CycleKinds()
{
    static const std::vector<std::pair<std::string, Cycle>> cycles = {
        {"rebalance",
         [](hosted::usb::Bus& bus) {
             if (PDEVICE_OBJECT p = Pdo(bus); p && Pnp::State(p) == hosted::DeviceState::Started) Pnp::Rebalance(p);
         }},
        {"disable/enable",
         [](hosted::usb::Bus& bus) {
             PDEVICE_OBJECT p = Pdo(bus);
             if (!p || Pnp::State(p) != hosted::DeviceState::Started) return;
             Pnp::Disable(p);
             hosted::Sleep(hosted::Seconds(1));
             if (Pnp::State(p) == hosted::DeviceState::Disabled) Pnp::Enable(p);
         }},
        {"surprise removal/replug",
         [](hosted::usb::Bus& bus) {
             bus.Unplug(1);
             Pnp::WaitIdle();
             hosted::Sleep(hosted::Seconds(1));
             bus.Replug(1);
             Pnp::WaitIdle();
         }},
        {"S3 sleep/wake",
         [](hosted::usb::Bus&) {
             hosted::Power::Sleep(PowerSystemSleeping3);
             hosted::Sleep(hosted::Seconds(5));
             hosted::Power::Wake();
         }},
        {"S4 sleep/wake",
         [](hosted::usb::Bus&) {
             hosted::Power::Sleep(PowerSystemHibernate);
             hosted::Sleep(hosted::Seconds(5));
             hosted::Power::Wake();
         }},
    };
    return cycles;
}

TEST(DeviceFundamentals, PhasesOfTheUpdateAreFound)
{
    const auto& phases = Phases();
    ASSERT_EQ(phases.size(), 7u);
    for (const auto& p : phases) EXPECT_LE(p.from, p.to) << p.name;
    for (size_t i = 1; i < phases.size(); ++i) EXPECT_GE(phases[i].from, phases[i - 1].to) << phases[i].name;
    // The waits for the processors to reboot last seconds.
    EXPECT_GE(phases[2].to - phases[2].from, hosted::Seconds(5));
    EXPECT_GE(phases[4].to - phases[4].from, hosted::Seconds(5));
}

class Cycles : public ::testing::TestWithParam<size_t> {};

TEST_P(Cycles, InEachPhaseOfAnUpdateWithWmiAlongside)
{
    const auto& [name, cycle] = CycleKinds()[GetParam()];
    const auto& phases = Phases();
    ASSERT_EQ(phases.size(), 7u);
    // 100 cycles per kind in the long mode, spread over the phases.
    const size_t perPhase = FullRun() ? (100 + phases.size() - 1) / phases.size() : 2;
    size_t ran = 0;
    uint64_t wmi = 0;
    for (const auto& phase : phases) {
        for (size_t r = 0; r < perPhase; ++r) {
            LifeOptions options;
            options.wmi = true;
            options.actionAt = phase.from + (phase.to - phase.from) * int64_t(r + 1) / int64_t(perPhase + 1);
            options.action = cycle;
            const LifeResult life = RunLife({}, options);
            ++ran;
            wmi += life.wmiRequests;
            // Whatever the cycle cut short, the driver's next run on the
            // returning device completes the update.
            const std::string why = life.Findings(true);
            EXPECT_TRUE(why.empty()) << name << " at " << options.actionAt / hosted::kUnitsPerMs << " ms ("
                                     << phase.name << ")" << why;
        }
    }
    EXPECT_GT(wmi, 0u);
    std::printf("[ cycles ] %s: %zu cycles, %llu WMI requests alongside\n", name.c_str(), ran,
                static_cast<unsigned long long>(wmi));
}

std::string KindName(const ::testing::TestParamInfo<size_t>& info)
{
    static const char* const names[] = {"Rebalance", "DisableEnable", "SurpriseRemovalReplug", "S3", "S4"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(DeviceFundamentals, Cycles, ::testing::Range<size_t>(0, 5), KindName);

}  // namespace
}  // namespace orvex::test
