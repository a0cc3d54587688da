#!/usr/bin/env bash
# Builds the project into build/ (release with debug info, warnings as errors).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLENTA_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
