// The WMI provider of a started device: queries and sets of its blocks (and
// of one it does not have) with any buffer size, instance and data, sent as
// WMI sends them. Each input is a sequence of requests:
//   op (0 query one, 1 query all, 2 set block, 3 set item, 4 control),
//   block (0 wake, 1 power management, 2 a block the device lacks),
//   instance index, buffer size (16 bits), data length, data.
// The camera is plugged and the driver loaded and started by the
// plug-and-play manager once per process (a whole life per input would cost
// a hundred times the requests themselves); the requests of every input go
// to that device, so an input starts where the previous one left the
// switches, as a WMI consumer would find them. At exit the device is removed
// and the driver unloaded, with the platform's leak and verifier checks; a
// verifier finding aborts at once, with the input that caused it.
#include <hosted/pnp.h>
#include <hosted/trace.h>
#include <hosted/wmi.h>

#include <cstdlib>
#include <memory>

#include "FuzzSupport.h"
#include "SimOnBus.h"
#include "UsbBus.h"
#include "driver/Driver.h"

using namespace orvex::fuzz;

namespace {

constexpr GUID kWake = {0xa9546a82, 0xfeb0, 0x11d0, {0xbd, 0x26, 0x00, 0xaa, 0x00, 0xb7, 0xb3, 0x2a}};
constexpr GUID kPower = {0x827c0a6f, 0xfeb0, 0x11d0, {0xbd, 0x26, 0x00, 0xaa, 0x00, 0xb7, 0xb3, 0x2a}};
constexpr GUID kTimeouts = {0xa45da735, 0xfeb0, 0x11d0, {0xbd, 0x26, 0x00, 0xaa, 0x00, 0xb7, 0xb3, 0x2a}};
constexpr GUID kBlocks[] = {kWake, kPower, kTimeouts};
constexpr UCHAR kControls[] = {IRP_MN_ENABLE_EVENTS, IRP_MN_DISABLE_EVENTS, IRP_MN_ENABLE_COLLECTION,
                               IRP_MN_DISABLE_COLLECTION};
constexpr size_t kMaxRequests = 16;

// The platform and the started camera, for the whole process.
class World {
public:
    World()
    {
        orvex::sim::CameraConfig config;
        config.eepromSize = 8 * 1024;  // the model scans its EEPROM at power-up
        camera_ = orvex::sim::MakeCamera(config);
        hosted::Pnp::RegisterDriver("ORVEX", &DriverEntry, {"USB\\VID_1209&PID_0CA3"});
        hosted::Pnp::AddRootBus(bus_.Hub(), "ROOT\\USB\\0000");
        pdo_ = bus_.Pdo(bus_.Plug(camera_));
        hosted::Pnp::WaitIdle();
        FUZZ_CHECK(hosted::Pnp::State(pdo_) == hosted::DeviceState::Started, "the camera did not start");
    }
    ~World()
    {
        if (hosted::Pnp::State(pdo_) == hosted::DeviceState::Started) hosted::Pnp::Disable(pdo_);
        hosted::Pnp::RemoveRootBus(bus_.Hub());
        hosted::Pnp::WaitIdle();
    }
    PDEVICE_OBJECT Fdo() const { return hosted::Pnp::Top(pdo_); }

private:
    Session session_;  // first in, last out
    hosted::usb::Bus bus_;
    std::shared_ptr<orvex::sim::Camera> camera_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

World& TheWorld()
{
    static World* world = [] {
        auto* w = new World;
        // Torn down before the platform's own statics go.
        std::atexit([] { delete &TheWorld(); });
        return w;
    }();
    return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    PDEVICE_OBJECT fdo = TheWorld().Fdo();
    // One platform serves every input: its trace would otherwise keep every
    // line of every request until the fuzzer runs out of memory. Findings
    // reach the failure handler, not the trace.
    hosted::Trace::Clear();
    for (size_t n = 0; n < kMaxRequests && in.Left() > 0; ++n) {
        const uint8_t op = in.U8() % 5;
        const GUID& guid = kBlocks[in.U8() % 3];
        const ULONG instance = in.U8() % 3;
        const ULONG bufferSize = in.U16();
        const std::vector<uint8_t> bytes = in.Bytes(in.U8());
        hosted::WmiReply reply;
        switch (op) {
        case 0: reply = hosted::Wmi::QuerySingleInstance(fdo, guid, instance, bufferSize); break;
        case 1: reply = hosted::Wmi::QueryAllData(fdo, guid, bufferSize); break;
        case 2: reply = hosted::Wmi::SetSingleInstance(fdo, guid, bytes, instance); break;
        case 3: reply = hosted::Wmi::SetSingleItem(fdo, guid, bufferSize & 0xFF, bytes, instance); break;
        default: reply = hosted::Wmi::Control(fdo, guid, kControls[bufferSize % 4]); break;
        }
        // A block's value is one byte: a successful query returns exactly it.
        if (NT_SUCCESS(reply.status) && (op == 0 || op == 1) && !reply.tooSmall)
            FUZZ_CHECK(reply.data.size() == 1, "a query returned " + std::to_string(reply.data.size()) + " bytes");
        if (NT_SUCCESS(reply.status) && (op == 2 || op == 3))
            FUZZ_CHECK(!bytes.empty(), "a set without data succeeded");
    }
    return 0;
}
