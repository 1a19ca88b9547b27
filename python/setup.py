"""Build of the kestrumr Python package.

The package loads the library through ctypes, so what is built here is not a
Python extension but the library itself: the C++ sources of the repository
this folder belongs to (or of KESTRUMR_SOURCE_DIR), as lib/sources.txt
lists them, compiled into kestrumr/_libkestrumr*.so.  Declaring it as an extension module lets
setuptools compile it with the platform's toolchain and tag the wheel for
the platform.  The floating-point flags of lib/fp-flags.txt keep the
results the same bits as every other build of the library, and the version
is the one the library's session header declares.
"""
import os
import platform
import re

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def source_root():
    root = os.environ.get("KESTRUMR_SOURCE_DIR") or os.path.dirname(HERE)
    if not os.path.isfile(os.path.join(root, "include", "kestrumr_session.h")):
        raise RuntimeError(
            "kestrumr: the library's sources are not at %s (set KESTRUMR_SOURCE_DIR to the "
            "kestrumr source tree)" % root)
    return root


class build_library(build_ext):
    """Builds the plain shared library (no Python module init function)."""

    def finalize_options(self):
        super().finalize_options()
        if not self.parallel:
            self.parallel = min(2, os.cpu_count() or 1)

    def build_extension(self, ext):
        # The sources lie outside this folder, where setuptools' source lists
        # may not point: they are added only here, for the compiler.
        ext.sources = list(SOURCES)
        super().build_extension(ext)

    def get_export_symbols(self, ext):
        # The library exports its own API names; it has no PyInit_ function.
        return []


def library_version(root):
    """MAJOR.MINOR.PATCH from the version macros of the session header."""
    header = os.path.join(root, "include", "kestrumr_session.h")
    with open(header, encoding="utf-8") as f:
        m = re.search(r'^#define KESTRUMR_VERSION_STRING "([0-9]+\.[0-9]+\.[0-9]+)"$', f.read(), re.M)
    if not m:
        raise RuntimeError("kestrumr: no version in %s" % header)
    return m.group(1)


def library_sources(root):
    """The sources that lib/sources.txt lists (paths relative to lib/)."""
    with open(os.path.join(root, "lib", "sources.txt"), encoding="utf-8") as f:
        names = [line.strip() for line in f]
    return [os.path.join(root, "lib", n) for n in names if n and not n.startswith("#")]


def fp_flags(root):
    """The floating-point flags of lib/fp-flags.txt for this machine."""
    x86_32 = platform.machine().lower() in ("i386", "i486", "i586", "i686", "x86")
    flags = []
    with open(os.path.join(root, "lib", "fp-flags.txt"), encoding="utf-8") as f:
        for line in f:
            target, sep, rest = line.partition(":")
            if line.startswith("#") or not sep:
                continue
            if target == "all" or (target == "x86-32" and x86_32):
                flags += rest.split()
    return flags


ROOT = source_root()
SOURCES = library_sources(ROOT)
FP_FLAGS = fp_flags(ROOT)

setup(
    version=library_version(ROOT),
    packages=["kestrumr"],
    ext_modules=[
        Extension(
            "kestrumr._libkestrumr",
            sources=[],
            include_dirs=[os.path.join(ROOT, "lib"), os.path.join(ROOT, "include")],
            define_macros=[("KESTRUMR_BUILD", None)],
            extra_compile_args=["-std=c++17", "-fvisibility=hidden",
                                "-fvisibility-inlines-hidden"] + FP_FLAGS,
            extra_link_args=["-pthread"],
            language="c++",
        )
    ],
    cmdclass={"build_ext": build_library},
)
