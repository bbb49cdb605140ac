#!/usr/bin/env bash
# Builds the unit and integration tests with sanitizers and runs them:
#   asan: address and undefined behaviour (leaks included), in build/asan
#   tsan: data races and lock order, in build/tsan
# Any finding fails the run: the sanitizers end the test process at the
# first report, and ctest counts the test as failed. Nothing of the library
# is suppressed. A failing test stage does not stop the other stage; the run
# fails at the end. The wall and processor time of every stage is printed.
# Usage: scripts/test-sanitizers.sh [asan|tsan|all]      (default all)
# MSSP_SAN_BUILD_PREFIX (default "build/") is put before asan and tsan to
# name the build directories.
# Both stages build and run the whole suite: the library, the recording
# store, the host layer, the player and the tools tests. Left out:
# - the GStreamer element and its tests (label gst): GStreamer's own
#   libraries are not instrumented, so the top-level CMakeLists.txt does not
#   build them in a sanitizer build;
# - the fuzz targets and the benchmarks: not part of the test suite (the fuzz
#   stage of scripts/test.sh runs the fuzzers under ASan/UBSan itself).
# MSSP_SAN_TOOLS=OFF leaves out the recording store, host layer and tools
# tests too, for a quicker library-only run.
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
case "$which" in
  asan) stages=(asan) ;;
  tsan) stages=(tsan) ;;
  all) stages=(asan tsan) ;;
  *) echo "usage: $0 [asan|tsan|all]" >&2; exit 2 ;;
esac
prefix=${MSSP_SAN_BUILD_PREFIX:-build/}
tools=${MSSP_SAN_TOOLS:-ON}
jobs=$(nproc)
bash scripts/install-deps.sh

# Options of every test process: the first finding ends it with a failure.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# read_cpu sets cpu to the processor seconds (user + system) used so far by
# the commands this script ran; each stage prints them beside its wall time,
# which depends on what else the machine runs. Never call it in a subshell:
# there `times` would count nothing.
cpu_file=$(mktemp)
trap 'rm -f "$cpu_file"' EXIT
cpu=0
read_cpu() {
  times > "$cpu_file"  # the builtin, in this shell: its second line is the children's
  cpu=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/)
                       printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$cpu_file")
}

begin=$SECONDS
stage_start=0
stage_cpu=0
summary=()
failed=()
stage() {
  stage_start=$SECONDS
  read_cpu
  stage_cpu=$cpu
  echo
  echo "=== $* (at $((SECONDS - begin)) s)"
}
stage_done() {
  read_cpu
  summary+=("$(printf '%-12s %5d s wall %6d s cpu  %s' "$1" $((SECONDS - stage_start)) \
    $((cpu - stage_cpu)) "$2")")
}
print_summary() {
  echo
  echo "=== sanitizer stages ($((SECONDS - begin)) s in all)"
  printf '%s\n' "${summary[@]}"
}

run_stage() {
  local name=$1 sanitize=$2 dir=${prefix}$1
  stage "$name: configure and build (-fsanitize=$sanitize) in $dir"
  # -O1 -g: readable reports, and a quicker build than -O2 with the
  # instrumentation; asserts stay on.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DMSSP_WERROR=ON -DMSSP_BUILD_TESTS=ON -DMSSP_BUILD_TOOLS="$tools" -DMSSP_SANITIZE="$sanitize"
  cmake --build "$dir" -j "$jobs"
  stage_done "$name build" ok

  stage "$name: tests"
  if ctest --test-dir "$dir" --output-on-failure -j "$jobs" -LE gst; then
    stage_done "$name tests" passed
  else
    stage_done "$name tests" FAILED
    failed+=("$name")
  fi
}

for s in "${stages[@]}"; do
  case "$s" in
    asan) run_stage asan address,undefined ;;
    tsan) run_stage tsan thread ;;
  esac
done

print_summary
if [ ${#failed[@]} -gt 0 ]; then
  echo "sanitizer stages failed: ${failed[*]}" >&2
  exit 1
fi
echo "sanitizer stages passed"
