// The simulated camera on the hosted platform's virtual clock, ready to be
// plugged into a hosted::usb::Bus.
#pragma once

#include <memory>

#include "SimCamera.h"

namespace orvex::sim {

// The hosted platform's virtual clock as the simulator's clock.
Clock VirtualClock();
// A simulated camera running on the virtual clock.
std::shared_ptr<Camera> MakeCamera(CameraConfig config = {});

}  // namespace orvex::sim
