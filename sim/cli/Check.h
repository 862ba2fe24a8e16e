// orvex-sim check FILE...: what the driver would make of each firmware or
// version file, computed by the driver's own routines (see FileFacts.h).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace orvex::cli {

struct CheckOptions {
    std::vector<std::string> files;
    std::string type;   // "" = guess from the content; else fx3, isp, aud or version
    bool json = false;
};

// Adds the `check` subcommand to `app`, filling `options` when parsed.
CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options);

// Checks every file and writes the findings to `out` (text, or one JSON
// document). Returns 0 when every file would be used, 1 otherwise.
int RunCheck(const CheckOptions& options, std::ostream& out);

}  // namespace orvex::cli
