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

# Line tables are all a backtrace needs, and full debug information is what
# makes these builds slow on a small machine. The sanitizer builds find their
# faults at -O1 as well and compile faster there.
optimised=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
           -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")
instrumented=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
              -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")
case "$mode" in
  "")          dir=build;      flags=("${optimised[@]}");   filter=();   target=() ;;
  --sanitize)  dir=build-asan; flags=(-DOPAL_SANITIZE=ON "${instrumented[@]}"); filter=(); target=() ;;
  --tsan)      dir=build-tsan; flags=(-DOPAL_TSAN=ON -DOPAL_BUILD_GUI=OFF "${instrumented[@]}")
               filter=(-L threads); target=(--target opal_thread_tests) ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 2 ;;
esac

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export TSAN_OPTIONS="halt_on_error=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

# A compiler cache, where there is one, makes a second build of the same
# sources (another checkout, CI after a session) cheap. Paths are taken
# relative to the checkout, so any checkout shares the cache.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# Most tests wait on servers, buses and displays of their own rather than
# on the processor, so twice as many run at once as there are cores.
jobs=$(( $(nproc) * 2 ))

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" "${launcher[@]}"
cmake --build "$dir" -j"$(nproc)" "${target[@]}"
ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 300 "${filter[@]}"
