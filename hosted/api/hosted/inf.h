// Driver installation from an INF file, as the system's device installer
// does it: the INF is read and checked whole, its service is created under
// ...\Services\<name> (type, start, error control, image path and the
// service install section's AddReg), and its function driver is registered
// with the plug-and-play manager for the hardware IDs of the INF's x64
// models section. When a device with one of those IDs is enumerated, the
// AddReg lines of its install section are written to the device's driver
// key (HKR) before the driver is loaded and its AddDevice runs. A device
// whose IDs the models section does not name gets no driver.
//
// Syntax read: [sections] (same-named sections merge), key = value lines,
// comma-separated fields, "quoted" fields ("" is a quote), ';' comments,
// '\' at the end of a line continues it, %strkey% from [Strings], %dirid%
// for directory IDs (10, 11, 12, 13) and %% for a percent sign.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <wdm.h>

namespace hosted {

// One line of an INF after joining continuations: its fields, still raw
// (quotes kept off, %...% not yet substituted).
struct InfLine {
    int number = 0;          // line number of its first physical line
    std::string key;         // "" for a line without '='
    std::vector<std::string> fields;
};

struct InfSection {
    std::string name;        // as first written
    int number = 0;          // line of its first header
    std::vector<InfLine> lines;
};

// A parsed INF. Parsing checks only the syntax; Install checks the content.
class Inf {
public:
    // Read an INF's text. On a syntax error returns nullopt and sets *error
    // to "<name>(<line>): <what>".
    static std::optional<Inf> Parse(const std::string& text, const std::string& name, std::string* error);
    // Read a file; a file that cannot be read is an error "<path>: ...".
    static std::optional<Inf> Load(const std::string& path, std::string* error);

    const std::string& Name() const { return name_; }
    const InfSection* Section(const std::string& name) const;  // case-insensitive
    // Expand %strkey%, %dirid% and %% in a field; an unknown %token% is an
    // error naming the line.
    bool Expand(const std::string& field, int line, const std::map<int, std::string>& dirids, std::string* out,
                std::string* error) const;
    std::string Where(int line) const { return name_ + "(" + std::to_string(line) + ")"; }

private:
    std::string name_;
    std::vector<InfSection> sections_;
    std::map<std::string, std::string> strings_;  // lower-cased key -> value
};

struct InfOptions {
    // The driver behind each service binary the INF may name (file name,
    // case-insensitive, e.g. "ORVEX.sys"): hosted images are not loaded
    // from disk.
    std::map<std::string, PDRIVER_INITIALIZE> binaries;
    // What %13% (the package's folder in the driver store, from which the
    // driver and its files are used) expands to: a drive-letter path.
    std::string driverStore = "C:\\Windows\\System32\\DriverStore\\FileRepository\\package";
    // Registry value names the driver reads, per place: "driver" (the
    // device's driver key) and "parameters" (the service key's Parameters
    // subkey). A place listed here refuses any other name; a place not
    // listed takes any name.
    std::map<std::string, std::set<std::string>> knownValues;
    // Called on the manager thread once per device instance, after the INF's
    // values are in the device's driver key and before the driver is loaded
    // and its AddDevice runs: the point where a co-installer's post-processing
    // of the device install (or an administrator's edit) changes what the INF
    // wrote. Empty: nothing is called.
    std::function<void(PDEVICE_OBJECT pdo)> deviceInstalled;
};

// What an install did.
struct InfInstallation {
    std::string service;                  // the function driver's service name
    std::string serviceKey;               // its full registry path
    std::vector<std::string> hardwareIds; // from the x64 models section, in order

    // Whether one of `ids` (a device's hardware or compatible IDs) is named
    // by the models section, i.e. whether the device gets this driver.
    bool Matches(const std::vector<std::string>& ids) const;
};

struct InfInstaller {
    // Check the whole INF and install its driver: on success the service key
    // exists and the driver is registered with the plug-and-play manager.
    // On any problem nothing is written or registered, and *error names the
    // INF line ("ORVEX.inf(12): ...").
    static std::optional<InfInstallation> Install(const Inf& inf, const InfOptions& options, std::string* error);
    static std::optional<InfInstallation> Install(const std::string& path, const InfOptions& options,
                                                  std::string* error);
};

}  // namespace hosted
