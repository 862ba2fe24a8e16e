// Whole update runs: Start on a simulated camera, the thread's decisions on
// the wire and in the trace, virtual times, and the camera afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "UpdateRig.h"

using namespace orvex::test;
using namespace orvex::firmware;
using hosted::Seconds;
using hosted::usb::FaultKind;
using hosted::usb::FaultSpec;

namespace {

const Bytes& kFx3 = TypicalFx3();

FirmwareSet Files(std::string versionText = TypicalVersionText()) { return TypicalFiles(std::move(versionText)); }

size_t Count(const std::vector<uint8_t>& r, uint8_t code) { return static_cast<size_t>(std::count(r.begin(), r.end(), code)); }

// Requests after the last occurrence of `code`.
std::vector<uint8_t> After(const std::vector<uint8_t>& r, uint8_t code) {
    auto it = std::find(r.rbegin(), r.rend(), code);
    return std::vector<uint8_t>(it.base(), r.end());
}

// The engine's lines are printed whatever the log mask holds: every run here
// has the mask cleared.
class Run : public RunTest {
protected:
    Run() { LogMask = 0; }
    ~Run() override { LogMask = 0xFFFFFFFF; }

    // Starts the device on `camera` with `files` and waits for the run to end.
    // `before` may add bus faults or set state left by an earlier run.
    void Go(orvex::sim::CameraConfig camera, const FirmwareSet& files,
            const std::function<void(UpdateRig&)>& before = {}) {
        Make(std::move(camera), files);
        if (before) before(*rig);
        hosted::Trace::Clear();
        ASSERT_EQ(rig->Start(), STATUS_SUCCESS);
        rig->WaitForRun();
        rig->Stop();
        requests = rig->Requests();
    }
    std::array<uint8_t, 12> Record() { return rig->camera->VersionRecord(); }

    std::vector<uint8_t> requests;
};

}  // namespace

TEST_F(Run, EverythingEqualReadsOnce) {
    Go(MatchingCamera(kFx3), Files());
    EXPECT_EQ(requests, (std::vector<uint8_t>{0xB0}));
    const int64_t firstRead = rig->Vendor().front().time - rig->startTime;
    EXPECT_GE(firstRead, Seconds(2));
    EXPECT_LT(firstRead, Seconds(2) + hosted::Milliseconds(10));
    EXPECT_EQ(rig->EngineTrace(),
              (std::vector<std::string>{
                  "DEVICE(0xca3), PRODUCT(0x1209)\n", "GetDownloadFile( \"\\??\\C:\\fw\\version.txt\" )\n",
                  "Create file success, size = 48\n", "Read file done \n",
                  "file 0x55, 0x56, 0x43, 0x5f, end 0x30, 0x35, 0xd, 0xa \n",
                  "Filer version : " + TypicalVersionText() + " ", "StartControlPanelAnalysisThread()\n",
                  "Current Version 0x1, 0x2, 0x3, 0x38, 0x22, 0xc 0x5, 0x0, 0x0, 0x0 0xaa, 0x55\n",
                  "ISP File 0xc2238, Current ISP 0xc2238 \n", "AUD File 0x5, Current AUD 0x5 \n",
                  "FX3 File 10203, Current FX3 10203 \n", "StopControlPanelAnalysisThread()\n"}));
    EXPECT_FALSE(rig->camera->InUpdateMode());
    EXPECT_EQ(rig->device->m_bUpdated, 0u);
}

TEST_F(Run, IspResetOnceThenNormal) {
    auto camera = MatchingCamera(kFx3);
    camera.ispNeedsReset = true;
    Go(camera, Files());
    EXPECT_EQ(requests, (std::vector<uint8_t>{0xB0, 0xBB, 0xB0}));
    EXPECT_TRUE(hosted::Trace::Contains("Reset ISP rxbuf[0] = 0xaa, rxbuf[1] = 0x55\n"));
    const auto wire = rig->Vendor();
    EXPECT_GE(wire[2].time - wire[1].time, Seconds(2));
    EXPECT_EQ(rig->camera->Stats().ispResets, 1u);
}

TEST_F(Run, IspUpdateCompletes) {
    auto camera = MatchingCamera(kFx3, 0x010000);
    // Status 3 of an earlier run is cleared by this run's status 1.
    Go(camera, Files(), [](UpdateRig& r) { r.device->m_bIspStatus3 = 1; });
    // B1, the announcement, status, three pages, alive polls, status polls, reset.
    ASSERT_GE(requests.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(requests.begin(), requests.begin() + 7),
              (std::vector<uint8_t>{0xB0, 0xB1, 0xB5, 0xB8, 0xB6, 0xB6, 0xB6}));
    EXPECT_EQ(requests.back(), 0xB4);
    EXPECT_EQ(Count(requests, 0xB1), 1u);
    EXPECT_TRUE(hosted::Trace::Contains("UVCISP_FW_STATUS 0x1 \n"));
    EXPECT_TRUE(hosted::Trace::Contains("UVCReset_ID 1 \n"));
    EXPECT_EQ(rig->device->m_bIspStatus3, 0u);
    const auto r = Record();
    EXPECT_EQ(r[3] | r[4] << 8 | r[5] << 16, 0x0C2238);
    EXPECT_EQ(rig->camera->FlashContent(orvex::sim::Flash::Isp).size(), 12288u);
    EXPECT_FALSE(rig->camera->InUpdateMode());
}

TEST_F(Run, CameraAudioByteZero) {
    auto camera = MatchingCamera(kFx3);
    camera.audioVersion = 0;
    Go(camera, Files());
    // The ISP step runs although the ISP versions agree; the audio download is
    // refused but the audio step still waits 70 s without a poll.
    EXPECT_EQ(Count(requests, 0xB6), 3u);
    EXPECT_EQ(Count(requests, 0xB1), 1u);
    EXPECT_TRUE(hosted::Trace::Contains("AUD file version = 0 \n"));
    EXPECT_EQ(hosted::Trace::CountLine("Wait Total 70 seconds...."), 1u);
    const auto tail = After(requests, 0xB7);
    EXPECT_EQ(Count(tail, 0xBA), 70u);
    EXPECT_EQ(tail.back(), 0xB4);
    EXPECT_EQ(tail.size(), 71u);
    EXPECT_GE(rig->TimeOf("UVCReset_ID 1 \n") - rig->TimeOf("Wait Total 70 seconds....\n"), Seconds(70));

    // With the file's audio byte 0 as well, the ISP step still runs and the
    // audio step does not.
    Go(camera, Files(VersionFileText(10203, 0x0C2238, 0)));
    EXPECT_EQ(Count(requests, 0xB6), 3u);
    EXPECT_FALSE(hosted::Trace::Contains("AUD File Version"));
    EXPECT_EQ(requests.back(), 0xB4);
}

TEST_F(Run, IspStatusThreeShortensTheAudioWait) {
    auto camera = MatchingCamera(kFx3, 0x010000);
    camera.ispStatusValue = 3;
    FirmwareSet files = Files(VersionFileText(10203, 0x0C2238, 6));
    files.aud = MakeAudImage({.size = 229921, .version = 6});
    Go(camera, files);
    EXPECT_EQ(rig->device->m_bIspStatus3, 1u);
    EXPECT_EQ(Count(requests, 0xB1), 1u);
    EXPECT_EQ(Count(requests, 0xB6), 3u + 57u);
    const auto tail = After(requests, 0xB6);
    EXPECT_EQ(Count(tail, 0xB7), 0u);  // no audio status poll
    EXPECT_EQ(hosted::Trace::CountLine("Wait Total 30 seconds...."), 2u);
    EXPECT_FALSE(hosted::Trace::Contains("UVCAUD_FW_STATUS"));
    EXPECT_EQ(requests.back(), 0xB4);
    hosted::Sleep(Seconds(20));  // the audio processor finishes its restart
    EXPECT_EQ(Record()[6], 6);
}

TEST_F(Run, StatusPollsThatStayZero) {
    // Only the audio version differs: the ISP step runs for it, then the audio
    // step waits 70 s and polls. A status that stays 0 is read 11 times after
    // the ISP download and 21 times after the audio download.
    auto camera = MatchingCamera(kFx3);
    camera.zeroPollsAfterReboot = 1000;
    FirmwareSet files = Files(VersionFileText(10203, 0x0C2238, 6));
    files.aud = MakeAudImage({.size = 229921, .version = 6});
    Go(camera, files);
    EXPECT_EQ(Count(requests, 0xB1), 1u);
    EXPECT_EQ(Count(requests, 0xB6), 3u + 57u);
    EXPECT_EQ(hosted::Trace::CountLine("UVCISP_FW_STATUS 0x0 "), 11u);
    EXPECT_EQ(hosted::Trace::CountLine("UVCAUD_FW_STATUS 0x0 "), 21u);
    EXPECT_EQ(Count(requests, 0xB7), 32u);
    EXPECT_EQ(hosted::Trace::CountLine("Delay 2 second more "), 30u);
    EXPECT_EQ(hosted::Trace::CountLine("Wait Total 70 seconds...."), 1u);
    EXPECT_GE(rig->TimeOf("UVCAUD_FW_STATUS 0x0 \n") - rig->TimeOf("Wait Total 70 seconds....\n"), Seconds(1));
    EXPECT_EQ(rig->device->m_bUpdated, 1u);
    EXPECT_EQ(requests.back(), 0xB4);
}

TEST_F(Run, OnlyFx3DiffersAndEepromAlreadyHoldsIt) {
    Go(MatchingCamera(kFx3), Files(VersionFileText(10204, 0x0C2238, 5)));
    EXPECT_EQ(requests, (std::vector<uint8_t>{0xB0, 0xB1, 0xB3, 0xB3, 0xB3, 0xB3, 0xB9}));
    EXPECT_TRUE(hosted::Trace::Contains("DownLoad nothing, exit update 0xaa, 0x55 \n"));
    EXPECT_FALSE(hosted::Trace::Contains("Change the checksum"));  // same serial on both sides
    EXPECT_FALSE(rig->camera->InUpdateMode());
    EXPECT_EQ(rig->camera->Stats().resets, 0u);
}

TEST_F(Run, Fx3AfterIspKeepsSerialAndResets) {
    const Bytes old = MakeFx3Image({.size = 6000, .version = {1, 2, 3}, .serial = "CAMERA0042", .seed = 11});
    const Bytes fresh = MakeFx3Image({.size = 5000, .version = {1, 2, 4}, .seed = 12});
    auto camera = MatchingCamera(old, 0x010000);
    FirmwareSet files = Files(VersionFileText(10204, 0x0C2238, 5));
    files.fx3 = fresh;
    Go(camera, files);
    EXPECT_EQ(Count(requests, 0xB1), 1u);
    EXPECT_EQ(Count(requests, 0xB9), 0u);
    EXPECT_EQ(Count(requests, 0xB3), 5u);
    EXPECT_EQ(requests.back(), 0xB4);
    const Bytes expected = WithSerial(fresh, "CAMERA0042");
    const Bytes eeprom = rig->camera->Eeprom();
    EXPECT_EQ(Bytes(eeprom.begin(), eeprom.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
    const auto r = Record();
    EXPECT_EQ((std::array<uint8_t, 3>{r[0], r[1], r[2]}), (std::array<uint8_t, 3>{1, 2, 4}));
    EXPECT_EQ(r[3] | r[4] << 8 | r[5] << 16, 0x0C2238);
}

TEST_F(Run, MissingFileAndRefusedStatus) {
    auto camera = MatchingCamera(kFx3, 0x010000);
    FirmwareSet files = Files();
    files.isp.reset();
    Go(camera, files);
    EXPECT_EQ(requests, (std::vector<uint8_t>{0xB0, 0xB1}));
    EXPECT_TRUE(hosted::Trace::Contains("GetDownloadFile( \"\\??\\C:\\fw\\isp.bin\" )\n"
                                        "Create file fail, status = 0xc0000034\n"));
    EXPECT_TRUE(rig->camera->InUpdateMode());  // no exit, no reset

    // With the audio version differing too, the audio step puts the camera
    // into update mode again, since nothing was written yet.
    files.versionText = VersionFileText(10203, 0x0C2238, 6);
    files.aud = MakeAudImage({.size = 229921, .version = 6});
    Go(camera, files);
    EXPECT_EQ(std::vector<uint8_t>(requests.begin(), requests.begin() + 5),
              (std::vector<uint8_t>{0xB0, 0xB1, 0xB1, 0xB5, 0xB8}));
    EXPECT_EQ(requests.back(), 0xB4);

    camera.statusOverride = 0xA0;
    Go(camera, Files());
    EXPECT_EQ(requests, (std::vector<uint8_t>{0xB0, 0xB1, 0xB5, 0xB8}));
    EXPECT_TRUE(hosted::Trace::Contains("Wrong status, can not download firmware.\n"));
    EXPECT_EQ(rig->device->m_bDownloadDone, 0u);
    EXPECT_TRUE(rig->camera->InUpdateMode());
}

TEST_F(Run, BadVersionRecords) {
    auto camera = MatchingCamera(kFx3);
    camera.versionRecordOverride = std::array<uint8_t, 12>{1, 2, 3, 0x38, 0x22, 0x0C, 5, 0, 0, 0, 0xAA, 0x56};
    Go(camera, Files());
    EXPECT_EQ(requests, (std::vector<uint8_t>{0xB0}));
    EXPECT_EQ(rig->EngineTrace()[rig->EngineTrace().size() - 2], "Wrong version \n");

    // The first read fails over a record that never held a reply.
    const auto stallRead = [](uint32_t nth) {
        return [nth](UpdateRig& r) { r.bus->AddFault(FaultSpec::Vendor(0xB0, FaultKind::Stall, nth)); };
    };
    Go(MatchingCamera(kFx3), Files(), stallRead(0));
    EXPECT_TRUE(hosted::Trace::Contains("Wrong version \n"));
    EXPECT_FALSE(hosted::Trace::Contains("FX3 i2c fail"));

    // A failed read over the valid record of the pass before.
    camera = MatchingCamera(kFx3);
    camera.ispNeedsReset = true;
    Go(camera, Files(), stallRead(2));
    EXPECT_EQ(requests, (std::vector<uint8_t>{0xB0, 0xBB, 0xB0}));
    EXPECT_TRUE(hosted::Trace::Contains("FX3 i2c fail \n"));
    EXPECT_FALSE(hosted::Trace::Contains("Wrong version"));
}
