#!/usr/bin/python3
"""The image checker must reject what it is there to catch."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_pe  # noqa: E402

GOOD_IMPORTS = [
    ("ntoskrnl.exe", ["DbgPrint", "ExAllocatePoolWithTag", "memset", "__C_specific_handler"]),
    ("HAL.dll", ["KeQueryPerformanceCounter"]),
    ("ks.sys", ["KsCreateDevice"]),
    ("USBD.SYS", ["USBD_ParseConfigurationDescriptorEx"]),
    ("WMILIB.SYS", ["WmiSystemControl"]),
]


FRAME_IMPORTS = [
    ("ntoskrnl.exe", ["PoCallDriver", "PoRequestPowerIrp", "PoStartNextPowerIrp", "PoSetPowerState",
                      "IoWMIRegistrationControl", "IoOpenDeviceRegistryKey", "IoGetDeviceProperty",
                      "IoAllocateIrp", "IoCancelIrp"]),
    ("ks.sys", ["KsCreateDevice", "KsDispatchIrp"]),
    ("WMILIB.SYS", ["WmiSystemControl", "WmiCompleteRequest"]),
]


class RequiredImports(unittest.TestCase):
    def test_the_frame_routines_pass(self):
        self.assertEqual(check_pe.check_required_imports(FRAME_IMPORTS), [])

    def test_a_missing_routine_is_named(self):
        imports = [(m, [n for n in names if n != "PoRequestPowerIrp"]) for m, names in FRAME_IMPORTS]
        self.assertEqual(check_pe.check_required_imports(imports),
                         ["missing import PoRequestPowerIrp from ntoskrnl.exe"])

    def test_a_routine_from_the_wrong_module_is_missing(self):
        imports = [(m if m != "WMILIB.SYS" else "ntoskrnl.exe", names) for m, names in FRAME_IMPORTS]
        self.assertIn("missing import WmiSystemControl from wmilib.sys",
                      check_pe.check_required_imports(imports))


class Imports(unittest.TestCase):
    def test_kernel_modules_pass_in_any_case(self):
        self.assertEqual(check_pe.check_imports(GOOD_IMPORTS), [])

    def test_runtime_modules_are_rejected(self):
        for module in ["msvcrt.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll", "ucrtbase.dll", "KERNEL32.dll"]:
            with self.subTest(module=module):
                self.assertTrue(check_pe.check_imports(GOOD_IMPORTS + [(module, ["memcpy"])]))

    def test_runtime_names_are_rejected_even_from_allowed_modules(self):
        for name in ["_Znwy", "_ZdlPvy", "__cxa_pure_virtual", "__cxa_atexit", "__gxx_personality_seh0",
                     "_Unwind_Resume", "??2@YAPEAX_K@Z", "_purecall", "atexit", "malloc", "free"]:
            with self.subTest(name=name):
                self.assertTrue(check_pe.check_imports([("ntoskrnl.exe", ["DbgPrint", name])]))

    def test_ordinal_imports_are_rejected(self):
        self.assertTrue(check_pe.check_imports([("ntoskrnl.exe", [None])]))


class Version(unittest.TestCase):
    GOOD = {check_pe.EXPECTED_LANG: dict(check_pe.EXPECTED_STRINGS)}

    def test_expected_resource_passes(self):
        self.assertEqual(check_pe.check_version(self.GOOD, [[0x040C, 0x04B0]]), [])

    def test_each_string_is_compared_exactly(self):
        changes = {b"ProductName": b"ORVEX", b"FileDescription": b"Firmware Update driver",
                   b"FileVersion": b"1, 0, 0, 3\0", b"OriginalFilename": b"orvex.sys"}
        for key, value in changes.items():
            with self.subTest(key=key):
                strings = dict(check_pe.EXPECTED_STRINGS)
                strings[key] = value
                self.assertTrue(check_pe.check_version({check_pe.EXPECTED_LANG: strings}, [[0x040C, 0x04B0]]))

    def test_missing_or_extra_strings_and_wrong_language(self):
        missing = dict(check_pe.EXPECTED_STRINGS)
        del missing[b"CompanyName"]
        self.assertTrue(check_pe.check_version({check_pe.EXPECTED_LANG: missing}, [[0x040C, 0x04B0]]))
        extra = dict(check_pe.EXPECTED_STRINGS)
        extra[b"LegalCopyright"] = b"x"
        self.assertTrue(check_pe.check_version({check_pe.EXPECTED_LANG: extra}, [[0x040C, 0x04B0]]))
        self.assertTrue(check_pe.check_version({b"040904b0": dict(check_pe.EXPECTED_STRINGS)}, [[0x040C, 0x04B0]]))
        self.assertTrue(check_pe.check_version(self.GOOD, [[0x0409, 0x04B0]]))
        self.assertTrue(check_pe.check_version(self.GOOD, []))


class StaticConstructors(unittest.TestCase):
    def test_empty_list_passes_and_an_entry_fails(self):
        self.assertEqual(check_pe.check_ctor_list([0xFFFFFFFFFFFFFFFF, 0]), [])
        self.assertTrue(check_pe.check_ctor_list([0xFFFFFFFFFFFFFFFF, 0x140001000]))
        self.assertTrue(check_pe.check_ctor_list([0, 0]))


class Skip(unittest.TestCase):
    def test_no_path_means_skipped(self):
        self.assertEqual(check_pe.main(["check_pe.py", ""]), check_pe.SKIP)
        self.assertEqual(check_pe.main(["check_pe.py"]), check_pe.SKIP)


class CertificateTable(unittest.TestCase):
    def test_a_table_ending_the_file_passes(self):
        self.assertEqual(check_pe.check_certificate_table(0x2000, 0x500, 0x2500), [])

    def test_missing_misaligned_or_inner_tables_are_rejected(self):
        for offset, size in [(0, 0), (0x2000, 0), (0x2004, 0x4FC), (0x2000, 0x400)]:
            with self.subTest(offset=offset, size=size):
                self.assertTrue(check_pe.check_certificate_table(offset, size, 0x2500))


PACKAGE = os.environ.get("ORVEX_PACKAGE_DIR", "")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@unittest.skipUnless(PACKAGE, "ORVEX_PACKAGE_DIR not set")
class SignedPackage(unittest.TestCase):
    """The package's signed image, and copies of it broken after signing."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.sys = os.path.join(PACKAGE, "ORVEX.sys")
        self.cert = os.path.join(PACKAGE, "ORVEX-test.cer")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def copy(self):
        path = os.path.join(self.tmp, "ORVEX.sys")
        shutil.copyfile(self.sys, path)
        return path

    def test_package_holds_the_signed_driver_and_its_inf(self):
        for name in ["ORVEX.sys", "ORVEX.inf", "ORVEX-test.cer", "README.txt"]:
            self.assertTrue(os.path.isfile(os.path.join(PACKAGE, name)), name)
        self.assertEqual(check_pe.check_signature(self.sys, self.cert), [])

    def test_code_changed_after_signing_fails_even_with_a_new_checksum(self):
        import pefile

        path = self.copy()
        pe = pefile.PE(path)
        text = next(s for s in pe.sections if s.Name.startswith(b".text"))
        at = text.PointerToRawData + 16
        pe.close()
        with open(path, "r+b") as f:
            f.seek(at)
            byte = f.read(1)
            f.seek(at)
            f.write(bytes([byte[0] ^ 0xFF]))
        subprocess.run([sys.executable, os.path.join(ROOT, "cmake", "pe_checksum.py"), path], check=True)
        self.assertTrue(check_pe.check_signature(path, self.cert))

    def test_another_certificate_is_not_trusted(self):
        other = os.path.join(self.tmp, "other.cer")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=other",
                        "-keyout", os.path.join(self.tmp, "other.key"), "-out", other],
                       check=True, capture_output=True)
        self.assertTrue(check_pe.check_signature(self.sys, other))


if __name__ == "__main__":
    unittest.main()
