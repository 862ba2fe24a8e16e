#include "TimelineBus.h"

#include <algorithm>

namespace orvex::cli {

std::vector<TimelineTransfer> TimelineTransfersOf(const std::vector<hosted::usb::Transfer>& log) {
    std::vector<TimelineTransfer> out;
    out.reserve(log.size());
    for (const auto& t : log) {
        TimelineTransfer x;
        x.start = t.submitted;
        x.end = t.completed;
        x.control = t.control;
        x.bmRequestType = t.bmRequestType();
        x.bRequest = t.bRequest();
        x.wValue = t.wValue();
        x.wLength = t.wLength();
        x.function = t.function;
        std::copy_n(t.out.begin(), std::min<size_t>(4, t.out.size()), x.head.begin());
        x.failed = t.completed >= 0 && t.usbdStatus != 0;
        if (t.fault) x.fault = hosted::usb::FaultName(*t.fault);
        out.push_back(std::move(x));
    }
    return out;
}

}  // namespace orvex::cli
