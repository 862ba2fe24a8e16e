#include "DeviceStack.h"

#include <hosted/registry.h>

#include "Log.h"
#include "UsbDevice.h"

namespace orvex::cli {

DeviceStack::DeviceStack(PDEVICE_OBJECT pdo, std::string driverKey) : pdo_(pdo), driverKey_(std::move(driverKey)) {
    ks_.NextDeviceObject = pdo_;
    ks_.PhysicalDeviceObject = pdo_;
}

DeviceStack::~DeviceStack() { Remove(); }

NTSTATUS DeviceStack::Add() {
    device_ = new (NonPagedPoolNx) CUsbDevice;
    if (!device_) return STATUS_INSUFFICIENT_RESOURCES;
    device_->SetPhysicalDeviceObject(pdo_);
    device_->SetKsDevice(&ks_);
    ks_.Context = device_;
    return device_->Add(&ks_);
}

// The four values are read as the driver's registry reader reads them: the
// raw data of each value into a buffer of its own, NUL-terminated; an absent
// value gives a NULL path.
void DeviceStack::ReadSettings() {
    static const char* const names[4] = {"FX3", "ISP", "AUD", "VERSION"};
    FreeSettings();
    for (int i = 0; i < 4; ++i) {
        auto value = hosted::Registry::GetValue(driverKey_, names[i]);
        if (!value) continue;
        const size_t bytes = value->data.size() + sizeof(WCHAR);
        auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, TagVorp));
        if (!buffer) continue;
        RtlZeroMemory(buffer, bytes);
        if (!value->data.empty()) RtlCopyMemory(buffer, value->data.data(), value->data.size());
        paths_[i] = buffer;
    }
}

void DeviceStack::FreeSettings() {
    for (auto& p : paths_) {
        if (p) {
            ExFreePoolWithTag(p, TagVorp);
            p = nullptr;
        }
    }
}

NTSTATUS DeviceStack::Start() {
    if (!device_) return STATUS_NO_SUCH_DEVICE;
    ReadSettings();
    SettingsBlock block;
    block.FX3FilePath = paths_[0];
    block.ISPFilePath = paths_[1];
    block.AUDFilePath = paths_[2];
    block.VersionFilePath = paths_[3];
    device_->m_Settings = block;
    NTSTATUS status = device_->Start(&ks_, nullptr, nullptr, nullptr, 0);
    started_ = NT_SUCCESS(status);
    return status;
}

void* DeviceStack::ThreadObject() const { return device_ ? device_->ThreadObject() : nullptr; }

void DeviceStack::Stop() {
    if (device_ && started_) {
        device_->Stop(&ks_, nullptr);
        started_ = false;
    }
}

void DeviceStack::Abandon() {
    device_ = nullptr;
    started_ = false;
    for (auto& p : paths_) p = nullptr;
}

void DeviceStack::Remove() {
    if (device_) {
        device_->Remove(&ks_, nullptr);
        ks_.Context = nullptr;
        device_->SetPhysicalDeviceObject(nullptr);
        device_->SetKsDevice(nullptr);
        delete static_cast<CDevice*>(device_);
        device_ = nullptr;
    }
    // The path strings outlive the update thread: Remove has waited for it.
    FreeSettings();
}

}  // namespace orvex::cli
