#include "SimOnBus.h"

#include <hosted/clock.h>

namespace orvex::sim {

Clock VirtualClock() {
    return [] { return Nanos(hosted::Clock::Now() * 100); };
}

std::shared_ptr<Camera> MakeCamera(CameraConfig config) {
    return std::make_shared<Camera>(std::move(config), VirtualClock());
}

}  // namespace orvex::sim
