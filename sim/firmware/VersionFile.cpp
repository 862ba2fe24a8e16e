#include "Firmware.h"

#include <cstdio>

namespace orvex::firmware {

std::string VersionFileText(const VersionFileEntries& e) {
    std::string text;
    if (e.fx3) text += "UVC_FX3=" + *e.fx3 + "\r\n";
    if (e.isp) text += "UVC_ISP=" + *e.isp + "\r\n";
    if (e.aud) text += "UVC_AUD=" + *e.aud + "\r\n";
    return text;
}

std::string VersionFileText(std::optional<uint32_t> fx3, std::optional<uint32_t> isp, std::optional<uint32_t> aud) {
    VersionFileEntries e;
    char buf[16];
    if (fx3) {
        std::snprintf(buf, sizeof buf, "%06u", *fx3 % 1000000u);
        e.fx3 = buf;
    }
    if (isp) {
        std::snprintf(buf, sizeof buf, "%06X", *isp & 0xFFFFFFu);
        e.isp = buf;
    }
    if (aud) {
        std::snprintf(buf, sizeof buf, "%06X", *aud & 0xFFFFFFu);
        e.aud = buf;
    }
    return VersionFileText(e);
}

}  // namespace orvex::firmware
