"""Compiles and links the three modules for the systems this machine cannot run: macOS (x86_64,
arm64) and Windows (x86_64), with zig's clang and its bundled C and C++ libraries.

Usage: cross_check.py ZIG_PYTHON [TARGET ...]   (run by `./dev cross-check`)

The same warnings as the native build, as errors. Nothing built here is run: a module that
links proves that every name it uses exists in the target's system and C++ libraries and in
CPython's stable ABI; whether it works there is for the hosted runners (see pyproject.toml's
[tool.cibuildwheel]).

Python headers: the Limited API headers of the CPython that runs this script serve macOS (the
same 64-bit sizes). Windows needs CPython's own Windows pyconfig.h and the export list of
python3.dll, both in CPython's source release: it is fetched once with apt-get from the
machine's Debian archive (signed, verified by apt), into build/cross/, without touching the
system's apt configuration.
"""

from __future__ import annotations

import concurrent.futures
import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "cross"
LIMITED_API = "0x030a0000"
WARNINGS = ["-Wall", "-Wextra", "-Werror", "-Wno-missing-field-initializers", "-Wno-cast-function-type"]

TARGETS = {
    "x86_64-macos": {"suffix": ".abi3.so", "link": ["-Wl,-undefined,dynamic_lookup"]},
    "aarch64-macos": {"suffix": ".abi3.so", "link": ["-Wl,-undefined,dynamic_lookup"]},
    # MS_WIN64: CPython's Windows pyconfig.h sets it for MSVC only, and says 32 bits without it.
    "x86_64-windows-gnu": {"suffix": ".pyd", "defines": ["-DMS_WIN64", "-DNOMINMAX", "-DWIN32_LEAN_AND_MEAN"], "link": ["-lws2_32"]},
}


def version() -> str:
    """The distribution's version, bound as each module's __version__ (as CMakeLists.txt reads it)."""
    found = re.search(r'^version *= *"([^"]+)"', (ROOT / "pyproject.toml").read_text(encoding="utf-8"), re.M)
    if not found:
        sys.exit("no version found in pyproject.toml")
    return found.group(1)


def sources() -> dict[str, list[str]]:
    """Each module's sources, by the folders of the layout (as CMakeLists.txt builds them)."""

    def files(pattern: str) -> list[str]:
        return sorted(os.path.relpath(p, ROOT) for p in glob.glob(str(ROOT / pattern)))

    host = files("host/*.cpp")
    codecs = ["serial_client/register_codecs.cpp", "serial_client/codec_bridge.cpp"]
    masters = [f for f in files("serial_client/*.cpp") if f not in codecs and not f.endswith("cordlink_module.cpp")]
    return {
        "Holdbank": files("server/*.cpp") + codecs + host,
        "Cordlink": ["serial_client/cordlink_module.cpp"] + masters + codecs + host,
        "Socklink": files("tcp_client/*.cpp") + masters + codecs + host,
    }


def run(cmd: list[str], **kw) -> None:
    result = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, **kw)
    if result.returncode != 0:
        sys.stderr.write(" ".join(cmd) + "\n" + result.stdout + result.stderr)
        raise SystemExit(f"failed: {cmd[0:6]} ...")


# ---- CPython's Windows headers and python3.dll's exports, from Debian's source package ------------


def debian_source_list(dest: Path) -> None:
    """The machine's Debian archive, as a source-package list of our own."""
    stanzas = []
    for path in sorted(Path("/etc/apt/sources.list.d").glob("*.sources")):
        for stanza in path.read_text().split("\n\n"):
            fields = dict(
                line.split(":", 1) for line in stanza.splitlines() if ":" in line and not line.startswith("#")
            )
            fields = {k.strip(): v.strip() for k, v in fields.items()}
            if "deb" in fields.get("Types", "").split() and "debian" in fields.get("URIs", ""):
                # The release itself only: the updates' pools need not hold the original tarball.
                suite = fields["Suites"].split()[0]
                fields.update({"Types": "deb-src", "Suites": suite, "Components": "main"})
                stanzas.append("\n".join(f"{k}: {v}" for k, v in fields.items()))
                break
        if stanzas:
            break
    if not stanzas and Path("/etc/apt/sources.list").exists():
        for line in Path("/etc/apt/sources.list").read_text().splitlines():
            parts = line.split()
            if len(parts) >= 3 and parts[0] == "deb" and "debian" in line and "security" not in line:
                dest.write_text("deb-src " + " ".join(parts[1:3]) + " main\n")
                return
    if not stanzas:
        raise SystemExit("no Debian archive configured for apt: CPython's Windows headers cannot be fetched")
    dest.write_text("\n\n".join(stanzas) + "\n")


def windows_python() -> tuple[Path, Path]:
    """(include folders' parent, import library) for CPython's stable ABI on Windows."""
    base = OUT / "win-python"
    implib = base / "libpython3.a"
    if (base / "PC" / "pyconfig.h").exists() and (base / "python3.def").exists():
        return base, implib
    if not shutil.which("apt-get"):
        raise SystemExit("apt-get is needed to fetch CPython's Windows headers (Debian's python3.x source package)")
    apt = OUT / "apt"
    for d in ("sources", "lists/partial", "cache/archives/partial", "src"):
        (apt / d).mkdir(parents=True, exist_ok=True)
    debian_source_list(apt / "sources" / "debian-src.sources")
    opts = [
        "-o", "Dir::Etc::SourceList=/dev/null", "-o", f"Dir::Etc::SourceParts={apt / 'sources'}",
        "-o", f"Dir::State::Lists={apt / 'lists'}", "-o", f"Dir::Cache={apt / 'cache'}",
    ]
    if os.geteuid() == 0:
        opts += ["-o", "APT::Sandbox::User=root"]  # the sandbox user may not write into build/
    else:
        opts += ["-o", f"APT::Sandbox::User={os.environ.get('USER', 'nobody')}"]
    run(["apt-get", "-qq", *opts, "update"])
    # The CPython of the machine's release (python3.11 on Debian 12).
    system_python = Path("/usr/bin/python3")
    version = "3.11"
    if system_python.exists():
        version = subprocess.run(
            [str(system_python), "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
            capture_output=True, text=True, check=True,
        ).stdout.strip()
    src = apt / "src"
    subprocess.run(["apt-get", "-qq", *opts, "source", "--download-only", f"python{version}"],
                   cwd=src, capture_output=True, text=True)
    tarballs = sorted(src.glob(f"python{version}_*.orig.tar.*"))
    if not tarballs:
        raise SystemExit(f"apt-get could not fetch the source of python{version}")
    base.mkdir(parents=True, exist_ok=True)
    with tarfile.open(tarballs[-1]) as tar:
        wanted = [m for m in tar.getmembers()
                  if re.match(r"[^/]+/(Include/|PC/pyconfig\.h$|PC/python3dll\.c$)", m.name)]
        for m in wanted:
            m.name = m.name.split("/", 1)[1]
        if hasattr(tarfile, "data_filter"):
            tar.extractall(base, members=wanted, filter="data")
        else:
            tar.extractall(base, members=wanted)
    if not (base / "PC" / "pyconfig.h").exists():
        raise SystemExit(f"{tarballs[-1].name} has no PC/pyconfig.h")
    # python3.dll's exports: PC/python3dll.c names each function and data object of the stable ABI.
    exports = re.findall(r"EXPORT_(FUNC|DATA)\((\w+)\)", (base / "PC" / "python3dll.c").read_text())
    lines = ["LIBRARY python3.dll", "EXPORTS"] + [f"    {n}" + (" DATA" if k == "DATA" else "") for k, n in exports]
    (base / "python3.def").write_text("\n".join(lines) + "\n")
    return base, implib


# ---- compile and link -----------------------------------------------------------------------------


def build_target(zig: list[str], target: str) -> list[Path]:
    spec = TARGETS[target]
    includes = ["-I", str(ROOT)]
    libs: list[str] = []
    if "windows" in target:
        base, implib = windows_python()
        includes += ["-I", str(base / "Include"), "-I", str(base / "PC")]
        run([*zig, "dlltool", "-m", "i386:x86-64", "-d", str(base / "python3.def"), "-l", str(implib)])
        libs.append(str(implib))
    else:
        includes += ["-I", sysconfig.get_paths()["include"]]
    objdir = OUT / target / "obj"
    objdir.mkdir(parents=True, exist_ok=True)
    flags = ["-target", target, "-std=c++17", "-O2", "-fvisibility=hidden", "-fPIC", *WARNINGS,
             f"-DPy_LIMITED_API={LIMITED_API}", f'-DHOLDBANK_VERSION="{version()}"', *spec.get("defines", []),
             *includes]
    mods = sources()
    every = sorted({f for files in mods.values() for f in files})

    def obj(src: str) -> Path:
        return objdir / (src.replace("/", "__") + ".o")

    def compile_one(src: str) -> None:
        run([*zig, "c++", *flags, "-c", src, "-o", str(obj(src))])

    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        list(pool.map(compile_one, every))
    built = []
    for name, files in mods.items():
        out = OUT / target / (name + spec["suffix"])
        run([*zig, "c++", "-target", target, "-shared", "-o", str(out), *map(str, map(obj, files)), *libs,
             *spec["link"]])
        check_binary(out, target, name)
        built.append(out)
    return built


def check_binary(path: Path, target: str, name: str) -> None:
    """What a loader of the target looks for: the file's format, the module's init function, and
    (Windows) the stable ABI's DLL rather than one CPython version's."""
    data = path.read_bytes()
    if "windows" in target:
        ok = data[:2] == b"MZ" and b"PyInit_" + name.encode() in data and b"python3.dll" in data
        ok = ok and re.search(rb"python3\d+\.dll", data) is None
    else:
        ok = data[:4] in (b"\xcf\xfa\xed\xfe",) and b"_PyInit_" + name.encode() in data
    if not ok:
        raise SystemExit(f"{path} is not a {target} module exporting PyInit_{name}")


def main() -> None:
    zig = [sys.argv[1], "-m", "ziglang"]
    targets = sys.argv[2:] or list(TARGETS)
    for target in targets:
        if target not in TARGETS:
            raise SystemExit(f"unknown target {target}; known: {', '.join(TARGETS)}")
        built = build_target(zig, target)
        print(f"{target}: compiled and linked " + ", ".join(p.name for p in built))


if __name__ == "__main__":
    main()
