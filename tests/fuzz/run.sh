#!/usr/bin/env bash
# Bounded libFuzzer run over the Modbus TCP protocol core (server/modbus_core.hpp).
#
#   bash tests/fuzz/run.sh SECONDS [libFuzzer options...]
#
# Installs clang with its fuzzing runtime when no usable compiler is found (Debian/Ubuntu
# packages), builds tests/fuzz/fuzz_core.cpp with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, runs it from the seed corpus for SECONDS and exits non-zero on any
# finding (crash, invariant violation, sanitizer report, leak, timeout, out-of-memory).
# Inputs that reach new code are kept in build/fuzz-core/corpus for the next run; a finding is
# written to build/fuzz-core/findings/ and can be replayed with
#   build/fuzz-core/fuzz_core build/fuzz-core/findings/<file>
set -euo pipefail

seconds=${1:?usage: bash tests/fuzz/run.sh SECONDS [libFuzzer options...]}
shift
cd "$(dirname "$0")/../.."
root=$PWD
out=$root/build/fuzz-core
mkdir -p "$out/corpus" "$out/findings"

flags=(-std=c++17 -O1 -g -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)

# A compiler counts only if it links a fuzz target with all three sanitizers: clang without its
# runtime package compiles but fails at the link.
usable() {
  command -v "$1" >/dev/null 2>&1 || return 1
  printf '%s\n' '#include <cstdint>' '#include <cstddef>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$out/probe.cpp"
  "$1" "${flags[@]}" "$out/probe.cpp" -o "$out/probe" >/dev/null 2>&1
}

find_compiler() {
  local c
  for c in ${CXX:-} clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14 clang++-13; do
    if usable "$c"; then echo "$c"; return 0; fi
  done
  return 1
}

install_clang() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "no clang with libFuzzer found and no apt-get to install it" >&2
    exit 1
  fi
  echo "installing clang and its sanitizer/fuzzer runtime" >&2
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq clang >/dev/null
  # The runtime (libFuzzer, ASan, UBSan) is a separate package in newer Debian releases.
  local major
  major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n1)
  if [ -n "$major" ] && apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
  fi
}

cxx=$(find_compiler) || { install_clang; cxx=$(find_compiler) || { echo "clang cannot build a fuzz target" >&2; exit 1; }; }

target=$out/fuzz_core
if [ ! -x "$target" ] || [ "$root/tests/fuzz/fuzz_core.cpp" -nt "$target" ] ||
   [ "$root/server/modbus_core.hpp" -nt "$target" ] || [ "$root/tests/fuzz/run.sh" -nt "$target" ]; then
  echo "building $target with $cxx" >&2
  "$cxx" "${flags[@]}" -I"$root/server" "$root/tests/fuzz/fuzz_core.cpp" -o "$target"
fi

# The first directory receives new inputs; the seed corpus in the repository is only read.
# -timeout: one input taking this long counts as a hang; -rss_limit_mb: as unbounded memory.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$target" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
  -print_final_stats=1 -artifact_prefix="$out/findings/" \
  "$@" "$out/corpus" "$root/tests/fuzz/corpus"
