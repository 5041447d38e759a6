#!/usr/bin/env python3
"""Checks legalnotice.exe as a file: PE form, hardening, imports and its one
resource, the manifest; or, with --bundle, that the test bundle's programs
can start on every Windows the bundle is for.
Usage: check_pe.py [--msvc] path/to/legalnotice.exe path/to/res/legalnotice.manifest
       check_pe.py --bundle PROGRAM...
       check_pe.py --size-budget   (prints the exe's size budget in bytes)
--msvc: the exe was linked through the MSVC branch (link.exe or lld-link)."""
import re
import struct
import sys
import unittest
import xml.etree.ElementTree as ET

EXE = MANIFEST = None
MSVC = False
SIZE_BUDGET = 18432  # bytes

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
# What the test bundle's programs may import: DLLs that 64-bit Windows 7 SP1
# has, and none of the functions that came later (or, on 7, only with an
# update) which this toolchain's runtime or our code could reach for. A list,
# not Windows 7's export tables, which are not at hand here.
WINDOWS_7_DLLS = SYSTEM_DLLS | {"gdi32.dll", "shell32.dll", "bcrypt.dll", "wtsapi32.dll"}
LATER_THAN_WINDOWS_7 = {
    "SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory",  # 7 only with KB2533623
    "GetSystemTimePreciseAsFileTime", "CreateFile2", "WaitOnAddress", "WakeByAddressSingle", "WakeByAddressAll",
    "GetCurrentThreadStackLimits", "SetThreadDescription", "GetThreadDescription", "GetOverlappedResultEx",
    "SetProcessMitigationPolicy", "GetProcessMitigationPolicy", "CreateFileMappingFromApp", "CompareObjectHandles",
    "GetDpiForWindow", "GetDpiForSystem", "GetSystemMetricsForDpi", "SetProcessDpiAwarenessContext",
    "SetThreadDpiAwarenessContext", "AdjustWindowRectExForDpi", "GetPointerType", "InjectTouchInput",
}
RT_MANIFEST, LANG_EN_US = 24, 1033
ASM_V1, ASM_V3 = "urn:schemas-microsoft-com:asm.v1", "urn:schemas-microsoft-com:asm.v3"


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, self.timestamp, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.os_version = struct.unpack_from("<HH", data, opt + 40)
        self.subsystem_version = struct.unpack_from("<HH", data, opt + 48)
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
        count = struct.unpack_from("<I", data, opt + 108)[0]
        self.directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(count)]
        self.sections = []
        for i in range(sections):
            at = opt + optional_size + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode()
            vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((name, vaddr, max(vsize, raw_size), raw_ptr))

    def offset(self, rva):
        for _, vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return raw + rva - vaddr
        raise ValueError("RVA %#x is in no section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode()

    def imports(self):
        """{dll name: [function names]}"""
        rva, _ = self.directories[1]
        result = {}
        at = self.offset(rva)
        while True:
            lookup, _, _, name, first_thunk = struct.unpack_from("<IIIII", self.data, at)
            if name == 0:
                return result
            functions = []
            thunk = self.offset(lookup or first_thunk)
            while True:
                entry = struct.unpack_from("<Q", self.data, thunk)[0]
                if entry == 0:
                    break
                functions.append("#%d" % (entry & 0xFFFF) if entry >> 63 else self.cstring(entry + 2))
                thunk += 8
            result[self.cstring(name)] = functions
            at += 20

    def resources(self):
        """[(type, name, language, bytes)], IDs as numbers, names as strings"""
        rva, _ = self.directories[2]
        if rva == 0:
            return []
        base = self.offset(rva)
        found = []

        def walk(at, path):
            named, ids = struct.unpack_from("<HH", self.data, base + at + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
                if key & 0x80000000:
                    length = struct.unpack_from("<H", self.data, base + (key & 0x7FFFFFFF))[0]
                    start = base + (key & 0x7FFFFFFF) + 2
                    key = self.data[start:start + 2 * length].decode("utf-16-le")
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + [key])
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found.append(tuple(path + [key]) + (self.data[start:start + size],))

        walk(0, [])
        return found


class BinaryChecks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, "rb") as f:
            cls.pe = PeFile(f.read())

    def test_fits_the_size_budget(self):
        self.assertLessEqual(len(self.pe.data), SIZE_BUDGET, "legalnotice.exe has grown past its budget")

    def test_has_no_link_time_stamp(self):
        if MSVC:
            self.skipTest("/Brepro puts a hash of the image in the time stamp field; reproducible_build checks it")
        self.assertEqual(self.pe.timestamp, 0, "a time stamp makes every build differ")

    def test_is_a_64_bit_gui_program_for_windows_6_0(self):
        self.assertEqual(self.pe.magic, 0x20B, "PE32+")
        self.assertEqual(self.pe.machine, 0x8664, "x86-64")
        self.assertEqual(self.pe.subsystem, 2, "Windows GUI subsystem")
        self.assertEqual(self.pe.os_version, (6, 0), "OS version")
        self.assertEqual(self.pe.subsystem_version, (6, 0), "subsystem version")

    def test_has_aslr_with_high_entropy_and_nx(self):
        for flag, name in [(0x0020, "high-entropy VA"), (0x0040, "dynamic base"), (0x0100, "NX compatible")]:
            self.assertTrue(self.pe.dll_characteristics & flag, name)
        self.assertFalse(self.pe.characteristics & 0x0001, "relocations stripped: ASLR could not move the image")

    def test_imports_only_system_dlls(self):
        dlls = {name.lower() for name in self.pe.imports()}
        self.assertLessEqual(dlls, SYSTEM_DLLS, "a DLL that would have to ship beside the exe")

    def test_imports_nothing_windows_6_0_lacks(self):
        # Vista and 7 have these only with KB2533623: imported, they would stop the exe from starting there.
        late = {"SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory"}
        imported = {function for functions in self.pe.imports().values() for function in functions}
        self.assertFalse(imported & late, "looked up at run time, never imported")

    def test_imports_no_banned_string_function(self):
        # Microsoft's SDL list: copies and formats that cannot be told the size of their destination.
        banned = re.compile(r"lstrcpy\w*|lstrcat\w*|strcpy|wcscpy|strcat|wcscat|sprintf|wsprintf\w*")
        imported = {function for functions in self.pe.imports().values() for function in functions}
        self.assertEqual(sorted(f for f in imported if banned.fullmatch(f)), [], "banned functions imported")

    def test_registry_use_is_open_set_close_only(self):
        advapi = {name.lower(): functions for name, functions in self.pe.imports().items()}.get("advapi32.dll")
        self.assertEqual(sorted(advapi or []), ["RegCloseKey", "RegOpenKeyExW", "RegSetValueExW"],
                         "the program never reads, creates or deletes registry data")

    def test_only_resource_is_the_manifest(self):
        resources = self.pe.resources()
        self.assertEqual([r[:3] for r in resources], [(RT_MANIFEST, 1, LANG_EN_US)])

    def test_manifest_is_the_one_in_the_sources(self):
        with open(MANIFEST, "rb") as f:
            self.assertEqual(self.pe.resources()[0][3], f.read(), "the exe is stale: rebuilt without its manifest")

    def test_manifest_is_exactly_the_elevation_request(self):
        manifest = self.pe.resources()[0][3]
        declaration = re.match(rb'<\?xml([^?]*)\?>', manifest)
        self.assertIsNotNone(declaration, "XML declaration")
        attributes = dict(re.findall(rb'(\w+)="([^"]*)"', declaration.group(1)))
        self.assertEqual(attributes.get(b"encoding", b"").upper(), b"UTF-8")
        self.assertEqual(attributes.get(b"standalone"), b"yes")
        manifest.decode("utf-8")

        def shape(element):
            self.assertFalse((element.text or "").strip(), "text in <%s>" % element.tag)
            self.assertFalse((element.tail or "").strip(), "text after <%s>" % element.tag)
            return (element.tag, dict(element.attrib), [shape(child) for child in element])

        expected = ("{%s}assembly" % ASM_V1, {"manifestVersion": "1.0"}, [
            ("{%s}trustInfo" % ASM_V3, {}, [
                ("{%s}security" % ASM_V3, {}, [
                    ("{%s}requestedPrivileges" % ASM_V3, {}, [
                        ("{%s}requestedExecutionLevel" % ASM_V3,
                         {"level": "requireAdministrator", "uiAccess": "false"}, [])])])])])
        self.assertEqual(shape(ET.fromstring(manifest)), expected)


class BundleProgramChecks(unittest.TestCase):
    programs = []

    def test_starts_on_windows_7_sp1(self):
        for program in self.programs:
            with self.subTest(program=program), open(program, "rb") as f:
                pe = PeFile(f.read())
                self.assertEqual((pe.magic, pe.machine), (0x20B, 0x8664), "PE32+ for x86-64")
                imports = pe.imports()
                self.assertLessEqual({name.lower() for name in imports}, WINDOWS_7_DLLS, "a DLL Windows 7 lacks")
                later = {function for functions in imports.values() for function in functions} & LATER_THAN_WINDOWS_7
                self.assertFalse(later, "imports what Windows 7 SP1 lacks")


if __name__ == "__main__":
    if sys.argv[1] == "--size-budget":
        sys.exit(print(SIZE_BUDGET))
    if sys.argv[1] == "--bundle":
        BundleProgramChecks.programs = sys.argv[2:]
        unittest.main(argv=sys.argv[:1], defaultTest="BundleProgramChecks", verbosity=2)
    MSVC = "--msvc" in sys.argv
    if MSVC:
        sys.argv.remove("--msvc")
    EXE, MANIFEST = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)
