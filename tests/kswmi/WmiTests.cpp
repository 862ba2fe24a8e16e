// WMI: registration through IRP_MN_REGINFO_EX on the WMI thread, updates and
// withdrawn blocks, requests as a consumer sends them, deregistration with
// requests in flight, and the WMI library's division of completion work.
#include <cstring>

#include "StackFixture.h"

using namespace hosted;
using namespace kstest;

namespace {

std::vector<uint8_t> Bytes(ULONG v)
{
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

std::vector<uint8_t> Bytes(std::initializer_list<ULONG> vs)
{
    std::vector<uint8_t> out;
    for (ULONG v : vs) {
        auto b = Bytes(v);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

class Wmi : public StackTest {
protected:
    void Started()
    {
        ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        hosted::Wmi::Settle();
    }
};

TEST_F(Wmi, RegistrationIsAskedForOnTheWmiThreadAndNamesInstancesFromThePdo)
{
    Started();
    EXPECT_EQ(hosted::Wmi::RegInfoRequests(g.fdo), 1u);
    EXPECT_EQ(g.regInfoThread, "WMI");
    EXPECT_EQ(g.regInfoIrql, PASSIVE_LEVEL);
    EXPECT_TRUE(hosted::Wmi::Registered(g.fdo));
    EXPECT_TRUE(Io::WmiRegistered(g.fdo));
    auto blocks = hosted::Wmi::Blocks(g.fdo);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(blocks[0].guid, kBlockA));
    EXPECT_EQ(blocks[0].instanceNames, std::vector<std::string>{"USB\\VID_1234&PID_5678\\KS0001_0"});
    EXPECT_TRUE(IsEqualGUID(blocks[1].guid, kBlockB));
    EXPECT_EQ(blocks[1].instanceCount, 2u);
    EXPECT_EQ(blocks[1].instanceNames[1], "USB\\VID_1234&PID_5678\\KS0001_1");
    EXPECT_TRUE(blocks[1].flags & WMIREG_FLAG_INSTANCE_PDO);
}

TEST_F(Wmi, QueriesAndChangesOfRegisteredBlocksReachTheProvider)
{
    Started();
    WmiReply a = hosted::Wmi::QuerySingleInstance(g.fdo, kBlockA);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.data, Bytes(7));
    EXPECT_EQ(hosted::Wmi::SetSingleInstance(g.fdo, kBlockA, Bytes(9)).status, STATUS_SUCCESS);
    EXPECT_EQ(g.valueA, 9u);
    EXPECT_EQ(hosted::Wmi::SetSingleInstance(g.fdo, kBlockB, Bytes(5), 1).status, STATUS_SUCCESS);
    EXPECT_EQ(g.valuesB[1], 5u);

    WmiReply all = hosted::Wmi::QueryAllData(g.fdo, kBlockB);
    EXPECT_EQ(all.status, STATUS_SUCCESS);
    EXPECT_EQ(all.data, Bytes({20, 5}));
    auto* w = reinterpret_cast<WNODE_ALL_DATA*>(all.buffer.data());
    EXPECT_EQ(w->InstanceCount, 2u);
    EXPECT_TRUE(w->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE);
    EXPECT_EQ(w->FixedInstanceSize, sizeof(ULONG));
    EXPECT_EQ(all.information, w->WnodeHeader.BufferSize);

    // An instance past the registered count never reaches the driver.
    unsigned before = g.wmiIrps;
    EXPECT_EQ(hosted::Wmi::QuerySingleInstance(g.fdo, kBlockB, 2).status, STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(g.wmiIrps, before);
}

// A buffer too small is answered with WNODE_TOO_SMALL and the size needed;
// WmiCompleteRequest then returns STATUS_SUCCESS, not the status it was given.
TEST_F(Wmi, ABufferTooSmallGetsTheSizeNeededAndSuccess)
{
    Started();
    WmiReply r = hosted::Wmi::QuerySingleInstance(g.fdo, kBlockA, 0, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_TRUE(r.tooSmall);
    EXPECT_EQ(r.sizeNeeded, ((sizeof(WNODE_SINGLE_INSTANCE) + 7) & ~size_t(7)) + sizeof(ULONG));
    EXPECT_EQ(r.information, sizeof(WNODE_TOO_SMALL));
    EXPECT_EQ(g.lastCompleteReturn, STATUS_SUCCESS);
}

TEST_F(Wmi, AnUpdateWithdrawsAndRestoresABlock)
{
    Started();
    g_guids[1].Flags = WMIREG_FLAG_REMOVE_GUID;
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_UPDATE_GUIDS), STATUS_SUCCESS);
    auto blocks = hosted::Wmi::Blocks(g.fdo);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(blocks[0].guid, kBlockA));
    EXPECT_EQ(hosted::Wmi::RegInfoRequests(g.fdo), 2u);

    unsigned before = g.wmiIrps;
    EXPECT_EQ(hosted::Wmi::QuerySingleInstance(g.fdo, kBlockB).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(hosted::Wmi::SetSingleInstance(g.fdo, kBlockB, Bytes(1)).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(g.wmiIrps, before);  // the withdrawn block never reaches the provider
    EXPECT_EQ(hosted::Wmi::QuerySingleInstance(g.fdo, kBlockA).status, STATUS_SUCCESS);

    g_guids[1].Flags = 0;
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_UPDATE_GUIDS), STATUS_SUCCESS);
    EXPECT_EQ(hosted::Wmi::Blocks(g.fdo).size(), 2u);
    EXPECT_EQ(hosted::Wmi::QuerySingleInstance(g.fdo, kBlockB, 1).data, Bytes(21));
}

class WmiUnregistered : public Wmi {
    void Customise() override { g.faults.registerInStart = false; }
};

TEST_F(WmiUnregistered, RequestsForAnUnregisteredDeviceAreRefused)
{
    Started();
    EXPECT_EQ(hosted::Wmi::QuerySingleInstance(g.fdo, kBlockA).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_TRUE(hosted::Wmi::Blocks(g.fdo).empty());
    EXPECT_EQ(g.wmiIrps, 0u);
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_UPDATE_GUIDS), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_DEREGISTER), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_REGISTER), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(hosted::Wmi::QuerySingleInstance(g.fdo, kBlockA).status, STATUS_SUCCESS);
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    EXPECT_FALSE(Io::WmiRegistered(g.fdo));
    unsigned before = g.wmiIrps;
    EXPECT_EQ(hosted::Wmi::QuerySingleInstance(g.fdo, kBlockA).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(g.wmiIrps, before);
}

TEST_F(WmiUnregistered, RegistrationFailureIsInjectable)
{
    hosted::Wmi::FailRegistration(1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_REGISTER), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(hosted::Wmi::Registered(g.fdo));
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    EXPECT_TRUE(hosted::Wmi::Registered(g.fdo));
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
}

TEST_F(WmiUnregistered, RegistrationIsRefusedAbovePassiveLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_REGISTER);
    KeLowerIrql(old);
    EXPECT_TRUE(OneViolation("IoWMIRegistrationControl at IRQL 2"));
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
}

class WmiPended : public Wmi {
    void Customise() override { g.faults.pendQueries = true; }
};

// Deregistration blocks until every request WMI already sent has completed
// (here a query the driver completes 10 ms later); nothing new is sent.
TEST_F(WmiPended, DeregistrationWaitsForTheRequestsInFlight)
{
    Started();
    WmiReply reply{};
    Thread consumer = StartThread("consumer", [&] { reply = hosted::Wmi::QuerySingleInstance(g.fdo, kBlockA); });
    KeWaitForSingleObject(&g.queryArrived, Executive, KernelMode, FALSE, nullptr);
    int64_t sent = Clock::Now();
    EXPECT_EQ(IoWMIRegistrationControl(g.fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    EXPECT_GE(Clock::Now() - sent, 10 * 10000);
    consumer.Join();
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.data, Bytes(7));
    unsigned before = g.wmiIrps;
    EXPECT_EQ(hosted::Wmi::QuerySingleInstance(g.fdo, kBlockA).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(g.wmiIrps, before);
}

// WmiSystemControl completes nothing it rejects or answers itself: the
// driver gets IrpNotCompleted with the status set and completes the IRP.
TEST_F(Wmi, TheLibraryLeavesRegistrationAndRejectedRequestsToTheDriver)
{
    Started();
    static const GUID kOther = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    struct Case {
        const char* what;
        std::function<void()> change;  // the driver's tables drift from what it registered
        std::function<WmiReply()> send;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"registration", [] {}, [&] { return hosted::Wmi::RegInfo(g.fdo); }, STATUS_SUCCESS},
        {"unknown GUID", [] { g_guids[0].Guid = &kOther; },
         [&] { return hosted::Wmi::QuerySingleInstance(g.fdo, kBlockA); }, STATUS_WMI_GUID_NOT_FOUND},
        {"instance out of range", [] { g_guids[1].InstanceCount = 1; },
         [&] { return hosted::Wmi::QuerySingleInstance(g.fdo, kBlockB, 1); }, STATUS_WMI_INSTANCE_NOT_FOUND},
        {"no item setter", [] {}, [&] { return hosted::Wmi::SetSingleItem(g.fdo, kBlockA, 1, Bytes(1)); },
         STATUS_WMI_READ_ONLY},
        {"no query callback", [] { g_wmi.QueryWmiDataBlock = nullptr; },
         [&] { return hosted::Wmi::QueryAllData(g.fdo, kBlockA); }, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WMIGUIDREGINFO saved[2] = {g_guids[0], g_guids[1]};
        WMILIB_CONTEXT savedCtx = g_wmi;
        c.change();
        g.lastDisposition = IrpProcessed;
        EXPECT_EQ(c.send().status, c.status);
        EXPECT_EQ(g.lastDisposition, IrpNotCompleted);
        g_guids[0] = saved[0];
        g_guids[1] = saved[1];
        g_wmi = savedCtx;
    }
    // A registration answer: the GUIDs, PDO-named.
    WmiReply reg = hosted::Wmi::RegInfo(g.fdo);
    auto* info = reinterpret_cast<WMIREGINFOW*>(reg.buffer.data());
    EXPECT_EQ(info->GuidCount, 2u);
    EXPECT_EQ(reg.information, info->BufferSize);
    EXPECT_EQ(info->WmiRegGuid[0].Pdo, ULONG_PTR(pdo_));
}

class WmiLongName : public Wmi {
    void Customise() override { g.faults.longBaseName = true; }
};

// WMI asks again with the size the provider reports when its first buffer
// is too small; base-named instances are numbered after the base name.
TEST_F(WmiLongName, ALargeRegistrationIsAskedForAgainWithTheSizeNeeded)
{
    Started();
    EXPECT_EQ(hosted::Wmi::RegInfoRequests(g.fdo), 2u);
    auto blocks = hosted::Wmi::Blocks(g.fdo);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].instanceNames[1], std::string(399, 'x') + "1");
}

// ---------------------------------------------------------------- wrong drivers

struct WrongDriver {
    const char* name;
    bool Faults::*fault;
    void (*provoke)(PDEVICE_OBJECT pdo);
    const char* violation;
};

class WmiWrong : public Wmi, public ::testing::WithParamInterface<WrongDriver> {
    void Customise() override { g.faults.*GetParam().fault = true; }
};

TEST_P(WmiWrong, IsCaught)
{
    Started();
    GetParam().provoke(pdo_);
    EXPECT_TRUE(OneViolation(GetParam().violation));
}

INSTANTIATE_TEST_SUITE_P(
    Each, WmiWrong,
    ::testing::Values(
        // The registration request comes back IrpNotCompleted; a driver that
        // does not complete it would hang WMI's thread on Windows.
        WrongDriver{"LeavesARegistrationRequestUncompleted", &Faults::forgetNotCompleted, [](PDEVICE_OBJECT) {},
                    "without completing it"},
        WrongDriver{"CompletesAgainAfterWmiCompleteRequest", &Faults::completeProcessedAgain,
                    [](PDEVICE_OBJECT) { hosted::Wmi::QuerySingleInstance(g.fdo, kBlockA); }, "already completed"},
        WrongDriver{"DeletesItsDeviceStillRegistered", &Faults::keepWmiAtRemove,
                    [](PDEVICE_OBJECT pdo) {
                        EXPECT_EQ(Io::SendPnp(pdo, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);
                    },
                    "still registered with WMI"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
