// Installing from an INF through the hosted plug-and-play manager: the
// service key and driver-key values it writes, the matching of devices
// against the models section, and the INFs it refuses (with their line,
// writing nothing). The generated ORVEX.inf itself is installed for the
// simulated camera by InfDriverTests.cpp.
#include <memory>
#include <optional>

#include <hosted/gtest.h>
#include <hosted/inf.h>

#include "TestBus.h"
#include "TestDriver.h"

using namespace hosted;
using namespace platformtest;

namespace {

const char* const kStore = "C:\\Windows\\System32\\DriverStore\\FileRepository\\t.inf_amd64_1";

// A small INF of the same shape as ORVEX.inf, for the test bus's device.
std::string TestInf(const std::string& hardwareId = TestBus::kHardwareId)
{
    return R"([Version]
Signature   = "$Windows NT$"
Class       = Camera
ClassGuid   = {ca3e7ab9-b4c3-4ae6-8251-579ef933890f}
Provider    = %Prov%
DriverVer   = 12/01/2026,1.0.0.3
CatalogFile = t.cat

[SourceDisksNames]
1 = %Disk%

[SourceDisksFiles]
test.sys = 1
fw.bin   = 1

[DestinationDirs]
Files = 13

[Manufacturer]
%Prov% = Models, NTamd64

[Models.NTamd64]
%Desc% = Dev, )" + hardwareId + R"(

[Dev.NTamd64]
Include   = ks.inf
Needs     = KS.Registration
CopyFiles = Files
AddReg    = Dev.AddReg

[Files]
test.sys
fw.bin

[Dev.AddReg]
HKR,,FX3,,"%13%\fw.bin"
HKR,,ISP,0x00000002,"kept if present"

[Dev.NTamd64.Services]
AddService = PLATTEST, 0x00000002, Svc

[Svc]
ServiceType   = 1
StartType     = 3
ErrorControl  = 1
ServiceBinary = %13%\test.sys
AddReg        = Svc.AddReg

[Svc.AddReg]
HKR,Parameters,Logs,0x00010001,0x21
HKR,Cache

[Strings]
Prov = "Test"
Disk = "Test disk"
Desc = "Test device"
)";
}

InfOptions Options()
{
    InfOptions o;
    o.binaries = {{"TEST.SYS", TestDriverEntry}};
    o.driverStore = kStore;
    o.knownValues = {{"driver", {"FX3", "ISP", "AUD", "VERSION"}}, {"parameters", {"Logs"}}};
    return o;
}

// Let the PnP manager and the threads it started finish.
void Settle()
{
    Pnp::WaitIdle();
    hosted::Sleep(Milliseconds(1));
    Pnp::WaitIdle();
}

std::optional<InfInstallation> InstallText(const std::string& text, std::string* error, InfOptions o = Options())
{
    auto inf = Inf::Parse(text, "t.inf", error);
    if (!inf) return std::nullopt;
    return InfInstaller::Install(*inf, o, error);
}

class InfInstall : public PlatformTest {
protected:
    void SetUp() override
    {
        ResetTestDriver();
        bus_.emplace();
    }
    void TearDown() override
    {
        if (busAdded_) Pnp::RemoveRootBus(bus_->Device());
        Settle();
        bus_.reset();
    }
    PDEVICE_OBJECT Plug()
    {
        if (!busAdded_) Pnp::AddRootBus(bus_->Device());
        busAdded_ = true;
        PDEVICE_OBJECT pdo = bus_->Plug();
        Settle();
        return pdo;
    }

    std::optional<TestBus> bus_;
    bool busAdded_ = false;
};

TEST_F(InfInstall, WritesTheServiceAndTheDriverKeyThenLoadsTheDriver)
{
    std::string error;
    auto installed = InstallText(TestInf(), &error);
    ASSERT_TRUE(installed) << error;
    EXPECT_EQ(installed->service, "PLATTEST");
    const std::string svc = ServiceKeyPath("PLATTEST");
    EXPECT_EQ(installed->serviceKey, svc);
    EXPECT_EQ(Registry::GetDword(svc, "Type"), 1u);
    EXPECT_EQ(Registry::GetDword(svc, "Start"), 3u);
    EXPECT_EQ(Registry::GetDword(svc, "ErrorControl"), 1u);
    auto image = Registry::GetValue(svc, "ImagePath");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->type, uint32_t(REG_EXPAND_SZ));
    EXPECT_EQ(Registry::GetDword(svc + "\\Parameters", "Logs"), 0x21u);
    EXPECT_TRUE(Registry::KeyExists(svc + "\\Cache"));
    EXPECT_TRUE(Registry::ValueNames(svc + "\\Cache").empty());
    EXPECT_FALSE(Pnp::DriverLoaded("PLATTEST"));  // nothing is loaded before a device matches
    EXPECT_FALSE(InstallText(TestInf(), &error));
    EXPECT_EQ(error, "t.inf(40): the service PLATTEST is already installed");

    // A value already in a device's driver key stays when its line says no-clobber.
    PDEVICE_OBJECT pdo = Plug();
    EXPECT_EQ(Pnp::State(pdo), DeviceState::Started);
    EXPECT_TRUE(Pnp::DriverLoaded("PLATTEST"));
    EXPECT_EQ(g_driverStats.entries, 1);
    EXPECT_EQ(g_driverStats.addDevices, 1);
    const std::string key = Io::DriverKeyPath(pdo);
    EXPECT_EQ(Registry::GetString(key, "FX3"), std::string(kStore) + "\\fw.bin");
    EXPECT_EQ(Registry::GetString(key, "ISP"), "kept if present");
}

TEST_F(InfInstall, DriverKeyIsWrittenBeforeAddDeviceAndOncePerDevice)
{
    // The post-install hook sees the INF's values and runs before DriverEntry
    // and AddDevice, once per device: what it writes is what the driver reads.
    InfOptions o = Options();
    struct Seen {
        int calls = 0;
        std::optional<std::string> fx3;
        int entriesBefore = -1, addsBefore = -1;
    };
    auto seen = std::make_shared<Seen>();
    o.deviceInstalled = [seen](PDEVICE_OBJECT pdo) {
        const std::string key = Io::DriverKeyPath(pdo);
        if (seen->calls++ == 0) {
            seen->fx3 = Registry::GetString(key, "FX3");
            seen->entriesBefore = g_driverStats.entries;
            seen->addsBefore = g_driverStats.addDevices;
        }
        Registry::SetString(key, "AUD", "C:\\override.bin");
    };
    std::string error;
    ASSERT_TRUE(InstallText(TestInf(), &error, o)) << error;
    PDEVICE_OBJECT a = Plug();
    EXPECT_EQ(seen->fx3, std::string(kStore) + "\\fw.bin");
    EXPECT_EQ(seen->entriesBefore, 0);
    EXPECT_EQ(seen->addsBefore, 0);
    EXPECT_EQ(Registry::GetString(Io::DriverKeyPath(a), "AUD"), "C:\\override.bin");
    PDEVICE_OBJECT b = Plug();
    EXPECT_NE(Io::DriverKeyPath(a), Io::DriverKeyPath(b));
    EXPECT_TRUE(Registry::GetString(Io::DriverKeyPath(b), "FX3"));

    // A user's change survives disable and enable: the device is not installed again.
    Registry::SetString(Io::DriverKeyPath(a), "FX3", "C:\\mine.img");
    ASSERT_EQ(Pnp::Disable(a), STATUS_SUCCESS);
    ASSERT_EQ(Pnp::Enable(a), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(Pnp::State(a), DeviceState::Started);
    EXPECT_EQ(Registry::GetString(Io::DriverKeyPath(a), "FX3"), "C:\\mine.img");
    EXPECT_EQ(seen->calls, 2);  // a and b, not a again
}

TEST_F(InfInstall, DeviceNotInTheModelsGetsNoDriver)
{
    std::string error;
    auto installed = InstallText(TestInf("USB\\VID_1209&PID_0CA3"), &error);
    ASSERT_TRUE(installed) << error;
    EXPECT_FALSE(installed->Matches({TestBus::kHardwareId, TestBus::kCompatibleId}));
    EXPECT_TRUE(installed->Matches({"usb\\vid_1209&pid_0ca3"}));
    PDEVICE_OBJECT pdo = Plug();
    EXPECT_EQ(Pnp::State(pdo), DeviceState::Enumerated);
    EXPECT_EQ(Pnp::Top(pdo), pdo);
    EXPECT_FALSE(Pnp::DriverLoaded("PLATTEST"));
    EXPECT_EQ(g_driverStats.entries, 0);
    EXPECT_FALSE(Registry::GetString(Io::DriverKeyPath(pdo), "FX3"));
}

// Each broken INF: the text replaced, the line the error must name.
TEST_F(InfInstall, RefusesBrokenInfsNamingTheLineAndWritesNothing)
{
    struct Case {
        const char* what;
        std::string from, to;
        const char* error;
    } cases[] = {
        {"missing models section", "[Models.NTamd64]", "[Other.NTamd64]", "t.inf(20): the models section [Models.NTamd64] is missing"},
        {"no x64 models", "Models, NTamd64", "Models, NTx86", "t.inf(20): no NTamd64 models section"},
        {"missing install section", "[Dev.NTamd64]", "[Dev2.NTamd64]", "t.inf(23): install section [Dev] is missing"},
        {"missing services section", "[Dev.NTamd64.Services]", "[Dev.Srv]", "t.inf(25): the section [Dev.NTamd64.Services] is missing"},
        {"missing AddReg section", "[Dev.AddReg]", "[Dev.AddRegs]", "t.inf(29): the AddReg section [Dev.AddReg] is missing"},
        {"unknown directive", "CopyFiles = Files", "CopyFile = Files", "t.inf(28): unknown directive 'CopyFile'"},
        {"value the driver does not read", "HKR,,FX3,,", "HKR,,FX4,,", "t.inf(36): the driver does not read the value \"FX4\""},
        {"parameter the driver does not read", "Parameters,Logs", "Parameters,Log", "t.inf(50): the driver does not read the value \"Log\""},
        {"value under a subkey", "HKR,,FX3,,", "HKR,Sub,FX3,,", "t.inf(36): the driver reads no values under the subkey Sub"},
        {"other registry root", "HKR,,FX3,,", "HKLM,,FX3,,", "t.inf(36): only HKR is written"},
        {"bad DWORD", ",0x21", ",0x1FFFFFFFF", "t.inf(50): a DWORD value must be one 32-bit number"},
        {"unknown value type", "0x00000002,\"kept", "0x00000100,\"kept", "t.inf(37): AddReg flags 0x00000100"},
        {"not a kernel driver", "ServiceType   = 1", "ServiceType   = 16", "t.inf(43): ServiceType must be 1"},
        {"unknown image", "%13%\\test.sys", "%13%\\other.sys", "t.inf(46): no driver image is known for other.sys"},
        {"no function driver", "PLATTEST, 0x00000002", "PLATTEST, 0x00000000", "t.inf(39): [Dev.NTamd64.Services] must name exactly one function driver"},
        {"file not on the disk", "fw.bin   = 1", "fx.bin   = 1", "t.inf(33): fw.bin is not in [SourceDisksFiles]"},
        {"unknown system INF", "Include   = ks.inf", "Include   = kz.inf", "t.inf(26): Include names an INF this system does not have: kz.inf"},
        {"unknown needed section", "Needs     = KS.Registration", "Needs     = KS.Other", "t.inf(27): Needs names a section"},
        {"missing Version entry", "CatalogFile = t.cat", "Catalog = t.cat", "t.inf(1): [Version] has no CatalogFile"},
        {"bad DriverVer", "12/01/2026,1.0.0.3", "2026-12-01,1.0.0.3", "t.inf(6): DriverVer must be"},
        {"unknown string", "%Desc% = Dev", "%Descr% = Dev", "t.inf(23): %Descr% is not in [Strings]"},
        {"no Version section", "[Version]", "[Versions]", "t.inf: no [Version] section"},
    };
    for (auto& c : cases) {
        std::string text = TestInf();
        size_t at = text.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.what;
        text.replace(at, c.from.size(), c.to);
        std::string error;
        EXPECT_FALSE(InstallText(text, &error)) << c.what;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.what << ": got " << error;
        EXPECT_FALSE(Registry::KeyExists(ServiceKeyPath("PLATTEST"))) << c.what;
    }
    // Nothing was registered: the device gets no driver.
    PDEVICE_OBJECT pdo = Plug();
    EXPECT_EQ(Pnp::State(pdo), DeviceState::Enumerated);
}

}  // namespace
