#!/usr/bin/env bash
# Builds the Debian package (and its -dbgsym package) into build/ and checks
# it with lintian. Install it with `sudo apt install ./build/opal-agent-setting_*.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The same configuration as scripts/test.sh's normal build, so the two share
# one build directory.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
cmake --build build -j"$(nproc)"
(cd build && cpack -G DEB)
lintian build/opal-agent-setting_*.deb
