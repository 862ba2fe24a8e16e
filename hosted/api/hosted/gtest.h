// GoogleTest glue: a platform per test whose problems fail the test.
#pragma once

#include <gtest/gtest.h>

#include <hosted/hosted.h>

namespace hosted {

// RAII: boots a platform for the enclosing scope, routes every problem
// (verifier violation, deadlock, leak found at the end) to ADD_FAILURE.
class TestPlatform {
public:
    explicit TestPlatform(Options options = {}) : platform_(WithName(options))
    {
        Platform::SetFailureHandler([](const std::string& problem) { ADD_FAILURE() << problem; });
    }
    ~TestPlatform() { platform_.Finish(); Platform::SetFailureHandler(nullptr); }
    Platform& Get() { return platform_; }

private:
    static Options WithName(Options o)
    {
        if (o.mainThreadName == "main") o.mainThreadName = "test";
        return o;
    }
    Platform platform_;
};

// Fixture base for tests that run over the hosted platform.
class PlatformTest : public ::testing::Test {
protected:
    PlatformTest() = default;
    explicit PlatformTest(Options options) : platform_(std::move(options)) {}
    TestPlatform platform_;
};

}  // namespace hosted
