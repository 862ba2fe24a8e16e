# ORVEX.sys: the driver sources cross-compiled with mingw-w64 into an x64
# kernel-mode image. Included by the top-level CMakeLists.txt when the
# toolchain file cmake/mingw-w64-x86_64.cmake sets CMAKE_SYSTEM_NAME Windows.
#
# The image links no C or C++ runtime and imports only from ntoskrnl.exe,
# HAL.dll, ks.sys, USBD.SYS and WMILIB.SYS.

enable_language(RC)

# mingw's kernel headers (ntddk.h, wdm.h, usbdlib.h, wmilib.h, ...) live in the
# ddk subfolder of its include directory; ks.h and usbdi.h sit in the folder
# itself, which the compiler searches anyway.
find_path(ORVEX_DDK_INCLUDE_DIR ntddk.h
          PATHS /usr/share/mingw-w64/include/ddk /usr/${ORVEX_MINGW_TRIPLE}/include/ddk
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT ORVEX_DDK_INCLUDE_DIR)
  message(FATAL_ERROR "mingw-w64 DDK headers (ddk/ntddk.h) not found: install mingw-w64-x86-64-dev")
endif()

# No console/GUI runtime libraries (kernel32, user32, ...) on the link line.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

add_executable(ORVEX
  ${ORVEX_DRIVER_SOURCES}
  ${CMAKE_CURRENT_SOURCE_DIR}/driver/resource/ORVEX.rc)

set_target_properties(ORVEX PROPERTIES
  OUTPUT_NAME ORVEX
  SUFFIX .sys
  CXX_STANDARD 17
  CXX_STANDARD_REQUIRED ON
  CXX_EXTENSIONS OFF)

target_include_directories(ORVEX PRIVATE ${ORVEX_DRIVER_DIRS})
target_include_directories(ORVEX SYSTEM PRIVATE ${ORVEX_DDK_INCLUDE_DIR})

target_compile_definitions(ORVEX PRIVATE
  ORVEX_KERNEL_BUILD=1
  _AMD64_ AMD64 _WIN64
  _WIN32_WINNT=0x0A00 NTDDI_VERSION=0x0A000000
  # mingw's DDK headers and its compiler intrinsics both define these two.
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet
  __INTRINSIC_DEFINED_InterlockedBitTestAndReset)

# --param=min-pagesize=0: gcc 12 otherwise takes the gs-relative reads of
# KeGetCurrentThread and friends (offsets below 4096 from segment base 0) for
# null-pointer accesses and fails them under -Warray-bounds.
target_compile_options(ORVEX PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${ORVEX_DRIVER_CXX_FLAGS}>
  $<$<COMPILE_LANGUAGE:CXX>:-ffreestanding -fno-stack-protector -fno-common -fno-strict-aliasing -O2>
  $<$<COMPILE_LANGUAGE:CXX>:--param=min-pagesize=0>)

target_link_options(ORVEX PRIVATE
  -nostdlib -nostartfiles
  -Wl,--subsystem,native
  -Wl,--entry,DriverEntry
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
  -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
  -Wl,--image-base,0x140000000
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-undefined)

# libgcc only for the stack probe (___chkstk_ms) of large frames; everything
# else must come from the kernel's import libraries.
target_link_libraries(ORVEX PRIVATE ntoskrnl hal ks usbd wmilib gcc)

# Kernel images carry a valid PE checksum; ld leaves it zero.
find_program(ORVEX_PYTHON3 NAMES python3 REQUIRED)
add_custom_command(TARGET ORVEX POST_BUILD
  COMMAND ${ORVEX_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/pe_checksum.py $<TARGET_FILE:ORVEX>
  VERBATIM)

# ---- the driver package: `cmake --build <dir> --target package-driver` ----
# A folder (package/ORVEX) with ORVEX.sys signed with a test certificate made
# here, ORVEX.inf, the certificate (to trust on a test machine in
# test-signing mode), the package README and, when ORVEX_FIRMWARE_DIR names
# a folder, the firmware files the INF installs.
find_program(ORVEX_OPENSSL openssl)
find_program(ORVEX_OSSLSIGNCODE osslsigncode)
set(ORVEX_FIRMWARE_DIR "" CACHE PATH "Folder with the firmware files to put into the driver package (optional)")

set(ORVEX_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package/ORVEX)
set(ORVEX_TEST_CERT_DIR ${CMAKE_BINARY_DIR}/testcert)
if(ORVEX_OPENSSL AND ORVEX_OSSLSIGNCODE)
  # A self-signed code-signing certificate, made once per build tree.
  add_custom_command(
    OUTPUT ${ORVEX_TEST_CERT_DIR}/ORVEX-test.key ${ORVEX_TEST_CERT_DIR}/ORVEX-test.cer
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ORVEX_TEST_CERT_DIR}
    COMMAND ${ORVEX_OPENSSL} req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650
            -subj "/CN=ORVEX Test Signing (not for release)"
            -addext "keyUsage=critical,digitalSignature"
            -addext "extendedKeyUsage=codeSigning"
            -keyout ${ORVEX_TEST_CERT_DIR}/ORVEX-test.key
            -out ${ORVEX_TEST_CERT_DIR}/ORVEX-test.cer
    COMMENT "Creating the test-signing certificate"
    VERBATIM)

  set(ORVEX_PACKAGE_FILES
      ${ORVEX_PACKAGE_DIR}/ORVEX.sys ${ORVEX_PACKAGE_DIR}/ORVEX.inf
      ${ORVEX_PACKAGE_DIR}/ORVEX-test.cer ${ORVEX_PACKAGE_DIR}/README.txt)
  set(ORVEX_FIRMWARE_COPY "")
  if(ORVEX_FIRMWARE_DIR)
    foreach(f ${ORVEX_FIRMWARE_FX3} ${ORVEX_FIRMWARE_ISP} ${ORVEX_FIRMWARE_AUD} ${ORVEX_FIRMWARE_VERSION})
      list(APPEND ORVEX_FIRMWARE_COPY COMMAND ${CMAKE_COMMAND} -E copy ${ORVEX_FIRMWARE_DIR}/${f} ${ORVEX_PACKAGE_DIR}/${f})
    endforeach()
  endif()
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/driver/package/README.txt.in ${CMAKE_BINARY_DIR}/package-README.txt @ONLY)

  # Signing adds a certificate table to the image, so its PE checksum is
  # computed again afterwards (the Authenticode hash leaves the checksum out).
  add_custom_command(
    OUTPUT ${ORVEX_PACKAGE_FILES}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${ORVEX_PACKAGE_DIR}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ORVEX_PACKAGE_DIR}
    COMMAND ${ORVEX_OSSLSIGNCODE} sign -h sha256 -n "ORVEX"
            -certs ${ORVEX_TEST_CERT_DIR}/ORVEX-test.cer -key ${ORVEX_TEST_CERT_DIR}/ORVEX-test.key
            -in $<TARGET_FILE:ORVEX> -out ${ORVEX_PACKAGE_DIR}/ORVEX.sys
    COMMAND ${ORVEX_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/pe_checksum.py ${ORVEX_PACKAGE_DIR}/ORVEX.sys
    COMMAND ${CMAKE_COMMAND} -E copy ${ORVEX_INF} ${ORVEX_PACKAGE_DIR}/ORVEX.inf
    COMMAND ${CMAKE_COMMAND} -E copy ${ORVEX_TEST_CERT_DIR}/ORVEX-test.cer ${ORVEX_PACKAGE_DIR}/ORVEX-test.cer
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/package-README.txt ${ORVEX_PACKAGE_DIR}/README.txt
    ${ORVEX_FIRMWARE_COPY}
    DEPENDS ORVEX ${ORVEX_INF} ${CMAKE_BINARY_DIR}/package-README.txt
            ${ORVEX_TEST_CERT_DIR}/ORVEX-test.key ${ORVEX_TEST_CERT_DIR}/ORVEX-test.cer
            ${CMAKE_CURRENT_SOURCE_DIR}/cmake/pe_checksum.py
    COMMENT "Building the driver package in ${ORVEX_PACKAGE_DIR}"
    VERBATIM)
  add_custom_target(package-driver DEPENDS ${ORVEX_PACKAGE_FILES})
else()
  add_custom_target(package-driver
    COMMAND ${CMAKE_COMMAND} -E echo "package-driver needs openssl and osslsigncode (Debian: openssl osslsigncode)"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()
