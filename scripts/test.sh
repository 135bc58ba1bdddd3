#!/usr/bin/env bash
# Builds quenZOR and runs every test. Lab tests (network namespaces) need root and
# skip with a message otherwise. Usage: scripts/test.sh [preset]   (default, asan, tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
started=$SECONDS
cmake --build --preset "$preset" -j"$(nproc)"
echo "build ($preset): $((SECONDS - started)) s"
ctest --preset "$preset" -j"$(nproc)" --timeout 600
