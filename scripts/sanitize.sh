#!/usr/bin/env bash
# Builds and runs the whole suite under sanitizers.
# Usage: scripts/sanitize.sh asan   (AddressSanitizer + UndefinedBehaviorSanitizer)
#        scripts/sanitize.sh tsan   (ThreadSanitizer)
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-asan}" in
  asan) dir=build-asan; san="address;undefined" ;;
  tsan) dir=build-tsan; san="thread" ;;
  *) echo "usage: $0 asan|tsan" >&2; exit 2 ;;
esac
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
# Line tables (-g1) are all the sanitizers' reports need; full -g would double the build time.
"$(dirname "$0")/test.sh" "$dir" -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g1" \
  "-DMORFW_SANITIZE=$san" -DMORFW_BUILD_BENCH=OFF
