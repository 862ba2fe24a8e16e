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


class Imports(unittest.TestCase):
    def test_good_imports_pass(self):
        self.assertEqual(check_pe.check_imports(GOOD_IMPORTS), [])  # module names in any case
        self.assertEqual(check_pe.check_required_imports(FRAME_IMPORTS), [])

    def test_a_missing_routine_is_named_and_one_from_the_wrong_module_is_missing(self):
        imports = [(m, [n for n in names if n != "PoRequestPowerIrp"]) for m, names in FRAME_IMPORTS]
        self.assertEqual(check_pe.check_required_imports(imports),
                         ["missing import PoRequestPowerIrp from ntoskrnl.exe"])
        imports = [(m if m != "WMILIB.SYS" else "ntoskrnl.exe", names) for m, names in FRAME_IMPORTS]
        self.assertIn("missing import WmiSystemControl from wmilib.sys",
                      check_pe.check_required_imports(imports))

    def test_runtime_modules_names_and_ordinals_are_rejected(self):
        cases = [GOOD_IMPORTS + [(module, ["memcpy"])]
                 for module in ["msvcrt.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll", "ucrtbase.dll", "KERNEL32.dll"]]
        # Runtime names even from allowed modules.
        cases += [[("ntoskrnl.exe", ["DbgPrint", name])]
                  for name in ["_Znwy", "_ZdlPvy", "__cxa_pure_virtual", "__cxa_atexit", "__gxx_personality_seh0",
                               "_Unwind_Resume", "??2@YAPEAX_K@Z", "_purecall", "atexit", "malloc", "free"]]
        cases.append([("ntoskrnl.exe", [None])])
        for imports in cases:
            with self.subTest(imports=imports[-1]):
                self.assertTrue(check_pe.check_imports(imports))


class Version(unittest.TestCase):
    def test_expected_resource_passes_and_every_change_fails(self):
        good, lang, translation = dict(check_pe.EXPECTED_STRINGS), check_pe.EXPECTED_LANG, [[0x040C, 0x04B0]]
        self.assertEqual(check_pe.check_version({lang: good}, translation), [])
        cases = []
        # Each string is compared exactly.
        for key, value in {b"ProductName": b"ORVEX", b"FileDescription": b"Firmware Update driver",
                           b"FileVersion": b"1, 0, 0, 3\0", b"OriginalFilename": b"orvex.sys"}.items():
            cases.append(({lang: {**good, key: value}}, translation))
        missing = dict(good)
        del missing[b"CompanyName"]
        cases += [({lang: missing}, translation), ({lang: {**good, b"LegalCopyright": b"x"}}, translation),
                  ({b"040904b0": good}, translation), ({lang: good}, [[0x0409, 0x04B0]]), ({lang: good}, [])]
        for tables, translations in cases:
            with self.subTest(tables=tables, translations=translations):
                self.assertTrue(check_pe.check_version(tables, translations))


class Checks(unittest.TestCase):
    def test_static_constructors(self):
        self.assertEqual(check_pe.check_ctor_list([0xFFFFFFFFFFFFFFFF, 0]), [])
        self.assertTrue(check_pe.check_ctor_list([0xFFFFFFFFFFFFFFFF, 0x140001000]))
        self.assertTrue(check_pe.check_ctor_list([0, 0]))

    def test_no_path_means_skipped(self):
        self.assertEqual(check_pe.main(["check_pe.py", ""]), check_pe.SKIP)
        self.assertEqual(check_pe.main(["check_pe.py"]), check_pe.SKIP)

    def test_only_a_certificate_table_ending_the_file_passes(self):
        self.assertEqual(check_pe.check_certificate_table(0x2000, 0x500, 0x2500), [])
        # Missing, empty, misaligned, inside the file.
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
