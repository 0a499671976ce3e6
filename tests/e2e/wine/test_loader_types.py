"""The one typed loader of functions found at run time, compiled for x86 as the shipped
programs are: a function type of the system's calling convention is taken, one of the
C calling convention (which would leave the arguments of every call on the stack) does
not compile. No machine here can run the x86 programs, so this is where the mistake is
caught."""

import os
import subprocess
import unittest

SOURCE_DIR = os.environ["ORVANE_SOURCE_DIR"]

USE = """
#include "system_library.h"
using Fn = BOOL({convention} *)(HWND);
Fn Find() {{ return LookUpFunction<Fn>(GetModuleHandleA("user32.dll"), "IsWindow"); }}
"""


def compile_use(convention):
    return subprocess.run(["i686-w64-mingw32-g++", "-std=c++17", "-fsyntax-only", "-Wall", "-Werror",
                           "-D_WIN32_WINNT=0x0500", "-I", os.path.join(SOURCE_DIR, "platform", "win32"), "-x", "c++",
                           "-"],
                          input=USE.format(convention=convention), capture_output=True, text=True, timeout=120)


class LoaderTypes(unittest.TestCase):
    def test_x86_takes_only_the_system_calling_convention(self):
        taken = compile_use("WINAPI")
        self.assertEqual(taken.returncode, 0, taken.stderr)
        refused = compile_use("")
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn("a function found at run time is called as WINAPI", refused.stderr)


if __name__ == "__main__":
    unittest.main()
