#!/usr/bin/env bash
# Configures and builds chongma in ./build (warnings are errors).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHONGMA_WERROR=ON >/dev/null
cmake --build build --parallel "$(nproc)"
