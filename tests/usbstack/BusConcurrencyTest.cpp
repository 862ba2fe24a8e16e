// Several hosted threads on one bus in pending mode: every request completes
// exactly once, cancellations race with the completing workers, and nothing
// is left outstanding.
#include <atomic>

#include "UsbStackTestUtil.h"

using namespace hosted::usb;
using usbtest::Submission;
using usbtest::VendorUrb;

TEST(BusConcurrency, ManyThreadsPendingCompletionAndCancellation) {
    hosted::TestPlatform platform;
    auto camera = orvex::sim::MakeCamera();
    {
        Bus bus(camera);
        bus.SetCompletion(Completion::Pending);
        bus.AddFault(FaultSpec::Vendor(0xB7, FaultKind::Timeout, 0));
        constexpr int kThreads = 4, kEach = 40;
        std::atomic<int> ok{0}, cancelled{0};
        std::vector<hosted::Thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.push_back(hosted::StartThread("client" + std::to_string(i), [&, i] {
                for (int n = 0; n < kEach; ++n) {
                    uint8_t reply[2] = {};
                    const bool timeout = (n % 5) == i % 5;
                    URB u = VendorUrb(true, timeout ? 0xB7 : 0xBA, 0, reply, timeout ? 1 : 2);
                    Submission s(bus.Pdo(), &u);
                    if (s.Send() == STATUS_PENDING && (timeout || n % 7 == 0)) {
                        // Cancel at a moment that sometimes beats the worker.
                        hosted::Sleep(n % 2 ? 1 : 10000);
                        // Only a request still in flight may be cancelled; the
                        // check and the call run without a switch in between.
                        if (!s.Done()) IoCancelIrp(s.Irp());
                    }
                    const NTSTATUS st = s.Wait();
                    if (st == STATUS_SUCCESS && !timeout && reply[0] == 0xAA) ++ok;
                    else if (st == STATUS_CANCELLED) ++cancelled;
                    else ADD_FAILURE() << "request " << n << ": status 0x" << std::hex << st << ", usbd 0x" << u.UrbHeader.Status;
                }
            }));
        }
        for (auto& t : threads) t.Join();
        EXPECT_EQ(ok.load() + cancelled.load(), kThreads * kEach);
        EXPECT_GE(cancelled.load(), kThreads * kEach / 5);  // every time-out request, at least
        EXPECT_EQ(bus.Outstanding(), 0u);
        const auto log = bus.Log();
        ASSERT_EQ(log.size(), size_t(kThreads * kEach));
        for (const auto& t : log) EXPECT_GE(t.completed, t.submitted) << "transfer " << t.sequence;
    }
}
