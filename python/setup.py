"""Build of the kestrumr Python package.

The package loads the library through ctypes, so what is built here is not a
Python extension but the library itself: the C++ sources of the repository
this folder belongs to (or of KESTRUMR_SOURCE_DIR) compiled into
kestrumr/_libkestrumr*.so.  Declaring it as an extension module lets
setuptools compile it with the platform's toolchain and tag the wheel for
the platform.  The flags keep the results the same bits as every other
build of the library: no FMA contraction, no fast-math, SSE2 arithmetic on
32-bit x86.
"""
import glob
import os
import platform

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
FOLDERS = ("random", "posterior", "hyper", "driver", "common", "analysis", "session")


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


ROOT = source_root()
SOURCES = sorted(f for d in FOLDERS for f in glob.glob(os.path.join(ROOT, d, "*.cpp")))
FP_FLAGS = ["-ffp-contract=off", "-fno-fast-math"]
if platform.machine().lower() in ("i386", "i486", "i586", "i686", "x86"):
    FP_FLAGS += ["-msse2", "-mfpmath=sse"]

setup(
    packages=["kestrumr"],
    ext_modules=[
        Extension(
            "kestrumr._libkestrumr",
            sources=[],
            include_dirs=[ROOT, os.path.join(ROOT, "include")],
            define_macros=[("KESTRUMR_BUILD", None)],
            extra_compile_args=["-std=c++17", "-fvisibility=hidden",
                                "-fvisibility-inlines-hidden"] + FP_FLAGS,
            extra_link_args=["-pthread"],
            language="c++",
        )
    ],
    cmdclass={"build_ext": build_library},
)
