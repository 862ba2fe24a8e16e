// Starting and stopping the update thread, and the camera going away while it
// works: loops end, flags tell what happened, nothing leaks or deadlocks.
#include <gtest/gtest.h>

#include "UpdateRig.h"

using namespace orvex::test;
using namespace orvex::firmware;
using hosted::Milliseconds;
using hosted::Seconds;

namespace {

const Bytes& kFx3 = TypicalFx3();

// Files with an ISP image long enough (1024 pages) to be cut short.
FirmwareSet Files(std::string versionText = TypicalVersionText()) { return TypicalFiles(std::move(versionText), 4 << 20); }

// Trace records equal to `text` (a line printed after a line without line
// end shares its line of the text).
size_t Lines(const std::string& text) {
    size_t n = 0;
    for (auto& r : hosted::Trace::Records()) n += r.text == text;
    return n;
}

class Lifecycle : public RunTest {
protected:
    // Surprise removal, as the removal callback and the bus see it, once
    // `ready` holds (polled every millisecond of virtual time, for at most
    // ten virtual minutes, so that a run that never gets there cannot hang).
    hosted::Thread RemoveWhen(std::function<bool()> ready) {
        return hosted::StartThread("remover", [this, ready] {
            for (int64_t waited = 0; !ready(); waited += Milliseconds(1)) {
                if (waited > Seconds(600)) {
                    ADD_FAILURE() << "the removal point was never reached";
                    return;
                }
                hosted::Sleep(Milliseconds(1));
            }
            rig->bus->Unplug();
            rig->device->SetRemoved(1);
        });
    }
};

}  // namespace

TEST_F(Lifecycle, StopDuringFirstDelayWaitsForTheRun) {
    auto camera = MatchingCamera(kFx3, 0x010000);
    Make(camera, Files());
    rig->Start();
    hosted::Sleep(Seconds(1));
    rig->Stop();
    // The stop flag is seen only at the top of the version loop: the whole run went on.
    EXPECT_EQ(rig->camera->Stats().ispImagesFlashed, 1u);
    EXPECT_EQ(rig->Requests().back(), 0xB4);
    EXPECT_GE(rig->TimeOf("StopControlPanelAnalysisThread()\n"), rig->TimeOf("UVCReset_ID 1 \n"));
    EXPECT_GT(rig->TimeOf("StopControlPanelAnalysisThread()\n") - rig->startTime, hosted::Seconds(15));
    EXPECT_EQ(rig->device->ThreadObject(), nullptr);
}

TEST_F(Lifecycle, RemovalBeforeTheFirstRead) {
    Make(MatchingCamera(kFx3), Files());
    rig->Start();
    hosted::Sleep(Seconds(1));
    EXPECT_EQ(KeQueryPriorityThread(static_cast<PKTHREAD>(rig->device->ThreadObject())), 16);
    rig->device->SetRemoved(1);
    rig->Stop();
    EXPECT_TRUE(rig->Requests().empty());
    const int64_t removed = rig->TimeOf("FX3 device removed \n") - rig->startTime;
    EXPECT_GE(removed, Seconds(2));
    EXPECT_LT(removed, Seconds(2) + Milliseconds(10));
    EXPECT_EQ(rig->EngineTrace().back(), "StopControlPanelAnalysisThread()\n");
}

TEST_F(Lifecycle, StopEndsAnIspThatNeverLeavesReset) {
    auto camera = MatchingCamera(kFx3);
    camera.versionRecordOverride = std::array<uint8_t, 12>{1, 2, 3, 0xFF, 0xFF, 0xFF, 5, 0, 0, 0, 0xAA, 0x55};
    Make(camera, Files());
    rig->Start();
    hosted::Sleep(Seconds(5));
    rig->Stop();
    // Reads at 2, 4 and 6 s; the flag set at 5 s is seen at the loop top after the third.
    EXPECT_EQ(rig->Requests(), (std::vector<uint8_t>{0xB0, 0xBB, 0xB0, 0xBB, 0xB0, 0xBB}));
    const int64_t stopped = rig->TimeOf("StopControlPanelAnalysisThread()\n") - rig->startTime;
    EXPECT_GE(stopped, Seconds(6));
    EXPECT_LT(stopped, Seconds(6) + Milliseconds(10));
}

TEST_F(Lifecycle, SurpriseRemovalDuringSpiPages) {
    auto camera = MatchingCamera(kFx3, 0x010000);
    Make(camera, Files());
    rig->Start();
    auto remover = RemoveWhen([this] { return rig->bus->CountVendor(0xB6) >= 100; });
    remover.Join();
    rig->Stop();
    const auto stats = rig->camera->Stats();
    EXPECT_GE(stats.spiPagesReceived, 100u);
    EXPECT_LT(stats.spiPagesReceived, 1024u);
    EXPECT_EQ(stats.resets, 0u);
    EXPECT_EQ(rig->bus->CountVendor(0xB4), 0u);
    EXPECT_TRUE(hosted::Trace::Contains("Update ISP FileSize done \n"));
    EXPECT_EQ(rig->device->m_bDownloadDone, 0u);
    EXPECT_EQ(rig->device->m_bUpdated, 0u);
    EXPECT_EQ(rig->device->IsRemoved(), 1u);
}

TEST_F(Lifecycle, SurpriseRemovalDuringEepromWrites) {
    const Bytes image = MakeFx3Image({.size = 192 * 1024, .version = {1, 2, 4}});
    auto camera = MatchingCamera({});
    Make(camera, [&] {
        FirmwareSet f = Files(VersionFileText(10204, 0x0C2238, 5));
        f.fx3 = image;
        return f;
    }());
    rig->Start();
    auto remover = RemoveWhen([this] { return rig->bus->CountVendor(0xB2) >= 10; });
    remover.Join();
    rig->Stop();
    const auto stats = rig->camera->Stats();
    EXPECT_GE(stats.eepromPagesWritten, 10u);
    EXPECT_LT(stats.eepromPagesWritten, 768u);
    EXPECT_EQ(rig->bus->CountVendor(0xB4), 0u);  // no reset reaches the camera
    EXPECT_EQ(rig->device->m_bUpdated, 1u);
    EXPECT_TRUE(hosted::Trace::Contains("Done compare EEPROM \n"));
}

TEST_F(Lifecycle, StartWhileHeldAndRestart) {
    Make(MatchingCamera(kFx3), Files());
    // No thread: Stop returns without a line.
    StopControlPanelAnalysisThread(rig->device, &rig->ks);
    EXPECT_TRUE(rig->EngineTrace().empty());

    rig->Start();
    hosted::Sleep(Seconds(5));  // the run has ended by itself
    PVOID held = rig->device->ThreadObject();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(StartControlPanelAnalysisThread(rig->device, &rig->ks), STATUS_SUCCESS);
    hosted::Sleep(Seconds(5));
    EXPECT_EQ(rig->device->ThreadObject(), held);
    EXPECT_EQ(Lines("StartControlPanelAnalysisThread()\n"), 1u);
    EXPECT_EQ(rig->Requests(), (std::vector<uint8_t>{0xB0}));

    // Stop, then a new start runs a new thread.
    rig->Stop();
    EXPECT_EQ(rig->Start(), STATUS_SUCCESS);
    rig->WaitForRun();
    rig->Stop();
    EXPECT_EQ(Lines("StartControlPanelAnalysisThread()\n"), 2u);
    EXPECT_EQ(Lines("StopControlPanelAnalysisThread()\n"), 2u);
    EXPECT_EQ(rig->Requests(), (std::vector<uint8_t>{0xB0, 0xB0}));

    // Remove with a run in progress stops the thread first; nothing is left behind.
    rig->Start();
    hosted::Sleep(Seconds(1));
    rig->Remove();
    EXPECT_EQ(Lines("StopControlPanelAnalysisThread()\n"), 3u);
}

// The thread object cannot be referenced after the thread was created: the
// start asks the thread to end and waits for it before returning, so no thread
// runs that Stop or Remove could not wait for. The next start tries again.
TEST_F(Lifecycle, UnreferencedThreadEndsWithinStart) {
    const std::string ended =
        "StartControlPanelAnalysisThread() thread object not referenced (0xc0000022), thread ended\n";
    struct Case {
        const char* name;
        bool removeAtOnce;
    };
    for (const Case c : {Case{"stop and start again", false}, Case{"removal right after", true}}) {
        SCOPED_TRACE(c.name);
        auto camera = MatchingCamera(kFx3, 0x010000);
        Make(camera, Files());
        hosted::FailObjectReference(1);
        EXPECT_EQ(rig->Start(), STATUS_SUCCESS);
        EXPECT_EQ(rig->device->ThreadObject(), nullptr);
        EXPECT_EQ(Lines(ended), 1u);
        if (c.removeAtOnce) {
            rig->Remove();
            hosted::Sleep(Seconds(30));
            EXPECT_TRUE(rig->Vendor().empty());
            continue;
        }
        // Long after the start no request has been sent: the thread is gone.
        hosted::Sleep(Seconds(30));
        EXPECT_TRUE(rig->Vendor().empty());
        rig->Stop();
        EXPECT_EQ(Lines("StopControlPanelAnalysisThread()\n"), 0u);

        EXPECT_EQ(rig->Start(), STATUS_SUCCESS);
        EXPECT_NE(rig->device->ThreadObject(), nullptr);
        rig->WaitForRun();
        rig->Stop();
        EXPECT_EQ(rig->camera->Stats().ispImagesFlashed, 1u);
        EXPECT_EQ(Lines("StopControlPanelAnalysisThread()\n"), 1u);
        rig->Remove();
    }
}
