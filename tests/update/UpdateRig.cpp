#include "UpdateRig.h"

#include <fstream>
#include <unistd.h>

namespace orvex::test {

namespace {

constexpr uint16_t kVendorFunction = 0x0017;  // URB_FUNCTION_VENDOR_DEVICE

std::filesystem::path FreshDir() {
    static int counter = 0;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "rig";
    for (char& c : name)
        if (c == '/') c = '_';
    auto dir = std::filesystem::temp_directory_path() /
               ("orvex-update-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + name);
    std::filesystem::create_directories(dir / "fw");
    return dir;
}

}  // namespace

UpdateRig::UpdateRig(sim::CameraConfig config) : dir(FreshDir()) {
    hosted::Files::MapDrive('C', dir.string());
    Plug(orvex::sim::MakeCamera(std::move(config)));
    EXPECT_EQ(AddDevice(), STATUS_SUCCESS);
}

UpdateRig::~UpdateRig() {
    Unplug();
    hosted::Files::UnmapDrive('C');
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

std::u16string UpdateRig::WriteFile(const std::string& name, const Bytes& bytes) {
    std::ofstream out(dir / "fw" / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return PathOf(name);
}

void UpdateRig::Install(const FirmwareSet& f) {
    if (f.versionText) WriteFile("version.txt", Bytes(f.versionText->begin(), f.versionText->end()));
    if (f.isp) WriteFile("isp.bin", *f.isp);
    if (f.aud) WriteFile("aud.bin", *f.aud);
    if (f.fx3) WriteFile("fx3.img", *f.fx3);
    paths_ = {PathOf("fx3.img"), PathOf("isp.bin"), PathOf("aud.bin"), PathOf("version.txt")};
    SettingsBlock& s = device->m_Settings;
    s.FX3FilePath = paths_[0].data();
    s.ISPFilePath = paths_[1].data();
    s.AUDFilePath = paths_[2].data();
    s.VersionFilePath = paths_[3].data();
}

NTSTATUS UpdateRig::Start() {
    startTime = hosted::Clock::Now();
    return device->Start(&ks, nullptr, nullptr, nullptr, 0);
}

void UpdateRig::WaitForRun() {
    PVOID thread = device->ThreadObject();
    ASSERT_NE(thread, nullptr);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
}

std::vector<Wire> UpdateRig::Vendor() const {
    std::vector<Wire> out;
    for (const auto& t : bus->Log())
        if (t.function == kVendorFunction) out.push_back({t.setup, t.out, t.in, t.submitted});
    return out;
}

std::vector<uint8_t> UpdateRig::Requests() const {
    std::vector<uint8_t> out;
    for (const auto& w : Vendor()) out.push_back(w.setup[1]);
    return out;
}

std::vector<hosted::TraceRecord> UpdateRig::EngineRecords() const {
    std::vector<hosted::TraceRecord> out;
    for (auto& r : hosted::Trace::Records())
        if (r.text.rfind("ORVEX :", 0) != 0) out.push_back(r);
    return out;
}

std::vector<std::string> UpdateRig::EngineTrace() const {
    std::vector<std::string> out;
    for (auto& r : EngineRecords()) out.push_back(r.text);
    return out;
}

int64_t UpdateRig::TimeOf(const std::string& text) const {
    for (auto& r : EngineRecords())
        if (r.text == text) return r.time;
    return -1;
}

void UpdateRig::Load(const Bytes& bytes) {
    Unload();
    const size_t n = bytes.size() + 4096;
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, n, TagHarn));
    ASSERT_NE(buffer, nullptr);
    std::fill(buffer, buffer + n, 0xFF);
    std::copy(bytes.begin(), bytes.end(), buffer);
    device->m_pFileBuffer = buffer;
    device->m_ulFileSize = static_cast<ULONG>(bytes.size());
}

void UpdateRig::Unload() {
    if (device->m_pFileBuffer != nullptr) {
        ExFreePoolWithTag(device->m_pFileBuffer, TagHarn);
        device->m_pFileBuffer = nullptr;
    }
}

std::string TypicalVersionText() { return firmware::VersionFileText(10203, 0x0C2238, 5); }

sim::CameraConfig MatchingCamera(const Bytes& eeprom, uint32_t ispVersion) {
    sim::CameraConfig c;
    c.eepromContent = eeprom;
    c.fx3Version = {1, 2, 3};
    c.ispVersion = ispVersion;
    c.audioVersion = 5;
    return c;
}

const Bytes& TypicalFx3() {
    static const Bytes image = firmware::MakeFx3Image({.size = 4000, .version = {1, 2, 3}});
    return image;
}

FirmwareSet TypicalFiles(std::string versionText, size_t ispSize) {
    return {.versionText = std::move(versionText),
            .isp = firmware::MakeIspImage({.size = ispSize}),
            .aud = firmware::MakeAudImage({}),
            .fx3 = TypicalFx3()};
}

void RunTest::Make(sim::CameraConfig camera, const FirmwareSet& files) {
    rig.reset();
    rig = std::make_unique<UpdateRig>(std::move(camera));
    rig->Install(files);
    hosted::Trace::Clear();
}

void BranchTest::Camera(sim::CameraConfig config) {
    rig.reset();
    rig = std::make_unique<UpdateRig>(std::move(config));
    d = rig->device;
    UVCStart_UPDATE(d);
    rig->bus->ClearLog();
    hosted::Trace::Clear();
}

void BranchTest::Camera(const Bytes& eeprom) {
    sim::CameraConfig config;
    config.eepromContent = eeprom;
    Camera(std::move(config));
}

NTSTATUS BranchTest::Program(const Bytes& image, ULONG type) {
    rig->Load(image);
    const NTSTATUS status = DownloadFirmware(d, type);
    rig->Unload();
    return status;
}

std::vector<Packet> BranchTest::Setups() const {
    std::vector<Packet> s;
    for (auto& w : rig->Vendor()) s.push_back(w.setup);
    return s;
}

}  // namespace orvex::test
