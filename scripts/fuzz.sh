#!/usr/bin/env bash
# Runs a libFuzzer target of fuzz/ for a while:
#
#   scripts/fuzz.sh TARGET|all SECONDS [libFuzzer options...]
#   scripts/fuzz.sh packet_reader_fuzzer 3600
#   scripts/fuzz.sh stream_framer_fuzzer 600 -runs=10000000
#
# Builds build-fuzz with clang first. The committed seeds (fuzz/corpus/TARGET) are read
# and never written; what the run finds goes to build-fuzz/fuzz-work/TARGET, which later
# runs start from. A failing input lands in build-fuzz/fuzz-artifacts/TARGET/: replay it
# with `build-fuzz/fuzz/TARGET FILE`, and once the fault is fixed commit it to the seeds,
# where every later run replays it. One process, one job: the machine is shared.
#
# --build-dir DIR uses a build folder that is already built (the tests pass it);
# --fresh starts from the seeds alone, in an empty folder of its own
# (build-fuzz/fuzz-fresh/TARGET), leaving what long runs found alone.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=""
fresh=0
while [[ $# -gt 0 && $1 == --* ]]; do
  case $1 in
    --build-dir) build=$2; shift 2 ;;
    --fresh) fresh=1; shift ;;
    *) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [[ $# -lt 2 ]]; then
  sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

if [[ -z $build ]]; then
  build=$root/build-fuzz
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVEK_FUZZERS=ON \
    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$build" -j 2 --target fuzzers
fi

if [[ $target == all ]]; then
  targets=$(sed -n 's/^dorvek_fuzzer(\([a-z_]*\).*/\1/p' fuzz/CMakeLists.txt)
else
  targets=$target
fi

# A smaller quarantine than ASan's 256 MB: inputs allocate much and briefly, and cycling
# through fresh pages cost more time than the fuzzing itself.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}

status=0
for t in $targets; do
  binary=$build/fuzz/$t
  if [[ ! -x $binary ]]; then
    echo "fuzz.sh: no fuzz target $binary" >&2
    exit 2
  fi
  if ((fresh)); then
    work=$build/fuzz-fresh/$t
    rm -rf "$work"
  else
    work=$build/fuzz-work/$t
  fi
  artifacts=$build/fuzz-artifacts/$t
  mkdir -p "$work" "$artifacts"
  read -r -a options < <(tr ";" " " <"$build/fuzz/$t.options") || true  # no final newline
  echo "fuzz.sh: $t for ${seconds}s"
  if "$binary" "${options[@]}" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$@" "$work" "$root/fuzz/corpus/$t"; then
    :
  else
    status=$?
    echo "fuzz.sh: $t failed (exit $status); the input is in $artifacts/" >&2
  fi
done
exit $status
