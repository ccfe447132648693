"""Builds the Python package episode_grouper as a wheel.

The extension module _core is built by the project's CMake build (the same
python/CMakeLists.txt as the release build), in a build tree of its own under
build-wheel/, never in the checkout's build/; the package's Python files come
from python/episode_grouper/.  The version is the project's, read from the
top-level CMakeLists.txt, the one the module reports as __version__.

Offline, with Debian's setuptools, wheel, CMake, Ninja, pybind11-dev and
libtbb-dev:

    /usr/bin/python3 -m pip wheel --no-build-isolation --no-deps .
    pip install --no-build-isolation .      (in a venv holding setuptools and wheel)

Set CMAKE_BUILD_PARALLEL_LEVEL, or pass build_ext --parallel N, to choose the
number of compile jobs (default: one per core).
"""
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    """The VERSION of project(episode_grouper ...) in the top-level CMakeLists.txt."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"^\s*project\(\s*episode_grouper\s+VERSION\s+([0-9]+(?:\.[0-9]+)*)\b", text, re.MULTILINE)
    if not match:
        sys.exit("setup.py: no 'project(episode_grouper VERSION x.y.z' in CMakeLists.txt")
    return match.group(1)


def markdown_section(text, heading):
    """The section of `text` under the Markdown heading line `heading` (for
    example '## Python'), up to the next heading of the same or a higher level,
    or '' when there is no such heading."""
    level = len(heading) - len(heading.lstrip("#"))
    lines = text.splitlines(keepends=True)
    for start, line in enumerate(lines):
        if line.rstrip() == heading:
            break
    else:
        return ""
    end = start + 1
    in_code = False
    while end < len(lines):
        line = lines[end]
        if line.startswith("```"):
            in_code = not in_code
        elif not in_code and line.startswith("#"):
            hashes = len(line) - len(line.lstrip("#"))
            if hashes <= level and line[hashes:hashes + 1] == " ":
                break
        end += 1
    return "".join(lines[start:end]).strip() + "\n"


def long_description():
    """The README's Python section, with its paragraph on the wheel (what the
    installed module needs on the machine)."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    python = markdown_section(readme, "## Python")
    wheel = markdown_section(readme, "### Python wheel")
    if not python or not wheel:
        sys.exit("setup.py: README.md lacks its '## Python' or '### Python wheel' section")
    return python if wheel in python else python + "\n" + wheel


class CMakeExtension(Extension):
    """An extension module built by a target of the project's CMake build."""

    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


class CMakeBuild(build_ext):
    """Configures the project in build_temp (under build-wheel/) for the
    interpreter running the build, builds the extension's target only and
    copies the module where setuptools packs it."""

    def build_extension(self, ext):
        if not isinstance(ext, CMakeExtension):
            return super().build_extension(ext)
        cmake = shutil.which("cmake")
        if not cmake:
            raise RuntimeError("building episode_grouper needs CMake (Debian cmake) on PATH")
        tree = Path(self.build_temp).resolve() / "cmake"
        tree.mkdir(parents=True, exist_ok=True)
        configure = [cmake, "-S", str(ROOT), "-B", str(tree),
                     "-DCMAKE_BUILD_TYPE=Release",
                     "-DGROUPER_PYTHON=ON",
                     "-DGROUPER_TESTS=OFF",
                     "-DGROUPER_POSTGRESQL=OFF",
                     "-DGROUPER_BENCH=OFF",
                     f"-DPython_EXECUTABLE={sys.executable}",
                     # The module is shipped stripped.
                     "-DCMAKE_MODULE_LINKER_FLAGS=-s"]
        # The generator of a tree is fixed when it is first configured.
        if not (tree / "CMakeCache.txt").exists() and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        build = [cmake, "--build", str(tree), "--target", ext.target]
        jobs = self.parallel or (None if os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") else os.cpu_count())
        if jobs:
            build += ["-j", str(jobs)]
        subprocess.run(configure, check=True)
        subprocess.run(build, check=True)

        # python/CMakeLists.txt puts the module in python/episode_grouper of the
        # tree, named with the interpreter's extension suffix.
        built = tree / "python" / "episode_grouper" / (ext.name.rpartition(".")[2] + sysconfig.get_config_var("EXT_SUFFIX"))
        if not built.is_file():
            raise RuntimeError(f"the CMake build made no {built}")
        destination = Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(built, destination)


setup(
    version=project_version(),
    long_description=long_description(),
    long_description_content_type="text/markdown",
    package_dir={"": "python"},
    packages=["episode_grouper"],
    ext_modules=[CMakeExtension("episode_grouper._core", target="_core")],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
