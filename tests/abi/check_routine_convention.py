#!/usr/bin/env python3
"""Every routine hosted/include declares must take the Windows x64 calling
convention, or a driver image built for Windows would call it with its
arguments in the wrong registers.

Finds the routine declarations of the headers, then compiles one static_assert
per routine that its address is a pointer to an ms_abi function. A routine of
the other convention (planted by the script itself) must be caught too, so
the check cannot pass by seeing nothing.

usage: check_routine_convention.py CXX INCLUDE_DIR
"""
import os
import re
import subprocess
import sys
import tempfile

HEADERS = ["ntddk.h", "ntifs.h", "usbdi.h", "usbdlib.h", "ks.h", "wmilib.h"]

PROBE = """
template <class R, class... A> constexpr bool Windows(R (__attribute__((ms_abi)) *)(A...)) { return true; }
template <class R, class... A> constexpr bool Windows(R (*)(A...)) { return false; }
template <class R, class... A> constexpr bool Windows(R (__attribute__((ms_abi)) *)(A..., ...)) { return true; }
template <class R, class... A> constexpr bool Windows(R (*)(A..., ...)) { return false; }
extern "C" int PlantedSysvRoutine(int);
"""


def routine_names(include_dir):
    names = set()
    for name in sorted(os.listdir(include_dir)):
        if not name.endswith(".h"):
            continue
        text = open(os.path.join(include_dir, name), encoding="utf-8").read()
        text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
        text = re.sub(r"//[^\n]*", "", text)
        text = re.sub(r"^[ \t]*#(?:[^\n]*\\\n)*[^\n]*", "", text, flags=re.M)
        for statement in re.split(r"[;{}]", text):
            statement = " ".join(statement.split())
            m = re.match(r'^(?:extern "C" )?((?:[A-Za-z_]\w*[ *]+)+?)([A-Za-z_]\w*) ?\((.*)\)$', statement)
            if not m or re.search(r"\b(typedef|return|FORCEINLINE|static|inline)\b", m.group(1)):
                continue
            names.add(m.group(2))
    return sorted(names)


def main():
    cxx, include_dir = sys.argv[1], sys.argv[2]
    names = routine_names(include_dir)
    if len(names) < 100:
        print(f"only {len(names)} routine declarations found in {include_dir}: the scan is broken")
        return 1
    source = "".join(f"#include <{h}>\n" for h in HEADERS) + PROBE
    source += "".join(f'static_assert(Windows(&{n}), "{n}");\n' for n in names + ["PlantedSysvRoutine"])
    with tempfile.NamedTemporaryFile("w", suffix=".cpp", delete=False) as f:
        f.write(source)
        path = f.name
    try:
        result = subprocess.run([cxx, "-std=c++20", "-fsyntax-only", "-I", include_dir, path],
                                capture_output=True, text=True)
    finally:
        os.unlink(path)
    failed = sorted(set(re.findall(r"static assertion failed: (\w+)", result.stderr)))
    other = [l for l in result.stderr.splitlines() if "error:" in l and "static assertion failed" not in l]
    if other:
        print("the probe does not compile:\n" + "\n".join(other))
        return 1
    if failed != ["PlantedSysvRoutine"]:
        wrong = [n for n in failed if n != "PlantedSysvRoutine"]
        if wrong:
            print("routines without the Windows calling convention: " + ", ".join(wrong))
        if "PlantedSysvRoutine" not in failed:
            print("a routine of the other convention went unnoticed: the check is broken")
        return 1
    print(f"{len(names)} routines, all with the Windows x64 calling convention")
    return 0


if __name__ == "__main__":
    sys.exit(main())
