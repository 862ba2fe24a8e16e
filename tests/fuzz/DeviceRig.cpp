#include "DeviceRig.h"

#include <algorithm>

#include "FuzzSupport.h"
#include "Log.h"

namespace orvex::fuzz {

DeviceRig::DeviceRig(orvex::sim::CameraConfig config)
{
    Plug(orvex::sim::MakeCamera(std::move(config)));
    FUZZ_CHECK(AddDevice() == STATUS_SUCCESS, "the device object could not be added");
}

DeviceRig::DeviceRig() : bare_(true)
{
    device = new (NonPagedPoolNx) CUsbDevice();
    FUZZ_CHECK(device != nullptr, "no pool for the device object");
}

DeviceRig::~DeviceRig()
{
    Unload();
    if (bare_) {
        // Created through CDevice's pool operator new; deleted through the base
        // as the removal callback does.
        delete static_cast<CDevice*>(device);
        device = nullptr;
    }
}

void DeviceRig::Load(const std::vector<uint8_t>& bytes)
{
    Unload();
    const size_t n = bytes.size() + 4096;
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, n, TagHarn));
    FUZZ_CHECK(buffer != nullptr, "no pool for the file buffer");
    std::fill(buffer, buffer + n, 0xFF);
    std::copy(bytes.begin(), bytes.end(), buffer);
    device->m_pFileBuffer = buffer;
    device->m_ulFileSize = static_cast<ULONG>(bytes.size());
}

void DeviceRig::Unload()
{
    if (device != nullptr && device->m_pFileBuffer != nullptr) {
        ExFreePoolWithTag(device->m_pFileBuffer, TagHarn);
        device->m_pFileBuffer = nullptr;
    }
}

}  // namespace orvex::fuzz
