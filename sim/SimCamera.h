// The simulated camera: an FX3 bridge with its boot EEPROM, an ISP and an
// audio processor with their SPI flashes, answering standard and vendor
// control requests on its default pipe.
//
// It is a device on the hosted USB bus (hosted::usb::BusDevice): the bus
// hands it every control transfer; driver code never sees this class. All
// time-based behaviour (flash erase, the reboot after a flash session) runs
// on the clock given at construction, which in hosted runs is the virtual
// clock (see SimOnBus.h). The camera is safe to use from
// several threads: every public member takes its lock.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BusDevice.h"

namespace orvex::sim {

using Nanos = std::chrono::nanoseconds;
using Clock = std::function<Nanos()>;

using hosted::usb::ControlResult;
using hosted::usb::SetupPacket;

// Vendor request codes of the camera's command set.
enum VendorRequest : uint8_t {
    kReqGetVersion = 0xB0,
    kReqStartUpdate = 0xB1,
    kReqWriteEeprom = 0xB2,
    kReqReadEeprom = 0xB3,
    kReqResetId = 0xB4,
    kReqSetFileSize = 0xB5,
    kReqWriteSpiPage = 0xB6,
    kReqGetFwStatus = 0xB7,
    kReqGetStatus = 0xB8,
    kReqExitUpdate = 0xB9,
    kReqGetAlive = 0xBA,
    kReqResetIsp = 0xBB,
};

inline constexpr uint16_t kVendorIndex = 0xAA55;
inline constexpr uint32_t kFlashPageSize = 4096;
inline constexpr uint32_t kEepromPageSize = 256;
inline constexpr uint32_t kAudioVersionOffset = 229920;

enum class Flash { Isp, Audio };

struct CameraConfig {
    // ---- identity and standard descriptors ----
    uint16_t vendorId = 0x1209;
    uint16_t productId = 0x0CA3;
    uint16_t bcdDevice = 0x0100;
    // Raw configuration descriptor: exactly the bytes the camera answers (at
    // most wLength of them), truncated or lying ones included; unset = the
    // built-in UVC+UAC one.
    std::optional<std::vector<uint8_t>> configDescriptor;
    // Raw device descriptor, likewise; unset = built from the IDs above.
    std::optional<std::vector<uint8_t>> deviceDescriptor;

    // ---- EEPROM (FX3 boot image) ----
    uint32_t eepromSize = 256 * 1024;
    // Initial EEPROM bytes from address 0; the rest is 0xFF.
    std::vector<uint8_t> eepromContent;
    // FX3 version reported when the EEPROM holds no "FX3VER:" marker, or a
    // boot image the bridge cannot boot (Camera::BootImageTorn).
    std::array<uint8_t, 3> fx3Version{1, 0, 0};

    // ---- versions before any flash download ----
    uint32_t ispVersion = 0x010000;              // 24-bit, record bytes 3..5
    uint8_t audioVersion = 0x01;                 // record byte 6
    std::array<uint8_t, 2> audioVersionHigh{0, 0};  // record bytes 7, 8
    uint8_t recordByte9 = 0;
    // The ISP reports FF FF FF until it receives UVCReset_ISP.
    bool ispNeedsReset = false;
    // Replaces the whole version record when set.
    std::optional<std::array<uint8_t, 12>> versionRecordOverride;

    // ---- flash sessions ----
    uint8_t readyStatus = 0xA1;        // UVCGet_STATUS once the erase is over
    uint8_t busyStatus = 0xA0;         // UVCGet_STATUS while the erase runs
    Nanos eraseTime{0};                // erase time after UVCSet_FILESIZE
    std::optional<uint8_t> statusOverride;  // UVCGet_STATUS always answers this
    uint32_t maxFlashPages = 1024;     // largest image one flash takes (4 MiB)
    // Flash and EEPROM writes are refused (STALL) outside update mode.
    bool requireUpdateMode = true;

    // ---- after the last page of a session ----
    Nanos aliveAfterFlash = std::chrono::seconds(5);   // still answers AA 55
    Nanos rebootTime = std::chrono::seconds(10);       // answers 00 00, status 0
    uint32_t zeroPollsAfterReboot = 0;                 // further UVCGet_FW_STATUS reads of 0
    uint8_t ispStatusValue = 1;                        // then: after an ISP image (1 or 3)
    uint8_t audioStatusValue = 1;                      // then: after an audio image
    uint8_t rejectStatusValue = 2;                     // at once after an unknown image

    // ---- where a downloaded image goes ----
    // Content: by what the image holds (see docs/camera-model.md). Order:
    // the k-th image since UVCStart_UPDATE goes to downloadOrder[k], images
    // past the list are rejected.
    enum class Routing { Content, Order };
    Routing routing = Routing::Content;
    std::vector<Flash> downloadOrder{Flash::Isp, Flash::Audio};

    // ---- after UVCReset_ID ----
    // The camera re-enumerates as a USB device does after a firmware reset:
    // it drops off the bus `disconnectAfterReset` after answering the reset
    // and connects again `reenumerateTime` later, running what its EEPROM
    // and flashes hold. Needs a timer (SetTimer; MakeCamera provides one).
    bool reenumerateAfterReset = false;
    Nanos disconnectAfterReset = std::chrono::milliseconds(10);
    Nanos reenumerateTime = std::chrono::milliseconds(3000);
};

struct CameraStats {
    uint32_t ispPagesWritten = 0;     // pages of accepted ISP images
    uint32_t audioPagesWritten = 0;   // pages of accepted audio images
    uint32_t spiPagesReceived = 0;    // every accepted UVCWrite_SPI_PAGE
    uint32_t eepromPagesWritten = 0;  // every accepted UVCWrite_EEPROM
    uint32_t ispImagesFlashed = 0;
    uint32_t audioImagesFlashed = 0;
    uint32_t imagesRejected = 0;
    uint32_t resets = 0;              // UVCReset_ID
    uint32_t disconnects = 0;         // times it dropped off the bus on its own
    uint32_t reconnects = 0;          // times it came back on its own
    uint32_t powerUps = 0;            // times it entered a port (power came on)
    uint32_t ispResets = 0;           // UVCReset_ISP
    uint32_t updateModeEntries = 0;   // UVCStart_UPDATE
    uint32_t updateModeExits = 0;     // UVCExit_UPDATE
    uint32_t stalls = 0;              // requests answered with STALL
    std::string eepromSha256;
    std::string ispSha256;            // of the ISP flash's stored bytes
    std::string audioSha256;
};

// Phase of the processors after a flash session, for tests and reports.
enum class FirmwarePhase { Idle, Erasing, Receiving, Alive, Rebooting, Settling, Done, Rejected };

// Asks for Camera::Tick to be called once `delay` from now on the camera's clock.
using Timer = std::function<void(Nanos delay)>;

class Camera final : public hosted::usb::BusDevice {
public:
    Camera(CameraConfig config, Clock clock);

    // The timer behind the camera's own actions (dropping off the bus after a
    // reset and coming back). Without one the camera never re-enumerates.
    void SetTimer(Timer timer);
    // Carries out whatever is due now; called by the timer. Takes the
    // camera's lock only around its own state, never while it changes port.
    void Tick();
    // Whether the camera is off the bus re-enumerating, or about to drop off.
    bool Reenumerating() const;

    ControlResult Control(const SetupPacket& setup, uint8_t* data) override;
    std::vector<uint8_t> ConfigurationDescriptor() const override;
    std::vector<uint8_t> DeviceDescriptor() const override;

    // ---- inspection ----
    CameraStats Stats() const;
    std::vector<uint8_t> Eeprom() const;
    std::vector<uint8_t> FlashContent(Flash flash) const;  // empty until flashed
    std::array<uint8_t, 12> VersionRecord();
    bool InUpdateMode() const;
    uint8_t Configuration() const;  // bConfigurationValue set, 0 = unconfigured
    FirmwarePhase Phase();
    // Why the last request was stalled ("" if it was not).
    std::string LastStallReason() const;

    // ---- decoders (the same rules the driver uses) ----
    // Version text "DD.DD.DD" in the 256-byte window at W + 832, W the LE word
    // at offset 28; nullopt when there is none.
    static std::optional<uint32_t> DecodeIspVersion(const std::vector<uint8_t>& image);
    // FX3 version bytes after the first "FX3VER:" marker.
    static std::optional<std::array<uint8_t, 3>> FindFx3Version(const std::vector<uint8_t>& eeprom);
    // Whether the EEPROM holds an FX3 boot image (its header) that the
    // bridge cannot boot: a section running past the end or a checksum that
    // does not match, as a write cut short leaves it.
    static bool BootImageTorn(const std::vector<uint8_t>& eeprom);

protected:
    void PortChanged(bool plugged) override;

private:
    enum class Reenum { None, Leaving, Away };

    ControlResult Standard(const SetupPacket& s, uint8_t* data);
    ControlResult Vendor(const SetupPacket& s, uint8_t* data);
    ControlResult Stall(std::string why);
    ControlResult Reply(uint8_t* data, const SetupPacket& s, std::initializer_list<uint8_t> bytes);
    void Advance(Nanos now);       // moves the post-flash timeline on
    void FinishSession(Nanos now);
    std::optional<Flash> Route(const std::vector<uint8_t>& image) const;
    void PowerUp(Nanos now);
    std::array<uint8_t, 12> RecordLocked() const;
    // The FX3 version the bridge runs after booting from its EEPROM: a torn
    // boot image is not run and the bridge reports `fx3Version`.
    std::array<uint8_t, 3> BootedFx3Version() const;

    const CameraConfig cfg_;
    const Clock clock_;
    mutable std::mutex mu_;
    std::vector<uint8_t> configDesc_, deviceDesc_;
    uint8_t configuration_ = 0;
    std::vector<uint8_t> eeprom_;
    std::array<uint8_t, 3> fx3Version_{};
    uint32_t ispVersion_;
    uint8_t audioVersion_;
    bool ispNeedsReset_;
    bool updateMode_ = false;

    // flash session
    bool sessionOpen_ = false;
    uint32_t sessionPages_ = 0;
    Nanos sessionEraseEnd_{0};
    std::vector<uint8_t> sessionBuffer_;

    // post-flash timeline
    FirmwarePhase phase_ = FirmwarePhase::Idle;
    Flash lastFlash_ = Flash::Isp;
    Nanos lastPageAt_{0};
    uint32_t zeroPollsLeft_ = 0;
    std::optional<uint32_t> pendingIspVersion_;
    std::optional<uint8_t> pendingAudioVersion_;
    uint8_t fwStatus_ = 0;

    uint32_t imagesThisUpdate_ = 0;  // flash images received since UVCStart_UPDATE

    // re-enumeration after UVCReset_ID
    Timer timer_;
    Reenum reenum_ = Reenum::None;
    Nanos leaveAt_{0}, returnAt_{0};

    std::vector<uint8_t> ispFlash_, audioFlash_;
    CameraStats stats_;
    std::string lastStall_;
};

}  // namespace orvex::sim
