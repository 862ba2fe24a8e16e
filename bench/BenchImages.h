// The firmware images every benchmark updates a camera to: a 4 MiB ISP image,
// a 256 KiB audio image and a 192 KiB FX3 boot image, built once per process.
#pragma once

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

}  // namespace orvex::bench
