# Cross toolchain for ORVEX.sys: mingw-w64 targeting Windows x64.
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ORVEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${ORVEX_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVEX_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER  ${ORVEX_MINGW_TRIPLE}-windres)
set(CMAKE_AR           ${ORVEX_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       ${ORVEX_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ORVEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler checks would try to link a console program against the C
# runtime; a kernel driver never links one, so only check that it compiles.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
