#include "SimOnBus.h"

#include <algorithm>

#include <hosted/clock.h>
#include <hosted/thread.h>

namespace orvex::sim {

Clock VirtualClock() {
    return [] { return Nanos(hosted::Clock::Now() * 100); };
}

std::shared_ptr<Camera> MakeCamera(CameraConfig config) {
    auto camera = std::make_shared<Camera>(std::move(config), VirtualClock());
    // Each request is a hosted thread sleeping on virtual time. It holds the
    // camera weakly: a camera dropped meanwhile has nothing left to do, and
    // the platform waits for the thread at its end either way.
    std::weak_ptr<Camera> weak = camera;
    camera->SetTimer([weak](Nanos delay) {
        hosted::StartThread("camera timer", [weak, delay] {
            hosted::Sleep(std::max<int64_t>(0, (delay.count() + 99) / 100));  // never early
            if (auto c = weak.lock()) c->Tick();
        });
    });
    return camera;
}

}  // namespace orvex::sim
