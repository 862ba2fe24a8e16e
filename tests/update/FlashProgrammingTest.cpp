// The ISP and audio branches: version decisions, the download on the wire and
// what the camera's flash holds afterwards.
#include <gtest/gtest.h>

#include "UpdateRig.h"

using namespace orvex::test;
using namespace orvex::firmware;
using hosted::usb::FaultKind;
using hosted::usb::FaultSpec;
using orvex::sim::Flash;

namespace {

const Packet kSpiPage{0x40, 0xB6, 0x00, 0x10, 0x55, 0xAA, 0x00, 0x10};
const Packet kStatus{0xC0, 0xB8, 0x00, 0x00, 0x55, 0xAA, 0x01, 0x00};
Packet FileSize(uint8_t pages) { return {0xC0, 0xB5, pages, 0x00, 0x55, 0xAA, 0x01, 0x00}; }

Bytes Padded(Bytes b) {
    b.resize((b.size() + 4095) / 4096 * 4096, 0xFF);
    return b;
}

class FlashBranch : public BranchTest {
protected:
    // A fresh camera, with the device's current and file versions set.
    void Versions(ULONG ispCur, ULONG ispFile, ULONG audCur, ULONG audFile, orvex::sim::CameraConfig config = {}) {
        Camera(std::move(config));
        d->m_ulIspCurrentVersion = ispCur;
        d->m_ulIspFileVersion = ispFile;
        d->m_ulAudCurrentVersion = audCur;
        d->m_ulAudFileVersion = audFile;
    }
    void Download(const Bytes& image, ULONG type) { EXPECT_EQ(Program(image, type), STATUS_SUCCESS); }
};

}  // namespace

TEST_F(FlashBranch, IspExampleExactly) {
    Versions(0x010000, 0x0C2238, 5, 5);
    const Bytes image = MakeIspImage({.size = 10000});
    Download(image, FileTypeIsp);

    EXPECT_EQ(Setups(), (std::vector<Packet>{FileSize(3), kStatus, kSpiPage, kSpiPage, kSpiPage}));
    const auto wire = rig->Vendor();
    const Bytes padded = Padded(image);
    for (size_t k = 0; k < 3; ++k)
        EXPECT_EQ(wire[2 + k].out, Bytes(padded.begin() + 4096 * k, padded.begin() + 4096 * (k + 1))) << k;
    EXPECT_EQ(Bytes(wire[4].out.begin() + 1808, wire[4].out.end()), Bytes(2288, 0xFF));
    const int64_t pause = wire[1].time - wire[0].time;
    EXPECT_GE(pause, hosted::Milliseconds(1000));
    EXPECT_LT(pause, hosted::Milliseconds(1001));
    EXPECT_EQ(rig->EngineTrace(),
              (std::vector<std::string>{"ISP File Version 0xc2238, 0xc2238, Current Version 0x10000 \n",
                                        "Update ISP FileSize 10000, return value 0xa1",
                                        "UVCGet_ISP_STATUS ret 0xa1", "Write SPI page 0x0, total 0x3",
                                        "Update ISP FileSize done \n"}));
    EXPECT_EQ(d->m_bDownloadDone, 1u);
    EXPECT_EQ(rig->camera->FlashContent(Flash::Isp), padded);
    EXPECT_EQ(DecodeIspVersion(rig->camera->FlashContent(Flash::Isp)), 0x0C2238u);
}

TEST_F(FlashBranch, PageCounts) {
    Versions(0x010000, 0, 5, 5);
    Download(MakeIspImage({.size = 70000}), FileTypeIsp);
    EXPECT_EQ(Setups().front(), FileSize(18));
    EXPECT_EQ(rig->bus->CountVendor(0xB6), 18u);
    std::vector<std::string> progress;  // no line end: the records must match whole
    for (auto& l : rig->EngineTrace())
        if (l.rfind("Write SPI page", 0) == 0) progress.push_back(l);
    EXPECT_EQ(progress, (std::vector<std::string>{"Write SPI page 0x0, total 0x12", "Write SPI page 0x10, total 0x12"}));

    // An exact multiple of 4096 sends no page of fill.
    Versions(0x010000, 0, 5, 5);
    const Bytes exact = MakeIspImage({.size = 8192});
    Download(exact, FileTypeIsp);
    EXPECT_EQ(Setups(), (std::vector<Packet>{FileSize(2), kStatus, kSpiPage, kSpiPage}));
    EXPECT_EQ(rig->camera->FlashContent(Flash::Isp), exact);

    // The audio branch sends its image the same way.
    Versions(0x010000, 0, 1, 5);
    const Bytes aud = MakeAudImage({.size = 262144, .version = 5});
    Download(aud, FileTypeAud);
    EXPECT_EQ(Setups().front(), FileSize(64));
    EXPECT_EQ(rig->camera->FlashContent(Flash::Audio), aud);
    EXPECT_EQ(DecodeAudVersion(rig->camera->FlashContent(Flash::Audio)), 5);
    EXPECT_TRUE(hosted::Trace::Contains("Update AUD FileSize 262144, return value 0xa1"));
    EXPECT_TRUE(hosted::Trace::Contains("UVCGet_AUD_STATUS ret 0xa1"));
    EXPECT_TRUE(hosted::Trace::Contains("Update AUD FileSize done \n"));
}

TEST_F(FlashBranch, IspDecisionTable) {
    struct Row {
        ULONG ispCur, audCur, audFile;
        std::optional<std::string> text;
        bool download;
        std::string line;
    };
    const std::vector<Row> rows = {
        {0x0C2238, 5, 5, "12.34.56", false, "ISP file version = ISP current version or can not file version 0xc2238 \n"},
        {0x0C2238, 5, 5, std::nullopt, false, "ISP file version = ISP current version or can not file version 0xaaaaaa \n"},
        {0x010000, 5, 5, std::nullopt, false, "ISP file version = ISP current version or can not file version 0xaaaaaa \n"},
        {0x010000, 5, 5, "12.34.56", true, "ISP File Version 0xc2238, 0x0, Current Version 0x10000 \n"},
        {0x0C2238, 5, 6, "12.34.56", true, "Download ISP, CurrentAudioVersion 0x5, FileAudioVersion 0x6 \n"},
        {0x0C2238, 0, 0, "12.34.56", true, "Download ISP, CurrentAudioVersion 0x0, FileAudioVersion 0x0 \n"},
        {0x0C2238, 0, 5, std::nullopt, true, "Download ISP, CurrentAudioVersion 0x0, FileAudioVersion 0x5 \n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        Versions(r.ispCur, 0, r.audCur, r.audFile);
        d->m_bDownloadDone = 1;
        Download(MakeIspImage({.text = r.text}), FileTypeIsp);
        EXPECT_TRUE(hosted::Trace::Contains(r.line));
        EXPECT_EQ(rig->bus->CountVendor(0xB6), r.download ? 3u : 0u);
        EXPECT_EQ(rig->Vendor().empty(), !r.download);
        EXPECT_EQ(d->m_bDownloadDone, 1u);
    }
}

TEST_F(FlashBranch, IspVersionWindow) {
    auto found = [&](IspOptions o) {
        Versions(0x010000, 0, 5, 5);
        Download(MakeIspImage(o), FileTypeIsp);
        return rig->EngineTrace().front();
    };
    EXPECT_EQ(found({.textOffset = 255}), "ISP File Version 0xc2238, 0x0, Current Version 0x10000 \n");
    EXPECT_EQ(found({.textOffset = 256}),
              "ISP file version = ISP current version or can not file version 0xaaaaaa \n");
    EXPECT_EQ(found({.text = "12.34.5x 01.02.03"}), "ISP File Version 0x10203, 0x0, Current Version 0x10000 \n");
    // A window that begins 4 bytes before the file's end: the text is cut and
    // the search reads only the pad behind it.
    EXPECT_EQ(found({.size = 10000, .windowWord = 10000 - 832 - 4}),
              "ISP file version = ISP current version or can not file version 0xaaaaaa \n");
    EXPECT_EQ(found({.size = 10000, .windowWord = 10000}),
              "ISP file too small, file size 0x2710, version offset 0x2a50 \n");
    // A word near 4 GiB wraps the window back into the file (to 0x40), where
    // it is searched.
    EXPECT_EQ(found({.size = 10000, .windowWord = 0xFFFFFD00, .textOffset = 0}),
              "ISP File Version 0xc2238, 0x0, Current Version 0x10000 \n");
    // A wrapped window starts below 832: at exactly the end of a 600-byte file
    // it is all pad, one byte further the file is too small.
    EXPECT_EQ(found({.size = 600, .windowWord = 0xFFFFFCC0u + 600u}),
              "ISP file version = ISP current version or can not file version 0xaaaaaa \n");
    EXPECT_EQ(found({.size = 600, .windowWord = 0xFFFFFCC0u + 601u}),
              "ISP file too small, file size 0x258, version offset 0x259 \n");
    EXPECT_TRUE(rig->Vendor().empty());
}

// A window word that wraps past 4 GiB places the window inside the file; a new
// version found there is downloaded, and the camera reads the same version
// from its flash afterwards.
TEST_F(FlashBranch, WrappedWindowIsSearchedAndDownloaded) {
    Versions(0x010000, 0, 5, 5);
    const Bytes image = MakeIspImage({.size = 10000, .windowWord = 0xFFFFFD00, .textOffset = 16});
    Download(image, FileTypeIsp);
    EXPECT_EQ(rig->EngineTrace().front(), "ISP File Version 0xc2238, 0x0, Current Version 0x10000 \n");
    EXPECT_EQ(rig->bus->CountVendor(0xB6), 3u);
    EXPECT_EQ(d->m_bDownloadDone, 1u);
    EXPECT_EQ(rig->camera->FlashContent(Flash::Isp), Padded(image));
    EXPECT_EQ(DecodeIspVersion(rig->camera->FlashContent(Flash::Isp)), 0x0C2238u);
}

TEST_F(FlashBranch, AudioDecisionTable) {
    struct Row {
        size_t size;
        uint8_t fileByte;
        ULONG audCur;
        bool download;
        std::string line;
    };
    const std::vector<Row> rows = {
        {229919, 5, 1, false, "AUD file too small, file size 0x3821f, version offset 0x38220 \n"},
        {229921, 5, 5, false, "AUD file version = AUD current version, no need to update audio firmware \n"},
        {229921, 5, 0, false, "AUD file version = 0 \n"},
        {229921, 0, 0, false, "AUD file version = 0 \n"},
        {229921, 6, 5, true, "AUD File Version 0x6, 0x6, Current Version 0x5 \n"},
        {229920, 6, 5, true, "AUD File Version 0xff, 0x6, Current Version 0x5 \n"},  // version byte in the pad
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        Versions(0, 0, r.audCur, 6);
        d->m_bDownloadDone = 1;
        Download(MakeAudImage({.size = r.size, .version = r.fileByte}), FileTypeAud);
        EXPECT_TRUE(hosted::Trace::Contains(r.line));
        EXPECT_EQ(rig->bus->CountVendor(0xB6), r.download ? 57u : 0u);
        EXPECT_EQ(d->m_bDownloadDone, 1u);
    }
}

TEST_F(FlashBranch, StatusRefusalAndRemoval) {
    // The camera is not ready: no page, m_bDownloadDone cleared.
    orvex::sim::CameraConfig busy;
    busy.statusOverride = 0xA0;
    Versions(0x010000, 0, 5, 5, busy);
    d->m_bDownloadDone = 1;
    Download(MakeIspImage({}), FileTypeIsp);
    EXPECT_EQ(Setups(), (std::vector<Packet>{FileSize(3), kStatus}));
    EXPECT_EQ(rig->EngineTrace().back(), "Wrong status, can not download firmware.\n");
    EXPECT_EQ(d->m_bDownloadDone, 0u);

    // Neither reply arrives: the status byte keeps its 0xAA.
    Versions(0x010000, 0, 5, 5);
    rig->bus->AddFault(FaultSpec::Vendor(0xB5, FaultKind::Stall));
    rig->bus->AddFault(FaultSpec::Vendor(0xB8, FaultKind::Stall));
    Download(MakeIspImage({}), FileTypeIsp);
    EXPECT_TRUE(hosted::Trace::Contains("UVCGet_ISP_STATUS ret 0xaa"));
    EXPECT_EQ(rig->bus->CountVendor(0xB6), 0u);

    // The device goes away at the second page: the loop stops, "done" is still traced.
    Versions(0x010000, 0, 5, 5);
    rig->bus->AddFault(FaultSpec::Vendor(0xB6, FaultKind::DeviceGone, 2));
    d->m_bDownloadDone = 1;
    Download(MakeIspImage({.size = 70000}), FileTypeIsp);
    EXPECT_EQ(rig->bus->CountVendor(0xB6), 2u);
    EXPECT_FALSE(hosted::Trace::Contains("Write SPI page 0x10"));  // the loop stopped
    EXPECT_EQ(rig->EngineTrace().back(), "Update ISP FileSize done \n");
    EXPECT_EQ(d->m_bDownloadDone, 0u);

    // More pages than the 16-bit announcement can name: nothing is sent.
    Versions(0x010000, 0, 0, 5);
    d->m_bDownloadDone = 1;
    Download(Bytes(size_t{0x10000} * 4096), FileTypeIsp);
    EXPECT_EQ(rig->EngineTrace().back(), "ISP file too large, file size 0x10000000 \n");
    EXPECT_TRUE(rig->Vendor().empty());
    EXPECT_EQ(d->m_bDownloadDone, 1u);
}
