// A camera on the hosted USB bus with one CUsbDevice above it, firmware files
// on a mapped drive, and views of the wire and the trace. One rig per test,
// created after the test's hosted platform.
#pragma once

#include <hosted/gtest.h>

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Firmware.h"
#include "HandBuiltDevice.h"
#include "Log.h"
#include "SimOnBus.h"
#include "UsbBus.h"
#include "update/UpdateEngine.h"
#include "usbdevice/VendorChannel.h"

namespace orvex::test {

using firmware::Bytes;

// The firmware files a run finds. A file left unset has its path set but is
// not on disk (the open fails).
struct FirmwareSet {
    std::optional<std::string> versionText;
    std::optional<Bytes> isp, aud, fx3;
};

// A vendor request as seen on the wire.
struct Wire {
    std::array<uint8_t, 8> setup;
    std::vector<uint8_t> out, in;
    int64_t time;
};

class UpdateRig : public HandBuiltDevice {
public:
    explicit UpdateRig(sim::CameraConfig config = {});
    ~UpdateRig();

    // Writes the files and points the device's settings at them.
    void Install(const FirmwareSet& files);
    // Writes one file under C:\fw and returns its registry form (C:\fw\name).
    std::u16string WriteFile(const std::string& name, const Bytes& bytes);
    std::u16string PathOf(const std::string& name) const { return u"C:\\fw\\" + Wide(name); }
    static std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

    // CUsbDevice::Start with the rig's KSDEVICE; returns its status. The
    // virtual time of the call is kept in startTime.
    NTSTATUS Start();
    void Stop() { device->Stop(&ks, nullptr); }
    // Waits until the update thread has ended by itself (a Stop right after
    // Start would end it at its first loop test, before it reads anything).
    void WaitForRun();
    // Remove and delete the device object (as the removal callback does).
    void Remove() { RemoveDevice(); }

    // The vendor requests on the wire (URB function 0x17), in order.
    std::vector<Wire> Vendor() const;
    // Their bRequest codes only.
    std::vector<uint8_t> Requests() const;
    // DbgPrint records that are not "ORVEX : " lines of the layers below.
    std::vector<std::string> EngineTrace() const;
    std::vector<hosted::TraceRecord> EngineRecords() const;
    // Time of the first engine record equal to `text` (-1 if none).
    int64_t TimeOf(const std::string& text) const;

    // Loads `bytes` as the device's file buffer (with the 4096-byte 0xFF pad),
    // as GetDownloadFile holds it while a branch runs; Unload releases it.
    void Load(const Bytes& bytes);
    void Unload();

    int64_t startTime = 0;
    std::filesystem::path dir;

private:
    std::vector<std::u16string> paths_;  // storage behind m_Settings
};

// A camera whose versions equal the typical version file (FX3 10203, ISP
// 0x0C2238, audio 5) with an EEPROM holding `eeprom`; `ispVersion` makes its
// ISP firmware older.
sim::CameraConfig MatchingCamera(const Bytes& eeprom, uint32_t ispVersion = 0x0C2238);
// The typical files: version file naming FX3 10203, ISP 0x0C2238, audio 5.
std::string TypicalVersionText();

// The FX3 image (4000 bytes, version 1.2.3) of the typical files.
const Bytes& TypicalFx3();
// The typical files with `versionText`: an ISP image of `ispSize` bytes
// (version 0x0C2238), the audio image (version 5) and TypicalFx3().
FirmwareSet TypicalFiles(std::string versionText = TypicalVersionText(), size_t ispSize = 10000);

// Tests of whole runs: one rig per run, over the test's platform.
class RunTest : public hosted::PlatformTest {
protected:
    // A fresh rig on `camera` with `files` installed and the trace cleared.
    void Make(sim::CameraConfig camera, const FirmwareSet& files);

    std::unique_ptr<UpdateRig> rig;
};

// Calls GetDownloadFile with a 16-bit path (the driver's PWSTR).
NTSTATUS LoadFile(CUsbDevice* device, const char16_t* path, ULONG type);

using Packet = std::array<uint8_t, 8>;

// Tests of one download branch: each Camera() call makes a fresh rig whose
// camera is already in update mode, with the wire log and the trace cleared.
class BranchTest : public hosted::PlatformTest {
protected:
    void Camera(sim::CameraConfig config = {});
    void Camera(const Bytes& eeprom);
    // DownloadFirmware(type) with `image` as the loaded file.
    NTSTATUS Program(const Bytes& image, ULONG type);
    // The setup packets of the vendor requests on the wire.
    std::vector<Packet> Setups() const;

    std::unique_ptr<UpdateRig> rig;
    CUsbDevice* d = nullptr;
};

}  // namespace orvex::test
