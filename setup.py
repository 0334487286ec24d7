"""Builds the Velmoratrix package with the project's own CMake build.

The sources are listed once, in CMakeLists.txt; this file only drives that
build for the interpreter that runs it and adds the type stubs.
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.install import install

ROOT = Path(__file__).parent.resolve()
STUBS = ROOT / "python" / "Velmoratrix-stubs"


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        extdir = Path(self.get_ext_fullpath(ext.name)).parent.resolve()
        build_temp = Path(self.build_temp).resolve() / "cmake"
        build_temp.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["cmake", str(ROOT), "-DCMAKE_BUILD_TYPE=Release", "-DVELMO_TESTS=OFF",
             "-DVELMO_PYTHONS=" + sys.executable, "-DVELMO_MODULE_OUTPUT_DIR=" + str(extdir)],
            cwd=build_temp, check=True)
        subprocess.run(["cmake", "--build", ".", "-j", str(os.cpu_count() or 1)],
                       cwd=build_temp, check=True)
        # Editors read the stub beside the package's code; mypy reads the stub package.
        shutil.copyfile(STUBS / "__init__.pyi", extdir / "__init__.pyi")


class Install(install):
    """Debian's setuptools wheel asks the install command for two options that
    only Debian's own interpreters define; other interpreters lack them."""

    def initialize_options(self):
        super().initialize_options()
        for option in ("install_layout", "prefix_option"):
            if not hasattr(self, option):
                setattr(self, option, None)


setup(
    ext_modules=[CMakeExtension("Velmoratrix._engine")],
    cmdclass={"build_ext": CMakeBuild, "install": Install},
    packages=["Velmoratrix", "Velmoratrix-stubs"],
    package_dir={"Velmoratrix": "python/Velmoratrix",
                 "Velmoratrix-stubs": "python/Velmoratrix-stubs"},
    package_data={"Velmoratrix-stubs": ["__init__.pyi", "py.typed"]},
    zip_safe=False,
    options={"build": {"build_base": "build-py"}},  # build/ is CMake's
)
