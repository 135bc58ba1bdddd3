#!/usr/bin/env bash
# CI: builds the ThreadSanitizer preset and runs the platform's and the scan engine's tests
# under it (the lab tests among them need root and skip without it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset tsan >/dev/null
# Everything: the engine's lab tests also run the program and helper programs.
cmake --build --preset tsan -j"$(nproc)"
# A report ends the process with a failure; halt_on_error keeps the first one readable.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}"
ctest --preset tsan -L '^(platform|scan)$' --timeout 900
