#!/usr/bin/python3
"""Checks the built ORVEX.sys image.

Usage: check_pe.py PATH [--signed CERT]
       (exit 0 pass, 1 fail, 77 skipped when PATH is empty)

Checked: x64 machine, native subsystem, an entry point inside executable code,
relocatable image with no writable code, a valid image checksum, imports only
from the kernel-mode modules the driver may use and none of a C or C++
runtime, no static constructors (nothing would run them), and the version
resource string for string. With --signed: an Authenticode signature that
osslsigncode verifies against CERT (the test certificate, PEM), held in a
certificate table at the end of the file as the loader expects.
"""
import re
import shutil
import struct
import subprocess
import sys

SKIP = 77

ALLOWED_MODULES = {"ntoskrnl.exe", "hal.dll", "ks.sys", "usbd.sys", "wmilib.sys"}

# Names a C or C++ runtime would contribute: Itanium-mangled C++ (operator
# new/delete, ...), C++ ABI support, MSVC-mangled names and C runtime entries.
RUNTIME_NAME = re.compile(
    r"^(_Z|__cxa_|__gxx_|_Unwind_|__CxxFrameHandler|_CxxThrowException|__RTDynamicCast|__std_|\?\?|\?"
    r"|_purecall$|_initterm|atexit$|_onexit$|__dllonexit$|_amsg_exit$|__getmainargs$|__set_app_type$"
    r"|malloc$|calloc$|realloc$|free$|abort$|exit$|_exit$|_errno$|__acrt_|__stdio_)"
)

EXPECTED_STRINGS = {
    b"CompanyName": b"ORVEX",
    b"FileDescription": b"Frimware Update driver",
    b"FileVersion": b"1, 0, 0, 3",
    b"InternalName": b"ORVEX",
    b"OriginalFilename": b"ORVEX.sys",
    b"ProductName": b" ORVEX",
    b"ProductVersion": b"1, 0, 0, 1",
}
EXPECTED_LANG = b"040c04b0"
EXPECTED_TRANSLATION = [0x040C, 0x04B0]


def check_imports(imports):
    """imports: list of (module name, [function names or None for ordinals])."""
    errors = []
    for module, names in imports:
        if module.lower() not in ALLOWED_MODULES:
            errors.append(f"import from a module a driver may not use: {module}")
        for name in names:
            if name is None:
                errors.append(f"import by ordinal from {module}")
            elif RUNTIME_NAME.match(name):
                errors.append(f"C/C++ runtime import {name} from {module}")
    return errors


# Routines the driver calls to serve plug and play, power and WMI, each from
# the module that exports it; a driver missing one of them would load and
# never answer those requests.
REQUIRED_IMPORTS = {
    "ks.sys": {"KsCreateDevice", "KsDispatchIrp"},
    "ntoskrnl.exe": {"PoCallDriver", "PoRequestPowerIrp", "PoStartNextPowerIrp", "PoSetPowerState",
                     "IoWMIRegistrationControl", "IoOpenDeviceRegistryKey", "IoGetDeviceProperty",
                     "IoAllocateIrp", "IoCancelIrp"},
    "wmilib.sys": {"WmiSystemControl", "WmiCompleteRequest"},
}


def check_required_imports(imports):
    """imports: as for check_imports."""
    present = {}
    for module, names in imports:
        present.setdefault(module.lower(), set()).update(n for n in names if n)
    errors = []
    for module, names in sorted(REQUIRED_IMPORTS.items()):
        for name in sorted(names - present.get(module, set())):
            errors.append(f"missing import {name} from {module}")
    return errors


def check_version(lang_tables, translations):
    """lang_tables: {LangID: {key: value}}; translations: list of [lang, codepage]."""
    errors = []
    if list(lang_tables) != [EXPECTED_LANG]:
        errors.append(f"string tables {list(lang_tables)}, expected only {EXPECTED_LANG!r}")
    strings = lang_tables.get(EXPECTED_LANG, {})
    for key, want in EXPECTED_STRINGS.items():
        got = strings.get(key)
        if got != want:
            errors.append(f"version string {key.decode()}: {got!r}, expected {want!r}")
    for key in strings:
        if key not in EXPECTED_STRINGS:
            errors.append(f"unexpected version string {key.decode(errors='replace')}")
    if translations != [EXPECTED_TRANSLATION]:
        errors.append(f"Translation {translations}, expected {[EXPECTED_TRANSLATION]}")
    return errors


def check_ctor_list(words):
    """words: the 64-bit words from __CTOR_LIST__ on: -1, then 0 when empty."""
    if len(words) < 2 or words[0] != 0xFFFFFFFFFFFFFFFF:
        return ["__CTOR_LIST__ does not start with its -1 marker"]
    if words[1] != 0:
        return ["static constructors present: no runtime runs them in a kernel image"]
    return []


def coff_symbols(data, pe):
    """Yields (name, section number, value) from the image's COFF symbol table."""
    table = pe.FILE_HEADER.PointerToSymbolTable
    count = pe.FILE_HEADER.NumberOfSymbols
    if not table or not count:
        return
    strings = table + 18 * count
    i = 0
    while i < count:
        raw = data[table + 18 * i: table + 18 * (i + 1)]
        name_field, value, section, _type, _cls, aux = struct.unpack("<8sIhHBB", raw)
        if name_field[:4] == b"\0\0\0\0":
            off = strings + struct.unpack("<I", name_field[4:])[0]
            name = data[off:data.index(b"\0", off)]
        else:
            name = name_field.rstrip(b"\0")
        yield name.decode(errors="replace"), section, value
        i += 1 + aux


def read_image(path):
    import pefile  # Debian's python3-pefile

    pe = pefile.PE(path)
    data = bytes(pe.__data__)
    errors = []

    fh = pe.FILE_HEADER
    if fh.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
        errors.append(f"machine {fh.Machine:#x}, expected x64")
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"]:
        errors.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, expected native (1)")
    if not fh.IMAGE_FILE_EXECUTABLE_IMAGE:
        errors.append("not marked as an executable image")
    if fh.IMAGE_FILE_DLL:
        errors.append("marked as a DLL")
    if fh.IMAGE_FILE_RELOCS_STRIPPED:
        errors.append("relocations stripped: the kernel loads images at any address")

    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    if entry == 0:
        errors.append("no entry point")
    else:
        section = pe.get_section_by_rva(entry)
        if section is None or not section.IMAGE_SCN_MEM_EXECUTE:
            errors.append(f"entry point {entry:#x} not in executable code")

    for s in pe.sections:
        if s.IMAGE_SCN_MEM_EXECUTE and s.IMAGE_SCN_MEM_WRITE:
            errors.append(f"section {s.Name.decode().rstrip(chr(0))} is both writable and executable")

    if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        errors.append(f"image checksum {pe.OPTIONAL_HEADER.CheckSum:#x}, computed {pe.generate_checksum():#x}")

    imports = []
    for entry_ in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = [imp.name.decode() if imp.name else None for imp in entry_.imports]
        imports.append((entry_.dll.decode(), names))
    if not imports:
        errors.append("no imports at all")
    errors += check_imports(imports)
    errors += check_required_imports(imports)

    lang_tables, translations = {}, []
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            if block.Key == b"StringFileInfo":
                for table in block.StringTable:
                    lang_tables[table.LangID] = dict(table.entries)
            elif block.Key == b"VarFileInfo":
                for var in block.Var:
                    value = var.entry.get(b"Translation")
                    if value is not None:
                        translations.append([int(v, 16) for v in value.split()])
    errors += check_version(lang_tables, translations)

    ctor = [(sec, val) for name, sec, val in coff_symbols(data, pe) if name in ("__CTOR_LIST__", "___CTOR_LIST__")]
    if ctor:
        sec, val = ctor[0]
        rva = pe.sections[sec - 1].VirtualAddress + val
        errors += check_ctor_list([pe.get_qword_at_rva(rva), pe.get_qword_at_rva(rva + 8)])
    else:
        print("note: no symbol table, static constructor check not done")

    return errors


def check_certificate_table(offset, size, file_size):
    """The security directory holds a file offset (not an RVA): the table must
    be present, 8-byte aligned and end the file."""
    if not offset or not size:
        return ["no certificate table: the image is not signed"]
    errors = []
    if offset % 8:
        errors.append(f"certificate table at {offset:#x} is not 8-byte aligned")
    if offset + size != file_size:
        errors.append(f"certificate table ({offset:#x}+{size:#x}) does not end the file ({file_size:#x})")
    return errors


def check_signature(path, cert):
    import pefile

    pe = pefile.PE(path, fast_load=True)
    sec = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    errors = check_certificate_table(sec.VirtualAddress, sec.Size, len(pe.__data__))
    tool = shutil.which("osslsigncode")
    if not tool:
        return errors + ["osslsigncode not found (Debian: osslsigncode)"]
    run = subprocess.run([tool, "verify", "-in", path, "-CAfile", cert], capture_output=True, text=True)
    if run.returncode != 0 or "Signature verification: ok" not in run.stdout:
        tail = (run.stdout + run.stderr).strip().splitlines()[-3:]
        errors.append("signature does not verify: " + " / ".join(tail))
    return errors


def main(argv):
    if len(argv) < 2 or not argv[1]:
        print("ORVEX_SYS not set: configure with -DORVEX_SYS=/path/to/ORVEX.sys to check the driver image")
        return SKIP
    errors = read_image(argv[1])
    if len(argv) >= 4 and argv[2] == "--signed":
        errors += check_signature(argv[1], argv[3])
    for e in errors:
        print(f"FAIL: {e}")
    if errors:
        return 1
    print(f"{argv[1]}: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
