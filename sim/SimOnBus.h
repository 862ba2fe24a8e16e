// The simulated camera on the hosted platform's virtual clock, ready to be
// plugged into a hosted::usb::Bus.
#pragma once

#include <memory>

#include "SimCamera.h"

namespace orvex::sim {

// The hosted platform's virtual clock as the simulator's clock.
Clock VirtualClock();
// A simulated camera running on the virtual clock, with a timer of hosted
// threads sleeping on that clock (so it can re-enumerate after a reset).
std::shared_ptr<Camera> MakeCamera(CameraConfig config = {});

}  // namespace orvex::sim
