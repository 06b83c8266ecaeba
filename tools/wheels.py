"""Builds every Linux wheel this machine can make into dist/, one per target, and has auditwheel
check each one's tag.

Run by `./dev wheels` with the interpreter of the wheel tool environment (ziglang, auditwheel,
scikit-build-core, CMake and Ninja installed). zig cross-compiles for each target (see
tools/zig-toolchain.cmake); scikit-build-core makes a plain wheel of that build, and
auditwheel repairs it to the policy tag, refusing a module that needs anything newer than the
policy allows. Usage: python tools/wheels.py [TARGET ...]   (default: every target)
"""
import os
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

from packaging.utils import parse_wheel_filename

ROOT = Path(__file__).resolve().parent.parent
DIST = ROOT / "dist"
WORK = ROOT / "build" / "wheels"
TOOLCHAIN = ROOT / "tools" / "zig-toolchain.cmake"

# zig links musl's libc as `libc.so`, a name that tells auditwheel nothing of the libc (it would
# look for it among the build machine's glibc files). The modules need it under the name musl
# systems give it, libc.musl-<arch>.so.1, as musllinux wheels do; musl's loader takes every
# libc.* name for itself, so both load alike.
MUSL_LIBC_NAME = "libc.musl-x86_64.so.1"

# name: (zig target, platform of the plain wheel, platform tag the wheel must get)
TARGETS = {
    "manylinux-x86_64": ("x86_64-linux-gnu.2.17", "linux-x86_64", "manylinux_2_17_x86_64.manylinux2014_x86_64"),
    "manylinux-aarch64": ("aarch64-linux-gnu.2.17", "linux-aarch64", "manylinux_2_17_aarch64.manylinux2014_aarch64"),
    "musllinux-x86_64": ("x86_64-linux-musl", "linux-x86_64", "musllinux_1_2_x86_64"),
}
MODULES = ("Holdbank", "Cordlink", "Socklink")


# auditwheel calls patchelf, which the tool environment installs beside the interpreter.
TOOL_ENV = dict(os.environ, PATH=os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")]))
for dropped in ("CMAKE_ARGS", "PYTHONPATH", "LD_PRELOAD"):
    TOOL_ENV.pop(dropped, None)


def run(*args, env=TOOL_ENV):
    print("+", " ".join(str(a) for a in args), flush=True)
    subprocess.run([str(a) for a in args], check=True, env=env)


def expected_contents():
    """Every file the wheel must carry besides its metadata: the modules and their stubs."""
    names = {"%s.abi3.so" % m for m in MODULES}
    names |= {"%s.pyi" % m for m in MODULES}
    names |= {"%s-stubs/__init__.pyi" % m for m in MODULES}
    return names


def rename_needed_libc(plain):
    """Has each module of the wheel need musl's libc under the musllinux name."""
    unpacked = plain.parent / "unpacked"
    run(sys.executable, "-m", "wheel", "unpack", "-d", unpacked, plain)
    (tree,) = unpacked.iterdir()
    for module in tree.glob("*.so"):
        run("patchelf", "--replace-needed", "libc.so", MUSL_LIBC_NAME, module)
    plain.unlink()
    run(sys.executable, "-m", "wheel", "pack", "-d", plain.parent, tree)
    shutil.rmtree(unpacked)


def glibc_runtime(work, env):
    """Link flags for a glibc target: the modules take their unwinder from the system's libgcc_s
    (linked against a stand-in, tools/zig/libgcc_s.c) and rethrow a forced unwind as one
    (tools/zig/forced_unwind.cpp), so a thread the interpreter ends at exit unwinds cleanly."""
    import ziglang
    zig_lib = Path(ziglang.__file__).parent / "lib"
    tools = ROOT / "tools" / "zig"
    out = work / "runtime"
    out.mkdir(parents=True, exist_ok=True)
    run(tools / "cc", "-shared", "-nostdlib", "-Wl,-soname,libgcc_s.so.1",
        "-Wl,--version-script=%s" % (tools / "libgcc_s.map"), tools / "libgcc_s.c",
        "-o", out / "libgcc_s.so.1", env=env)
    # libc++abi's private header declares what C++17 removed; it is compiled as C++14.
    run(tools / "c++", "-c", "-std=c++14", "-O2", "-fPIC", "-fvisibility=hidden",
        "-I%s" % (zig_lib / "libcxxabi" / "src"), "-I%s" % (zig_lib / "libcxxabi" / "include"),
        tools / "forced_unwind.cpp", "-o", out / "forced_unwind.o", env=env)
    return "%s -Wl,--wrap=__cxa_rethrow %s" % (out / "libgcc_s.so.1", out / "forced_unwind.o")


def build(name):
    zig_target, raw_platform, platform_tag = TARGETS[name]
    raw = WORK / name / "raw"
    shutil.rmtree(raw, ignore_errors=True)
    env = dict(TOOL_ENV, ZIG_TARGET=zig_target, ZIG_PYTHON=sys.executable, _PYTHON_HOST_PLATFORM=raw_platform)
    # musl's pthread_exit does not unwind, so its modules keep zig's own unwinder.
    glibc = "-gnu" in zig_target
    link = ["-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=%s" % glibc_runtime(WORK / name, env)] if glibc else []
    # Each target its own build folder: the glibc and musl builds share the plain tag.
    run(sys.executable, "-m", "pip", "wheel", *link, "--no-deps", "--no-build-isolation", "-w", raw,
        "-Ccmake.build-type=Release", "-Cinstall.strip=false",
        "-Cbuild-dir=%s" % (WORK / name / "cmake"),
        "-Ccmake.define.CMAKE_TOOLCHAIN_FILE=%s" % TOOLCHAIN,
        "-Ccmake.define.Python_EXECUTABLE=%s" % sys.executable,
        ROOT, env=env)
    (plain,) = raw.glob("*.whl")
    project, version, _, _ = parse_wheel_filename(plain.name)
    dist_name = project.replace("-", "_")
    wheel_name = "%s-%s-cp310-abi3-%s.whl" % (dist_name, version, platform_tag)
    if platform_tag.startswith("musllinux"):
        rename_needed_libc(plain)

    for old in DIST.glob("%s-*-%s.whl" % (dist_name, platform_tag)):
        old.unlink()
    # auditwheel tags the wheel with the oldest policy its modules' libc symbols and libraries
    # allow (its --plat names only the build machine's own architecture and libc, hence auto);
    # that must be the target's tag. zig links libc++ in, so nothing is grafted.
    started = time.time()
    run(sys.executable, "-m", "auditwheel", "repair", "--plat", "auto", "-w", DIST, plain)
    (made,) = [w for w in DIST.glob("%s-*.whl" % dist_name) if w.stat().st_mtime >= started]
    # auditwheel writes the compressed tag set in sorted order (manylinux2014 before
    # manylinux_2_17); the file takes the usual order, the same set of tags.
    if parse_wheel_filename(made.name) != parse_wheel_filename(wheel_name):
        raise SystemExit("auditwheel made %s, not %s" % (made.name, wheel_name))
    wheel = made.rename(DIST / wheel_name)
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel], check=True,
                           capture_output=True, text=True, env=TOOL_ENV).stdout
    print(shown.strip())
    constrained = 'consistent with the following platform tag: "%s"' % platform_tag.split(".")[0]
    if constrained not in " ".join(shown.split()):
        raise SystemExit("auditwheel show does not confirm %s for %s" % (constrained, wheel.name))
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
    missing = expected_contents() - names
    grafted = [n for n in names if ".libs/" in n]
    if missing or grafted:
        raise SystemExit("%s: missing %s, grafted libraries %s" % (wheel.name, sorted(missing), grafted))
    return wheel


def main(argv):
    names = argv or list(TARGETS)
    unknown = [n for n in names if n not in TARGETS]
    if unknown:
        raise SystemExit("unknown target %s; the targets: %s" % (", ".join(unknown), ", ".join(TARGETS)))
    DIST.mkdir(exist_ok=True)
    built = [build(n) for n in names]
    print()
    for wheel in built:
        print("built", wheel.relative_to(ROOT))


if __name__ == "__main__":
    main(sys.argv[1:])
