# ORVEX.inf, generated into the build tree from driver/package/ORVEX.inf.in.
# Included by both builds: the Windows build packages it with ORVEX.sys, the
# hosted build installs the driver from it.

set(ORVEX_INF_HARDWARE_ID "USB\\VID_1209&PID_0CA3" CACHE STRING
    "Hardware ID of the camera the INF installs the driver for")
set(ORVEX_INF_LOG_MASK "0x00000001" CACHE STRING
    "Log mask the INF writes to the service's Parameters\\Logs (0x1 errors, 0x20 trace)")
set(ORVEX_INF_DRIVER_DATE "12/01/2026" CACHE STRING "DriverVer date of the INF (mm/dd/yyyy)")
set(ORVEX_INF_DRIVER_VERSION "1.0.0.3" CACHE STRING "DriverVer version of the INF (w.x.y.z)")
# File names of the firmware the package installs beside the driver (its
# folder in the driver store); the INF writes their full paths to the
# device's driver key.
set(ORVEX_FIRMWARE_FX3 "fx3.img" CACHE STRING "FX3 boot image file of the package")
set(ORVEX_FIRMWARE_ISP "isp.bin" CACHE STRING "ISP firmware file of the package")
set(ORVEX_FIRMWARE_AUD "aud.bin" CACHE STRING "Audio firmware file of the package")
set(ORVEX_FIRMWARE_VERSION "version.txt" CACHE STRING "Version file of the package")

set(ORVEX_INF ${CMAKE_BINARY_DIR}/ORVEX.inf)
configure_file(${CMAKE_CURRENT_LIST_DIR}/../driver/package/ORVEX.inf.in ${ORVEX_INF} @ONLY NEWLINE_STYLE CRLF)
