// The USB device behind one port of the hosted bus, as the bus sees it: its
// descriptors, control transfers on the default pipe, the time a transfer
// takes on the wire, whether it is plugged in, its remote-wakeup signal, and
// its own disconnect and reconnect (a device that re-enumerates).
//
// The bus knows devices only through this interface; device models (the
// simulated camera, a test's own device) implement it. Plain C++: nothing
// here needs the hosted kernel, so a model can also run on its own.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace hosted::usb {

// The 8-byte setup packet of a control transfer.
struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool IsIn() const { return (bmRequestType & 0x80) != 0; }
    std::array<uint8_t, 8> Bytes() const {
        return {bmRequestType,
                bRequest,
                static_cast<uint8_t>(wValue),
                static_cast<uint8_t>(wValue >> 8),
                static_cast<uint8_t>(wIndex),
                static_cast<uint8_t>(wIndex >> 8),
                static_cast<uint8_t>(wLength),
                static_cast<uint8_t>(wLength >> 8)};
    }
    static SetupPacket FromBytes(const uint8_t* b) {
        return {b[0], b[1], static_cast<uint16_t>(b[2] | b[3] << 8), static_cast<uint16_t>(b[4] | b[5] << 8),
                static_cast<uint16_t>(b[6] | b[7] << 8)};
    }
    bool operator==(const SetupPacket&) const = default;
};

// Outcome of one control transfer as the device answers it.
struct ControlResult {
    bool stalled = false;  // the device answered with a STALL handshake
    uint32_t length = 0;   // data-stage bytes moved: IN bytes returned, OUT bytes taken
};

// Bus time of one transfer: a fixed per-transfer overhead plus every byte on
// the wire (setup packet and data stage) at the signalling rate.
struct BusTiming {
    int64_t perTransfer = 1250;            // 100-ns units: 125 us, one high-speed microframe
    uint64_t bitsPerSecond = 480'000'000;  // USB 2.0 high speed
    // 100-ns units for a transfer that moves `bytes` bytes.
    int64_t Cost(uint64_t bytes) const {
        if (bitsPerSecond == 0) return perTransfer;
        // ceil(bytes * 8 bits / rate) in 100-ns units
        const unsigned __int128 num = static_cast<unsigned __int128>(bytes) * 8u * 10'000'000u;
        return perTransfer + static_cast<int64_t>((num + bitsPerSecond - 1) / bitsPerSecond);
    }
};

class BusDevice {
public:
    virtual ~BusDevice() = default;

    // Carries out a control transfer on the default pipe. For OUT, `data`
    // holds wLength bytes, the caller's own buffer, which the device only
    // reads; for IN, the device writes at most wLength bytes there.
    virtual ControlResult Control(const SetupPacket& setup, uint8_t* data) = 0;
    // The device's own configuration descriptor (the bus checks interface
    // selections against it and derives the wake capability from it).
    virtual std::vector<uint8_t> ConfigurationDescriptor() const = 0;
    // The device descriptor; by default read with GET_DESCRIPTOR, as a hub
    // reads it during enumeration.
    virtual std::vector<uint8_t> DeviceDescriptor() const {
        std::vector<uint8_t> d(18);
        const auto r = const_cast<BusDevice*>(this)->Control({0x80, 0x06, 0x0100, 0, 18}, d.data());
        d.resize(r.stalled ? 0 : r.length);
        return d;
    }
    // The device's own wire timing (e.g. a full-speed device); nullopt: the
    // bus's timing applies.
    virtual std::optional<BusTiming> Timing() const { return std::nullopt; }

    // Plug state, kept by the bus: true while the device sits in a port.
    bool Plugged() const {
        std::lock_guard lock(portMu_);
        return plugged_;
    }

    // The device signals remote wakeup on its port. True when the port had a
    // wait-wake request pending that the signal completes; false when the
    // device is not plugged in or nobody waits for a wake.
    bool SignalWake() {
        std::function<bool()> sink;
        {
            std::lock_guard lock(portMu_);
            if (!plugged_) return false;
            sink = wakeSink_;
        }
        return sink ? sink() : false;
    }

    // The device drops off the bus on its own (as a USB device does when it
    // resets into new firmware: it releases its pull-up and the hub sees the
    // port disconnect), or connects again. The bus treats these exactly as
    // an unplug and a replug of the device's port. False when nothing
    // changed: the device is not in (Disconnect) or already in (Reconnect)
    // its port, or no bus holds it any more. Never call them from inside
    // Control: the bus is in the middle of that transfer.
    bool Disconnect() { return ChangePort(false); }
    bool Reconnect() { return ChangePort(true); }

    // Called by the bus when the device enters or leaves a port; `wake`
    // receives the device's wake signal while it is plugged in.
    void AttachToPort(std::function<bool()> wake) {
        {
            std::lock_guard lock(portMu_);
            plugged_ = true;
            wakeSink_ = std::move(wake);
        }
        PortChanged(true);
    }
    void DetachFromPort() {
        bool was;
        {
            std::lock_guard lock(portMu_);
            was = plugged_;
            plugged_ = false;
            wakeSink_ = nullptr;
        }
        if (was) PortChanged(false);
    }
    // Called by the bus while it keeps the device in one of its ports
    // (plugged in or not): `link(true)` replugs that port, `link(false)`
    // unplugs it. Cleared (nullptr) when the bus lets the device go.
    void LinkToBus(std::function<void(bool connect)> link) {
        std::lock_guard lock(portMu_);
        linkSink_ = std::move(link);
    }

protected:
    // The device has just entered (power comes on) or left (power goes) a
    // port. Called without the port lock held, from the thread that plugged
    // or unplugged it.
    virtual void PortChanged(bool /*plugged*/) {}

private:
    bool ChangePort(bool connect) {
        std::function<void(bool)> link;
        {
            std::lock_guard lock(portMu_);
            if (!linkSink_ || plugged_ == connect) return false;
            link = linkSink_;
        }
        link(connect);
        return Plugged() == connect;
    }

    mutable std::mutex portMu_;
    bool plugged_ = false;
    std::function<bool()> wakeSink_;
    std::function<void(bool)> linkSink_;
};

}  // namespace hosted::usb
