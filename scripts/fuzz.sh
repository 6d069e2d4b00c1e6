#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds (default 60), one after another, on one
# core. Builds them first with clang and libFuzzer in build-fuzz/ (QUORVANE_FUZZ_BUILD to change).
# New inputs a run finds go to build-fuzz/corpus/<target>/, crashes to build-fuzz/crashes/<target>/;
# the seed corpus in tests/fuzz/<target>/corpus/ is read, never written. A summary line per target
# (executions, corpus size, crashes) ends the output; the exit status is 1 if any target crashed.
#
#   scripts/fuzz.sh [seconds] [target...]      targets: commandfile reply amx numbers settingsstore telnet
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(commandfile reply amx numbers settingsstore telnet)
build="${QUORVANE_FUZZ_BUILD:-$root/build-fuzz}"

"$root/scripts/setup.sh"
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "fuzz.sh: needs clang and libFuzzer (Debian: apt-get install clang libclang-rt-dev)" >&2
  exit 2
fi
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_FUZZ=ON >/dev/null
cmake --build "$build" -j "${QUORVANE_FUZZ_JOBS:-2}" --target "${targets[@]/#/fuzz_}"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=0:${ASAN_OPTIONS:-}"
status=0
summary=()
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  crashes="$build/crashes/$t"
  mkdir -p "$corpus" "$crashes"
  log="$build/fuzz-$t.log"
  echo "== $t: $seconds s (log $log)"
  set +e
  "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$corpus" "$root/tests/fuzz/$t/corpus" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  found=$(find "$crashes" -type f | wc -l)
  [ "$rc" -eq 0 ] || status=1
  summary+=("$t: ${execs:-?} executions, $(find "$corpus" -type f | wc -l) inputs in the working corpus, $found crash files, exit $rc")
done
printf '%s\n' "${summary[@]}"
exit $status
