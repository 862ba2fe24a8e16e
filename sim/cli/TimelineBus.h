// The hosted bus's transfer log as timeline transfers.
#pragma once

#include <vector>

#include "Timeline.h"
#include "UsbBus.h"

namespace orvex::cli {

std::vector<TimelineTransfer> TimelineTransfersOf(const std::vector<hosted::usb::Transfer>& log);

}  // namespace orvex::cli
