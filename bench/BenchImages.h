// The firmware images every benchmark updates a camera to: a 4 MiB ISP image,
// a 256 KiB audio image and a 192 KiB FX3 boot image, built once per process.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "Firmware.h"

namespace orvex::bench {

inline const orvex::firmware::Bytes& IspImage() {
    static const orvex::firmware::Bytes b = orvex::firmware::MakeIspImage({.size = 4 << 20, .text = "12.34.56"});
    return b;
}
inline const orvex::firmware::Bytes& AudImage() {
    static const orvex::firmware::Bytes b = orvex::firmware::MakeAudImage({.size = 256 << 10, .version = 6});
    return b;
}
inline const orvex::firmware::Bytes& Fx3Image() {
    static const orvex::firmware::Bytes b = orvex::firmware::MakeFx3Image({.size = 192 << 10, .version = {1, 2, 4}});
    return b;
}

// Writes the three images and the version file that names them into `dir`
// (mapped as drive C: by the benchmarks).
inline void WriteFirmwareFolder(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    auto write = [&](const char* name, const orvex::firmware::Bytes& b) {
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    };
    write("isp.bin", IspImage());
    write("aud.bin", AudImage());
    write("fx3.img", Fx3Image());
    const std::string v = orvex::firmware::VersionFileText(10204, 0x0C2238, 6);
    write("version.txt", orvex::firmware::Bytes(v.begin(), v.end()));
}

}  // namespace orvex::bench
