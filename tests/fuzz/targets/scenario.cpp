// The scenario parser on any text: a scenario is either accepted or refused
// with ScenarioError naming each problem; nothing else may come out of it.
#include <exception>

#include "FuzzSupport.h"
#include "Scenario.h"

using namespace orvex::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        (void)orvex::cli::ParseScenario(text, ScratchDir(), "fuzz.json");
    } catch (const orvex::cli::ScenarioError& e) {
        FUZZ_CHECK(!e.issues().empty(), "a scenario refused without any issue");
    } catch (const std::exception& e) {
        Fail(std::string("ParseScenario let escape: ") + e.what());
    }
    return 0;
}
