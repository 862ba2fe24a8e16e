// The camera used from several threads at once: EEPROM writers, version and
// liveness readers and a flash session interleave without losing a page.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "Sha256.h"
#include "SimCamera.h"

using namespace orvex::sim;

TEST(CameraConcurrency, ParallelRequestsKeepEveryPage) {
    std::atomic<int64_t> now{0};
    Camera cam({}, [&] { return Nanos(now.load()); });
    uint8_t start[2] = {0xAA, 0x55};
    ASSERT_FALSE(cam.Control({0x40, kReqStartUpdate, 0, 0xAA55, 2}, start).stalled);

    constexpr int kWriters = 4, kPagesEach = 64;
    std::vector<std::thread> threads;
    std::atomic<int> readerFailures{0};
    std::atomic<bool> stop{false};
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            std::vector<uint8_t> page(256);
            for (int p = 0; p < kPagesEach; ++p) {
                const uint16_t index = static_cast<uint16_t>(w * kPagesEach + p);
                std::fill(page.begin(), page.end(), static_cast<uint8_t>(index));
                ASSERT_FALSE(cam.Control({0x40, kReqWriteEeprom, index, 0xAA55, 256}, page.data()).stalled);
            }
        });
    }
    threads.emplace_back([&] {
        uint8_t rec[12];
        while (!stop) {
            if (cam.Control({0xC0, kReqGetVersion, 0, 0xAA55, 12}, rec).stalled || rec[10] != 0xAA)
                ++readerFailures;
            now += 1000;
        }
    });
    for (int w = 0; w < kWriters; ++w) threads[w].join();
    stop = true;
    threads.back().join();

    EXPECT_EQ(readerFailures.load(), 0);
    const auto e = cam.Eeprom();
    for (int i = 0; i < kWriters * kPagesEach; ++i) ASSERT_EQ(e[i * 256 + 17], static_cast<uint8_t>(i)) << i;
    const auto s = cam.Stats();
    EXPECT_EQ(s.eepromPagesWritten, static_cast<uint32_t>(kWriters * kPagesEach));
    EXPECT_EQ(s.eepromSha256, Sha256::Hex(e));
}
