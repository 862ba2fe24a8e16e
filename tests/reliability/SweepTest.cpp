// Fault sweeps over a whole life: one life per failure point, every point of
// the clean life's count. CI runs a deterministic subset (every k-th point,
// plus every point of the short lists); ORVEX_SWEEP=full runs every point.
// A failing point is printed with the scenario that replays it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LifeRig.h"

namespace orvex::test {
namespace {

using hosted::usb::FaultKind;

// Keeps every point in the long mode; otherwise at most `budget` points,
// spread evenly over the list (first and last always included).
std::vector<Point> Select(std::vector<Point> points, size_t budget)
{
    if (FullRun() || points.size() <= budget) return points;
    std::vector<Point> picked;
    const size_t k = (points.size() + budget - 1) / budget;
    for (size_t i = 0; i < points.size(); i += k) picked.push_back(points[i]);
    if ((points.size() - 1) % k) picked.push_back(points.back());
    return picked;
}

const LifeResult& Clean()
{
    static const LifeResult clean = RunLife({});
    return clean;
}

// Runs each point's life and checks it; `expectUpdated` says whether the
// documented result of that failure is a fully updated camera.
void Sweep(const std::vector<Point>& points, const std::function<bool(const Point&)>& expectUpdated,
           bool versionsMayBreak = false)
{
    size_t ran = 0;
    for (const Point& p : points) {
        const LifeResult r = RunLife(p);
        ++ran;
        const std::string why = r.Findings(expectUpdated(p), !versionsMayBreak);
        if (!why.empty()) {
            ADD_FAILURE() << p.Describe() << why << "\n  replay: orvex-sim run " << p.SaveScenario();
        }
    }
    ::testing::Test::RecordProperty("points", int(ran));
    std::printf("[ sweep ] %zu of %zu points run\n", ran, points.size());
}

bool Always(const Point&) { return true; }
bool Never(const Point&) { return false; }

TEST(LifeSweep, CleanLifeUpdatesResetsAndFindsEverythingCurrentAfterwards)
{
    const LifeResult& r = Clean();
    for (const auto& p : r.problems) ADD_FAILURE() << p;
    EXPECT_TRUE(r.updated) << r.fx3 << " " << r.isp << " " << r.aud;
    EXPECT_EQ(r.resets, 1u);
    EXPECT_EQ(r.reconnects, 1u);
    // Two lives' version reads at least, flash pages and EEPROM pages.
    EXPECT_GE(r.vendor.at(0xB0), 2u);
    EXPECT_GT(r.urbs, 100u);
    EXPECT_EQ(r.poolByTag.size(), 3u);
    EXPECT_EQ(r.fileOpens.size(), 4u);
    EXPECT_GE(r.regQueries.size(), 4u);
    EXPECT_GE(r.pdoIrps.size(), 5u);
}

TEST(LifeSweep, UnplugBeforeAndAfterEachUrb)
{
    std::vector<Point> points;
    for (uint64_t n = 1; n <= Clean().urbs; ++n) {
        points.push_back({.kind = PointKind::UnplugBefore, .n = n});
        points.push_back({.kind = PointKind::UnplugAfter, .n = n});
    }
    // An unplugged camera is physically cut off mid-write: whatever it holds
    // then is its own; the driver's part is to end cleanly.
    Sweep(Select(points, 40), Never, true);
}

TEST(LifeSweep, EachPoolAllocationFails)
{
    std::vector<Point> points;
    for (const auto& [tag, count] : Clean().poolByTag)
        for (uint64_t n = 1; n <= count; ++n) points.push_back({.kind = PointKind::Pool, .n = n, .tag = tag});
    Sweep(Select(points, 40), Never);
}

TEST(LifeSweep, EachFileOpenSizeQueryAndReadFails)
{
    std::vector<Point> points;
    for (auto [kind, table] : {std::pair{PointKind::FileOpen, &Clean().fileOpens},
                               std::pair{PointKind::FileQuery, &Clean().fileQueries},
                               std::pair{PointKind::FileRead, &Clean().fileReads}})
        for (const auto& [name, count] : *table)
            for (uint64_t n = 1; n <= count; ++n) points.push_back({.kind = kind, .n = n, .name = name});
    Sweep(points, Never);
}

TEST(LifeSweep, EachRegistryOpenAndQueryFails)
{
    std::vector<Point> points;
    for (const auto& [key, count] : Clean().regOpens)
        for (uint64_t n = 1; n <= count; ++n) points.push_back({.kind = PointKind::RegOpen, .n = n, .name = key});
    for (const auto& [kv, count] : Clean().regQueries)
        for (uint64_t n = 1; n <= count; ++n)
            points.push_back({.kind = PointKind::RegQuery, .n = n, .name = kv.first, .value = kv.second});
    Sweep(points, Never);
}

TEST(LifeSweep, EachPdoIrpAndPropertyQueryFails)
{
    std::vector<Point> points;
    for (const auto& [mm, count] : Clean().pdoIrps)
        for (uint64_t n = 1; n <= count; ++n)
            points.push_back({.kind = PointKind::PdoIrp, .n = n, .major = mm.first, .minor = mm.second});
    for (auto property : {DevicePropertyBusTypeGuid, DevicePropertyBusNumber})
        for (uint64_t n = 1; n <= 2; ++n)
            points.push_back({.kind = PointKind::Property, .n = n, .minor = UCHAR(property)});
    Sweep(points, Never);
}

TEST(LifeSweep, EachVendorRequestWithEachFaultKind)
{
    std::vector<Point> shortList, pages;
    for (const auto& [request, count] : Clean().vendor)
        for (FaultKind kind : {FaultKind::Stall, FaultKind::Timeout, FaultKind::DeviceGone, FaultKind::ShortIn,
                               FaultKind::NullPipeHandle})
            for (uint64_t n = 1; n <= count; ++n)
                (count <= 8 ? shortList : pages)
                    .push_back({.kind = PointKind::Vendor, .n = n, .request = request, .fault = kind});
    // Every occurrence of the requests a life sends a few times; a spread of
    // the page writes, which come by the hundred.
    auto points = Select(shortList, FullRun() ? shortList.size() : 120);
    for (auto& p : Select(pages, 30)) points.push_back(p);
    Sweep(points, Never);
}

TEST(LifeSweep, RebalanceAtEachPointOfTheUpdate)
{
    std::vector<Point> points;
    for (uint64_t n = 1; n <= Clean().urbs; ++n) points.push_back({.kind = PointKind::Rebalance, .n = n});
    // A rebalance only delays the update: the restarted device finishes it.
    Sweep(Select(points, 30), Always);
}

}  // namespace
}  // namespace orvex::test
