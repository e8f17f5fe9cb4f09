#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# each for a share of the given time.
# Usage: scripts/fuzz.sh [SECONDS]    (total time for all targets, default 60)
# Environment: FUZZ_BUILD_DIR (default build-fuzz).
# Crashes land in <build dir>/fuzz-artifacts/; the grown corpora in <build dir>/fuzz-corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-60}
if ! [[ "$total" =~ ^[0-9]+$ ]] || [ "$total" -lt 2 ]; then
  echo "usage: $0 [SECONDS] (at least 2)" >&2
  exit 2
fi
dir=${FUZZ_BUILD_DIR:-build-fuzz}
targets=(srecord profile)

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz.sh: clang++ is not installed" >&2
  exit 2
fi

# Coverage for the libraries too (fuzzer-no-link), the fuzzer's main only in the fuzz targets.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  "-DMORFW_SANITIZE=address;undefined" \
  -DMORFW_WARNINGS_AS_ERRORS=ON -DMORFW_BUILD_FUZZ=ON -DMORFW_BUILD_APP=OFF -DMORFW_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target "${targets[@]/#/fuzz_image_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
per=$(( total / ${#targets[@]} ))
src=tests/image/fuzz
status=0
for t in "${targets[@]}"; do
  corpus="$dir/fuzz-corpus/$t"
  artifacts="$dir/fuzz-artifacts/$t/"
  mkdir -p "$corpus" "$artifacts"
  log="$dir/fuzz-$t.log"
  echo "== fuzz_image_$t for ${per}s (log: $log)"
  set +e
  "$dir/bin/fuzz_image_$t" "$corpus" "$src/corpus/$t" -dict="$src/$t.dict" \
    -max_total_time="$per" -artifact_prefix="$artifacts" -print_final_stats=1 >"$log" 2>&1
  rc=$?
  set -e
  grep -E '^(Done|stat::(number_of_executed_units|peak_rss_mb)|#[0-9]+.*cov:.*corp:|==[0-9]+==ERROR|SUMMARY)' "$log" \
    | grep -v -E '^#[0-9]+\s+(pulse|NEW|REDUCE)' | tail -n 6 || true
  if [ "$rc" -ne 0 ]; then
    echo "fuzz_image_$t: FAILED (exit $rc); see $log and $artifacts" >&2
    status=1
  fi
done
exit $status
