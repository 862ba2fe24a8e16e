// "orvex-sim demo": a camera with old firmware updated end to end.
#pragma once

#include <ostream>
#include <string>

namespace orvex::cli {

struct DemoOptions {
    std::string inf_path;  // the INF the driver is installed from ("" = the generated ORVEX.inf)
    std::string driver_path;  // the ORVEX.sys to run ("" = the hosted build's driver)
    std::string keep_dir;  // keep the generated files here ("" = a temporary folder, removed)
    std::string timeline_path;  // draw the run into this SVG file ("" = none)
    bool quiet = false;
    // Virtual seconds per wall second; 0: as fast as possible; below 0: 25
    // when the live view is shown (so that it can be followed), else 0.
    double speed = -1;
};

// The generated ORVEX.inf: beside the running program, else in the build
// tree it was built in; "" when neither exists.
std::string GeneratedInf();

// Builds the firmware files, installs the driver from the INF, runs the update and prints the before/after
// table to `out`. True when the run completed without a platform fault.
bool RunDemo(const DemoOptions& options, std::ostream& out);

}  // namespace orvex::cli
