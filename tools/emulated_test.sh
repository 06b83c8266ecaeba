#!/usr/bin/env bash
# The aarch64 wheel run on an arm64 CPython under emulation: Debian's qemu-user-static runs the
# arm64 binaries of a Debian bookworm root (debootstrap) through the kernel's binfmt_misc; the
# wheel and its test extra go into a virtual environment there and the chosen tests run inside
# the root, with /proc and /dev mounted for the loopback sockets and pseudo-terminals.
# Needs root (chroot, mounts) and Debian's apt. Slow: every instruction is emulated.
#   tools/emulated_test.sh [PYTEST ARGS]   (default: the examples, protocol and master tests)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
ARM=$ROOT/build/arm64-root
PIP=${PIP:-$ROOT/build/wheel-tools/bin/python -m pip}
SUITE=${ARM_TESTS:-test_request_handler.py test_masters.py test_cordlink.py test_socklink.py test_examples.py}

[ "$(id -u)" -eq 0 ] || { echo "emulated_test.sh needs root (chroot and mounts)" >&2; exit 1; }
wheel=$(ls dist/*-cp310-abi3-manylinux_*_aarch64*.whl 2>/dev/null | head -n1 || true)
[ -n "$wheel" ] || { echo "no aarch64 wheel in dist/: run ./dev wheels first" >&2; exit 1; }

# The emulator and Debian's root builder.
if ! command -v qemu-aarch64-static >/dev/null || ! command -v debootstrap >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static binfmt-support debootstrap >/dev/null
fi
# The kernel hands arm64 binaries to qemu once binfmt_misc knows it.
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  update-binfmts --enable qemu-aarch64
fi

# The arm64 Debian root, once: the packages unpacked here, then configured by its own arm64 tools.
if [ ! -x "$ARM/usr/bin/python3" ] || [ ! -f "$ARM/.complete" ]; then
  rm -rf "$ARM"
  debootstrap --arch=arm64 --foreign --variant=minbase --include=python3,python3-venv,python3-pip \
    bookworm "$ARM" http://deb.debian.org/debian
  chroot "$ARM" /debootstrap/debootstrap --second-stage
  touch "$ARM/.complete"
fi

mounted=()
cleanup() {
  # Unmounted before anything may remove the root, so the host's /dev is never under it.
  local i
  for ((i=${#mounted[@]}-1; i>=0; i--)); do umount "${mounted[i]}" || umount -l "${mounted[i]}"; done
}
trap cleanup EXIT
for m in proc dev dev/pts; do
  if ! mountpoint -q "$ARM/$m"; then
    case $m in
      proc) mount -t proc proc "$ARM/proc" ;;
      *) mount --bind "/$m" "$ARM/$m" ;;
    esac
    mounted+=("$ARM/$m")
  fi
done
# The project's tests and examples (not its sources or builds) and the wheel, fresh each run.
rm -rf "$ARM/work"
mkdir -p "$ARM/work/dist"
cp -r tests examples stubs pyproject.toml "$ARM/work/"
cp "$wheel" "$ARM/work/dist/"
name=$(basename "$wheel")
# Debian bookworm's python3 is 3.11.
$PIP download -q --only-binary=:all: --platform manylinux_2_36_aarch64 --platform manylinux2014_aarch64 \
  --python-version 3.11 --implementation cp --abi cp311 --abi abi3 --abi none -d "$ARM/work/dist" "$wheel[test]"

chroot "$ARM" /bin/sh -ec "
  uname -m
  [ -x /opt/venv/bin/python ] || python3 -m venv /opt/venv
  /opt/venv/bin/python -m pip install -q --no-index --find-links /work/dist --force-reinstall --no-deps '/work/dist/$name'
  /opt/venv/bin/python -m pip install -q --no-index --find-links /work/dist '/work/dist/$name[test]'
  /opt/venv/bin/python -c 'import platform, sys, Holdbank; print(platform.machine(), sys.version.split()[0], Holdbank.__file__)'
  cd /work/tests
  # Emulation is many times slower: each test gets ten times its usual limit.
  exec /opt/venv/bin/python -m pytest -q -p no:cacheprovider --timeout=600 ${*:-$SUITE}
"
