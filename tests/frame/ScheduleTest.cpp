// Seeded schedules over the frame's race-prone paths: each case runs once per
// seed of a fixed set, and the seed decides which ready thread runs next, a
// few preemptions, and whether the USB bus completes each transfer inside
// IoCallDriver or later. Every run must end clean (no verifier finding, no
// leak, no deadlock) with the counts balanced. A failing seed replays
// exactly: run the one case with that seed.
#include <gtest/gtest.h>

#include <random>
#include <regex>

#include <wdmguid.h>

#include "FrameRig.h"

namespace orvex::test {
namespace {

using hosted::Wmi;

hosted::Options Seeded(uint64_t seed)
{
    hosted::Options options;
    options.scheduleSeed = seed;
    return options;
}

class Schedules : public FrameTest, public ::testing::WithParamInterface<uint64_t> {
protected:
    Schedules() : FrameTest(Seeded(GetParam())) {}
    // A point of the run drawn from the seed (the seed already orders the
    // threads; this spreads the event over the update's phases too).
    int64_t Pick(int64_t from, int64_t to)
    {
        std::mt19937_64 rng(GetParam());
        return from + int64_t(rng() % uint64_t(to - from));
    }
    FirmwareFiles files;
};

TEST_P(Schedules, WaitWakeSignalAgainstCancel)
{
    // The bus signals wake while the wake block is switched off: both threads
    // are ready at once, the seed orders them. Whichever wins, the request is
    // finished once and the counts balance (the verifier catches a second
    // completion).
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    data->DeviceCaps.SystemWake = PowerSystemSleeping3;
    for (bool cancelCompletes : {true, false}) {
        SCOPED_TRACE(cancelCompletes ? "cancel routine completes" : "cancel routine leaves it to the bus");
        bus->cancelCompletes = cancelCompletes;
        ASSERT_EQ(ArmWaitWake(data), STATUS_PENDING);
        auto signaller = hosted::StartThread("bus wake", [&] { bus->SignalWake(); });
        auto canceller = hosted::StartThread("wmi cancel", [&] { CancelWaitWake(data); });
        signaller.Join();
        canceller.Join();
        bus->SignalWake();  // a cancel the bus ignored: the request ends now
        // Whatever else a schedule left under way (WMI's registration
        // request, say) finishes before the counts are read.
        hosted::Sleep(hosted::Milliseconds(1));
        EXPECT_FALSE(bus->WaitWakeHeld());
        EXPECT_EQ(data->WaitWakeArmed, 0);
        EXPECT_EQ(data->WaitWakeIrp, nullptr);
        EXPECT_EQ(data->OutstandingIO, 1);
    }
}

TEST_P(Schedules, RemovalAgainstWmiAndKernelStreaming)
{
    // Removal right after the start, while kernel streaming's PostStart and
    // the update thread may still be starting, with WMI requests coming in on
    // another thread: each request is answered or refused, never lost.
    files.Install(bus->Pdo());
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    PDEVICE_OBJECT device = fdo;
    std::vector<NTSTATUS> answers;
    auto consumer = hosted::StartThread("wmi consumer", [&] {
        for (int i = 0; i < 4; ++i) {
            answers.push_back(Wmi::QuerySingleInstance(device, GUID_POWER_DEVICE_ENABLE).status);
            answers.push_back(Wmi::SetSingleInstance(device, GUID_POWER_DEVICE_ENABLE, {uint8_t(i)}).status);
        }
    });
    hosted::Sleep(Pick(0, hosted::Milliseconds(3)));
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    consumer.Join();
    for (NTSTATUS s : answers) EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_WMI_GUID_NOT_FOUND) << std::hex << s;
    EXPECT_EQ(bus->Pdo()->AttachedDevice, nullptr);
}

TEST_P(Schedules, StopAgainstTheUpdateThreadsWaits)
{
    // A rebalance at a point of the update drawn from the seed: the update
    // thread is stopped in whatever wait it is in, the device starts again
    // (a new update run) and is removed at the end.
    files.Install(bus->Pdo());
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    hosted::Sleep(Pick(0, hosted::Seconds(12)));
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(data->OutstandingIO, 1);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    hosted::Sleep(Pick(0, hosted::Seconds(2)));
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
}

TEST_P(Schedules, SleepDuringATransfer)
{
    // The system sleeps (S3) and wakes while the update thread's transfers
    // are in flight; the bus completes some inside IoCallDriver and some
    // later, as the seed says.
    files.Install(bus->Pdo());
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking), STATUS_SUCCESS);
    hosted::Sleep(Pick(hosted::Milliseconds(1), hosted::Seconds(4)));
    ASSERT_EQ(Power(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(data->DeviceState, PowerDeviceD3);
    hosted::Sleep(Pick(0, hosted::Milliseconds(500)));
    ASSERT_EQ(Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking), STATUS_SUCCESS);
    hosted::Sleep(hosted::Milliseconds(1));  // the D0 request made on the way up
    EXPECT_EQ(data->DeviceState, PowerDeviceD0);
    Settle();
    EXPECT_EQ(data->OutstandingIO, 1);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Schedules, ::testing::Range<uint64_t>(1, 25));

// One seeded run of a whole device life (add, start, WMI on another thread,
// a part of the update, removal, unload) in a platform of its own; returns
// the interleaving and the trace with what varies between runs of one process blanked out.
struct RunRecord {
    std::vector<std::string> switches;
    std::vector<std::string> trace;
};

RunRecord OneLife(uint64_t seed, const FirmwareFiles& files)
{
    RunRecord record;
    hosted::TestPlatform platform(Seeded(seed));
    LogMask = 0xFFFFFFFF;
    {
        hosted::DriverHost host(&DriverEntry);
        EXPECT_EQ(host.Load(), STATUS_SUCCESS);
        FrameBus bus;
        files.Install(bus.Pdo());
        EXPECT_EQ(host.AddDevice(bus.Pdo()), STATUS_SUCCESS);
        PDEVICE_OBJECT fdo = bus.Pdo()->AttachedDevice;
        EXPECT_EQ(hosted::Io::SendPnp(fdo, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);
        auto consumer = hosted::StartThread("wmi consumer", [&] {
            for (int i = 0; i < 3; ++i) Wmi::QuerySingleInstance(fdo, GUID_POWER_DEVICE_ENABLE);
        });
        hosted::Sleep(hosted::Seconds(3));
        consumer.Join();
        EXPECT_EQ(hosted::Io::SendPnp(fdo, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);
        hosted::Sleep(hosted::Seconds(1));
        EXPECT_TRUE(host.Unload().empty());
    }
    // Addresses (printed in hex, with or without 0x, as short as the low
    // 32 bits make them) differ from run to run, and the driver's count of
    // devices added lives as long as the process: every hex word is blanked.
    const std::regex varying("\\b(0x)?[0-9a-fA-F]+\\b");
    for (const auto& r : hosted::Trace::Records())
        record.trace.push_back(std::to_string(r.time) + " " + r.thread + ": " +
                               std::regex_replace(r.text, varying, "<varies>"));
    record.switches = hosted::Scheduler::Switches();
    return record;
}

TEST(ScheduleSeed, TheSameSeedReplaysAndAnotherInterleavesDifferently)
{
    FirmwareFiles files;
    const RunRecord first = OneLife(7, files);
    const RunRecord again = OneLife(7, files);
    const RunRecord other = OneLife(8, files);
    ASSERT_FALSE(first.switches.empty());
    EXPECT_EQ(first.switches, again.switches);
    EXPECT_EQ(first.trace, again.trace);
    EXPECT_NE(first.switches, other.switches);
}

TEST(ScheduleSeed, WithoutASeedNothingIsRecordedAndTheBusCompletesInline)
{
    hosted::TestPlatform platform;
    EXPECT_FALSE(hosted::Scheduler::Seeded());
    EXPECT_EQ(hosted::Scheduler::Choose(2), 0u);
    auto t = hosted::StartThread("other", [] {});
    t.Join();
    EXPECT_TRUE(hosted::Scheduler::Switches().empty());
}

}  // namespace
}  // namespace orvex::test
