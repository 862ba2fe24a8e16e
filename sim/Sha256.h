// SHA-256 (FIPS 180-4) for the simulator's content reports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace orvex::sim {

class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t length);
    std::array<uint8_t, 32> Final();

    // Lower-case hex digest of a byte range.
    static std::string Hex(std::span<const uint8_t> bytes);

private:
    void Block(const uint8_t* p);
    std::array<uint32_t, 8> h_;
    std::array<uint8_t, 64> buf_{};
    size_t used_ = 0;
    uint64_t total_ = 0;
};

}  // namespace orvex::sim
