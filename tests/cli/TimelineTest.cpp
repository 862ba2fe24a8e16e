// The run timeline: phases read off the traffic, and the SVG document as an
// XML reader and a renderer see it.
#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "Timeline.h"

using namespace orvex::cli;

namespace {

constexpr int64_t kMs = 10000;  // virtual units per millisecond

// A control transfer of a quarter millisecond from `ms` on.
TimelineTransfer Transfer(int64_t ms, uint8_t bmRequestType, uint8_t request, const char* head = nullptr) {
    TimelineTransfer t;
    t.start = ms * kMs;
    t.end = t.start + kMs / 4;
    t.bmRequestType = bmRequestType;
    t.bRequest = request;
    if (head) std::memcpy(t.head.data(), head, 4);
    return t;
}
TimelineTransfer Std(int64_t ms, uint8_t request = 0x06) { return Transfer(ms, 0x80, request); }
TimelineTransfer Vendor(int64_t ms, uint8_t request, const char* head = nullptr) {
    return Transfer(ms, 0xC0, request, head);
}

std::vector<std::string> Labels(const std::vector<TimelinePhase>& phases) {
    std::vector<std::string> out;
    for (const auto& p : phases) out.push_back(p.label + " x" + std::to_string(p.transfers));
    return out;
}

TEST(TimelinePhases, FollowTheUpdateAndNameTheFlashImages) {
    const std::vector<TimelineTransfer> run = {
        Std(0), Std(1, 0x09),                                        // enumeration
        Vendor(2000, 0xB0),                                          // version read
        Vendor(2001, 0xB1),                                          // update mode
        Vendor(2002, 0xB5), Vendor(3002, 0xB8),                      // announcement, readiness,
        Vendor(3003, 0xB6, "OISP"), Vendor(3004, 0xB6, "xxxx"),      // then ISP pages
        Vendor(4000, 0xBA), Vendor(5000, 0xBA), Vendor(5001, 0xB7),  // waiting on the camera
        Vendor(6000, 0xB5), Vendor(7000, 0xB8), Vendor(7001, 0xB6, "OAUD"),
        Vendor(8000, 0xB5), Vendor(9000, 0xB8),                      // announced, refused: no pages
        Vendor(9500, 0xB3), Vendor(9501, 0xB3), Vendor(9502, 0xB2),
        Vendor(9600, 0xB4), Std(12000),                              // reset, re-enumeration
    };
    const auto phases = DerivePhases(run);
    EXPECT_EQ(Labels(phases), (std::vector<std::string>{
                                  "enumeration x2", "version read x1", "update mode x1", "ISP pages x4", "waiting x3",
                                  "audio pages x3", "flash announcement x2", "EEPROM read x2", "EEPROM write x1",
                                  "camera reset x1", "re-enumeration x1"}));
    // A phase runs from its first request to its last completion.
    EXPECT_EQ(phases[3].start, 2002 * kMs);
    EXPECT_EQ(phases[3].end, 3004 * kMs + kMs / 4);
}

TEST(TimelinePhases, OrderByStartAndSurviveOpenTransfers) {
    TimelineTransfer stuck = Vendor(10, 0xBA);
    stuck.end = -1;  // never completed
    TimelineTransfer notControl;
    notControl.control = false;  // a pipe reset: no setup packet, no phase
    const auto phases = DerivePhases({Vendor(20, 0xB0), notControl, stuck});
    ASSERT_EQ(Labels(phases), (std::vector<std::string>{"waiting x1", "version read x1"}));
    EXPECT_EQ(phases[0].end, phases[0].start);
}

struct XmlDoc {
    xmlDocPtr doc = nullptr;
    xmlXPathContextPtr ctx = nullptr;
    explicit XmlDoc(const std::string& text) {
        doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "timeline.svg", nullptr, XML_PARSE_NONET);
        if (doc) {
            ctx = xmlXPathNewContext(doc);
            xmlXPathRegisterNs(ctx, BAD_CAST "s", BAD_CAST "http://www.w3.org/2000/svg");
        }
    }
    ~XmlDoc() {
        if (ctx) xmlXPathFreeContext(ctx);
        if (doc) xmlFreeDoc(doc);
    }
    // Text of every node the XPath expression selects.
    std::vector<std::string> All(const char* xpath) const {
        std::vector<std::string> out;
        xmlXPathObjectPtr r = xmlXPathEvalExpression(BAD_CAST xpath, ctx);
        if (r && r->nodesetval)
            for (int i = 0; i < r->nodesetval->nodeNr; ++i) {
                xmlChar* c = xmlNodeGetContent(r->nodesetval->nodeTab[i]);
                out.emplace_back(c ? reinterpret_cast<const char*>(c) : "");
                xmlFree(c);
            }
        xmlXPathFreeObject(r);
        return out;
    }
};

TEST(TimelineSvg, DrawsPhasesTransfersEventsAndFaults) {
    TimelineCamera cam;
    cam.name = "camera <1> & co";
    cam.transfers = {Std(0), Vendor(100, 0xB0), Vendor(200, 0xB5), Vendor(300, 0xB6, "OISP"),
                     Vendor(400, 0xB6, "OISP")};
    cam.transfers[4].failed = true;
    cam.transfers[4].fault = "stall";
    TimelineTransfer open = Vendor(500, 0xBA);
    open.end = -1;
    cam.transfers.push_back(open);
    cam.events = {{0, TimelineEventKind::Pnp, "starting device"},
                  {5, TimelineEventKind::Pnp, "a second label at nearly the same time"},
                  {450 * kMs, TimelineEventKind::Power, "D3 -> D0"},
                  {460 * kMs, TimelineEventKind::Wmi, "query \"wake\" <block>"}};
    const std::string svg = RenderTimelineSvg({"a run", {"ended by: test"}, {cam}});
    const XmlDoc x(svg);
    ASSERT_NE(x.doc, nullptr) << "not well-formed XML";

    EXPECT_EQ(x.All("//s:text[@class='title']"), std::vector<std::string>{"a run"});
    EXPECT_EQ(x.All("//s:text[@class='camera-name']"), std::vector<std::string>{"camera <1> & co"});
    EXPECT_EQ(x.All("//s:rect[@class='phase']").size(), DerivePhases(cam.transfers).size());
    const auto lanes = x.All("//s:g[@class='transfers']/s:text[@class='lane']");
    EXPECT_EQ(lanes, (std::vector<std::string>{"standard requests (1)", "0xB0 UVCGet_VERSION (1)",
                                               "0xB5 UVCSet_FILESIZE (1)", "0xB6 UVCWrite_SPI_PAGE (2)",
                                               "0xBA UVCGet_ALIVE (1)"}));
    EXPECT_EQ(x.All("//s:rect[contains(@class,'failed')]").size(), 1u);
    EXPECT_EQ(x.All("//s:rect[contains(@class,'open')]/s:title").size(), 1u);
    EXPECT_NE(x.All("//s:rect[contains(@class,'open')]/s:title")[0].find("never completed"), std::string::npos);
    const auto faults = x.All("//s:path[@class='fault']/s:title");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0], "fault stall on 0xB6 UVCWrite_SPI_PAGE at 400.000 ms");
    EXPECT_EQ(x.All("//s:g[@class='event']/s:text"),
              (std::vector<std::string>{"starting device", "a second label at nearly the same time", "D3 -> D0",
                                        "query \"wake\" <block>"}));
    // Two labels at nearly one time go on different lines.
    const auto ys = x.All("//s:g[@class='event']/s:text/@y");
    EXPECT_NE(ys[0], ys[1]);
    // The axis: ticks from 0 in equal steps up to the end of the run.
    const auto ticks = x.All("//s:text[@class='tick']");
    ASSERT_GE(ticks.size(), 3u);
    EXPECT_EQ(ticks[0], "0 ms");
    EXPECT_EQ(ticks[1], "50 ms");
    // The legend names each phase drawn and each kind of mark.
    const auto legend = x.All("//s:g[@class='legend-item']/s:text");
    for (const char* want : {"enumeration", "version read", "ISP pages", "failed transfer", "never completed",
                             "injected fault", "PnP event", "power event", "WMI event"})
        EXPECT_NE(std::find(legend.begin(), legend.end(), want), legend.end()) << want;
}

TEST(TimelineSvg, EmptyRunIsStillAPicture) {
    const XmlDoc x(RenderTimelineSvg({"nothing happened", {}, {TimelineCamera{"camera 1", {}, {}}}}));
    ASSERT_NE(x.doc, nullptr);
    EXPECT_TRUE(x.All("//s:rect[@class='phase']").empty());
    EXPECT_FALSE(x.All("//s:text[@class='tick']").empty());
}

}  // namespace
