"""The shipped ORVANE.exe and StartORVANE.exe as files: 32-bit GUI programs that load on
Windows 2000, import only libraries that Windows always takes from its system folder
and nothing newer, and run as the invoking user; ORVANE.exe carries every template,
text and picture as described."""

import os
import struct
import unittest
from xml.etree import ElementTree

import expected
import pe

X86_DIR = os.environ.get("ORVANE_WINDOWS_X86_DIR", "")
EXE = os.path.join(X86_DIR, "app", "ORVANE.exe")
LAUNCHER = os.path.join(X86_DIR, "release", "StartORVANE.exe")

# The libraries the programs may import: those that Windows loads from its system
# folder whatever lies beside the program or in its current folder. The others
# (RAPI.dll, psapi, the common and rich-edit controls) are loaded at run time by their
# full path in the system folder.
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "comdlg32.dll",
                "ole32.dll", "oleaut32.dll", "version.dll", "msvcrt.dll"}

ASM_V1, ASM_V2 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v2}"

# Functions that Windows 2000 lacks.
LATER_FUNCTIONS = {
    "GetTickCount64", "InitOnceExecuteOnce", "InitOnceBeginInitialize", "InitOnceComplete",
    "InitializeSRWLock", "AcquireSRWLockExclusive", "AcquireSRWLockShared", "ReleaseSRWLockExclusive",
    "ReleaseSRWLockShared", "TryAcquireSRWLockExclusive", "InitializeConditionVariable", "SleepConditionVariableCS",
    "SleepConditionVariableSRW", "WakeConditionVariable", "WakeAllConditionVariable", "FlsAlloc", "FlsFree",
    "FlsGetValue", "FlsSetValue", "InitializeCriticalSectionEx", "CreateEventExA", "CreateEventExW",
    "CreateMutexExA", "CreateMutexExW", "CreateSemaphoreExW", "GetModuleHandleExA", "GetModuleHandleExW",
    "EncodePointer", "DecodePointer", "AddVectoredExceptionHandler", "RemoveVectoredExceptionHandler",
    "GetNativeSystemInfo", "IsWow64Process", "GetProcessId", "GetThreadId", "QueryFullProcessImageNameA",
    "QueryFullProcessImageNameW", "GetSystemTimePreciseAsFileTime", "SetThreadStackGuarantee",
    "GetLogicalProcessorInformation", "GetCurrentProcessorNumber", "WaitOnAddress", "WakeByAddressSingle",
    "CompareStringEx", "LCMapStringEx", "GetLocaleInfoEx", "GetFileInformationByHandleEx", "CreateSymbolicLinkA",
    "GetFinalPathNameByHandleA", "SetFileInformationByHandle", "CancelIoEx", "GetErrorMode",
}


class Programs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.images = {path: pe.Image(path) for path in (EXE, LAUNCHER)}

    def test_headers(self):
        for path, image in self.images.items():
            with self.subTest(program=os.path.basename(path)):
                self.assertEqual(image.machine, 0x14C, "an x86 program")
                self.assertEqual(image.subsystem, 2, "the GUI subsystem")
                self.assertEqual(image.subsystem_version, (5, 0))
                self.assertEqual(image.os_version, (5, 0))

    def test_only_system_libraries_and_no_later_functions(self):
        for path, image in self.images.items():
            with self.subTest(program=os.path.basename(path)):
                imports = image.imports()
                self.assertIn("kernel32.dll", {name.lower() for name in imports})
                for dll, functions in imports.items():
                    self.assertIn(dll.lower(), ALLOWED_DLLS, f"import from {dll}")
                    for function in functions:
                        self.assertFalse(function.startswith("K32"), f"{dll}!{function}: the psapi alias of later systems")
                        self.assertNotIn(function, LATER_FUNCTIONS, f"{dll}!{function} came after Windows 2000")
                self.assertEqual(image.delay_imports(), {}, "no delay-loaded libraries")

    def test_manifest(self):
        """One manifest, asking to run as the invoking user in the asm.v2 form that Windows
        XP reads safely; nothing else in it: no common-controls dependency (visual
        styles), no OS-compatibility or settings entries."""
        for path, image in self.images.items():
            with self.subTest(program=os.path.basename(path)):
                manifests = [(rid, data) for rtype, rid, _, data in image.resource_entries()
                             if rtype == pe.RT_MANIFEST]
                self.assertEqual([rid for rid, _ in manifests], [1], "exactly one manifest, id 1, in one language")
                root = ElementTree.fromstring(manifests[0][1])
                self.assertEqual((root.tag, root.get("manifestVersion")), (ASM_V1 + "assembly", "1.0"))
                level = root.find(f"{ASM_V2}trustInfo/{ASM_V2}security/{ASM_V2}requestedPrivileges/"
                                  f"{ASM_V2}requestedExecutionLevel")
                self.assertIsNotNone(level, "requestedExecutionLevel in the asm.v2 trustInfo form")
                self.assertEqual((level.get("level"), level.get("uiAccess")), ("asInvoker", "false"))
                # Windows XP refuses to start a program whose own identity is malformed.
                identity = root.find(ASM_V1 + "assemblyIdentity")
                self.assertEqual(identity.get("type"), "win32")
                self.assertRegex(identity.get("version"), r"^\d{1,5}(\.\d{1,5}){3}$", "four numbers")
                for element in root.iter():
                    self.assertTrue(element.tag.startswith((ASM_V1, ASM_V2)),
                                    f"{element.tag}: a namespace of later systems")
                    self.assertNotEqual(element.tag, ASM_V1 + "dependency", "no dependency: no visual styles")


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        image = pe.Image(EXE)
        cls.resources = image.resources()
        cls.strings = image.strings()

    def test_string_table(self):
        for sid, text in expected.STRINGS.items():
            self.assertEqual(self.strings.get(sid), text, f"string {sid}")
        for sid in expected.ABSENT_STRINGS:
            self.assertNotIn(sid, self.strings, f"string {sid} has no known text")
        # Every id from 101 to 150 whose text is known, and nothing else in that range.
        self.assertEqual({sid for sid in self.strings if sid <= 150}, set(expected.STRINGS))

    def test_every_dialog_template(self):
        templates = {rid for (rtype, rid) in self.resources if rtype == pe.RT_DIALOG}
        self.assertEqual(templates, set(expected.DIALOGS))
        for did, (caption, size, style, exstyle, font, controls) in expected.DIALOGS.items():
            with self.subTest(dialog=did):
                got = pe.dialog(self.resources[(pe.RT_DIALOG, did)])
                self.assertEqual(got[0], caption)
                self.assertEqual(got[1], size)
                self.assertEqual(hex(got[2]), hex(style))
                self.assertEqual(hex(got[3]), hex(exstyle))
                self.assertEqual(got[4], font)
                self.assertEqual(len(got[5]), len(controls))
                for want, have in zip(controls, got[5]):
                    cid, cls, text, rect, cstyle = want
                    self.assertEqual(have[0], cid, f"control {want}")
                    self.assertEqual(have[1].upper(), cls.upper(), f"control {want}")
                    self.assertEqual(have[2], text, f"control {want}")
                    self.assertEqual(have[3], rect, f"control {want}")
                    self.assertEqual(hex(have[4]), hex(cstyle), f"control {want}")
                    self.assertEqual(have[5], 0, f"control {want}: no extended style")

    def test_icon_and_pictures(self):
        group = self.resources[(pe.RT_GROUP_ICON, 128)]
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind, count), (0, 1, 6))
        sizes = set()
        for i in range(count):
            w, h, _, _, _, bits, _, icon = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            self.assertIn((pe.RT_ICON, icon), self.resources)
            sizes.add((w, h, bits))
        self.assertEqual(len(sizes), 6, "six different images")
        for bid, (w, h, bits) in expected.BITMAPS.items():
            header = self.resources[(pe.RT_BITMAP, bid)]
            _, width, height, _, bitcount = struct.unpack_from("<IiiHH", header)
            self.assertEqual((width, height, bitcount), (w, h, bits), f"bitmap {bid}")

    def test_version_record(self):
        record = self.resources[(pe.RT_VERSION, 1)].decode("utf-16-le", errors="replace")
        self.assertIn("ProductName", record)
        self.assertIn("ORVANE", record)


if __name__ == "__main__":
    unittest.main()
