#!/usr/bin/env bash
# Builds quenZOR and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target quenzor
exec build/src/app/quenzor
