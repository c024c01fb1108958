#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/test.sh --tsan       ThreadSanitizer over the two-thread tests in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-}"
bash scripts/install-deps.sh

case "$mode" in
  "")          dir=build;      flags=() ;          filter=();           target=() ;;
  --sanitize)  dir=build-asan; flags=(-DOPAL_SANITIZE=ON); filter=();   target=() ;;
  --tsan)      dir=build-tsan; flags=(-DOPAL_TSAN=ON -DOPAL_BUILD_GUI=OFF)
               filter=(-L threads); target=(--target opal_thread_tests) ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 2 ;;
esac

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export TSAN_OPTIONS="halt_on_error=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}"
cmake --build "$dir" -j"$(nproc)" "${target[@]}"
ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure --timeout 300 "${filter[@]}"
