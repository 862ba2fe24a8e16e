// "orvex-sim make": firmware and version files written with the firmware
// builders, for scenarios made by hand or by scripts.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace orvex::cli {

// Adds the subcommands fx3, isp, aud and version to `make`.
void AddMakeCommands(CLI::App& make);
// Carries out the subcommand that was parsed; prints what it wrote.
// Throws std::runtime_error on a value the builders cannot use.
bool RunMakeCommand(const CLI::App& make);

// "1.2.3" -> {1, 2, 3} (each 0..255); nullopt when malformed.
std::optional<std::array<uint8_t, 3>> ParseDottedVersion(const std::string& text);
// "12.34.56" -> 0x0C2238 (each pair 0..99); nullopt when malformed.
std::optional<uint32_t> ParseIspVersionText(const std::string& text);

// Writes bytes to a file; throws std::runtime_error when that fails.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

}  // namespace orvex::cli
