// Helpers shared by the hosted platform tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <hosted/gtest.h>

namespace hosted {

// A relative time-out, as the kernel's wait routines take it.
inline LARGE_INTEGER Relative(int64_t units)
{
    LARGE_INTEGER li;
    li.QuadPart = -units;
    return li;
}

// Runs `body` on a platform of its own and returns what its end-of-run check reports.
inline std::vector<std::string> ProblemsAtFinish(const std::function<void()>& body)
{
    Platform platform;
    body();
    return platform.Finish();
}

}  // namespace hosted
