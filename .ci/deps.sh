# Sourced by run-tests.sh and run-demo.sh: installs, on a Debian machine, the
# packages the builds need that are not there yet (apt-get, as root).

orvex_install_missing() {
    local need=()
    have_cmd() { command -v "$1" >/dev/null 2>&1; }
    have_cmd cmake || need+=(cmake)
    have_cmd ninja || need+=(ninja-build)
    have_cmd g++ || need+=(g++)
    [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
    [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
    [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
    [ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
    [ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
    have_cmd x86_64-w64-mingw32-g++ || need+=(g++-mingw-w64-x86-64-win32)
    [ -f /usr/share/mingw-w64/include/ddk/ntddk.h ] || need+=(mingw-w64-x86-64-dev)
    have_cmd x86_64-w64-mingw32-windres || need+=(binutils-mingw-w64-x86-64)
    { [ -x /usr/bin/python3 ] && /usr/bin/python3 -c 'import pefile' 2>/dev/null; } || need+=(python3-pefile)
    have_cmd tshark || need+=(tshark)
    have_cmd openssl || need+=(openssl)
    have_cmd osslsigncode || need+=(osslsigncode)
    have_cmd rsvg-convert || need+=(librsvg2-bin)
    [ -f /usr/include/libxml2/libxml/parser.h ] || need+=(libxml2-dev)
    # Fuzzing and static analysis: clang, libFuzzer's runtime (only recommended
    # by clang-14, so absent from a --no-install-recommends install), clang-tidy.
    have_cmd clang++ || need+=(clang)
    compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null || need+=(libclang-rt-14-dev)
    have_cmd clang-tidy || need+=(clang-tidy)

    if [ ${#need[@]} -eq 0 ]; then
        return 0
    fi
    echo "== installing: ${need[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: missing packages; run as root or install them: apt-get install ${need[*]}" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # tshark's package would ask whether non-root users may capture; answer no.
    if have_cmd debconf-set-selections; then
        echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    fi
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${need[@]}"
}
