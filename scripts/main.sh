#!/usr/bin/env bash
# The main job: builds the Linux flavour and runs the demo, a typical
# unattended installation on the built-in default machine. Extra arguments go
# to scripts/demo.sh (for instance a preset name).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build-demo -DSETUP_TESTS=OFF > build-demo.log 2>&1 || { cat build-demo.log; exit 1; }
cmake --build build-demo -j"$(nproc)" >> build-demo.log 2>&1 || { tail -50 build-demo.log; exit 1; }
exec bash scripts/demo.sh build-demo "$@"
