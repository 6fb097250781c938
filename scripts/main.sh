#!/usr/bin/env bash
# The main job: builds the Linux flavour and runs the demo, a typical
# unattended installation on the built-in default machine. Extra arguments go
# to scripts/demo.sh (for instance a preset name).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build -DSETUP_TESTS=OFF > build.log 2>&1 || { cat build.log; exit 1; }
cmake --build build -j"$(nproc)" >> build.log 2>&1 || { tail -50 build.log; exit 1; }
exec bash scripts/demo.sh build "$@"
