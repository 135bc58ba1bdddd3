#!/usr/bin/env bash
# Fails when clang-format (the version scripts/install-deps.sh installs) would change a C++ file
# under src/, tests/ or benchmarks/, and names each such file with the change it would make.
# Usage: scripts/check-format.sh   (from anywhere; it checks the files git tracks)
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format-14
if ! command -v "$format" >/dev/null; then
  echo "check-format: $format not found (scripts/install-deps.sh installs it)" >&2
  exit 2
fi
failed=0
while IFS= read -r -d '' file; do
  if ! "$format" --style=file "$file" | cmp -s - "$file"; then
    echo "check-format: $file is not laid out as .clang-format says:"
    "$format" --style=file "$file" | diff -u --label "$file" --label "$file (formatted)" "$file" - || true
    failed=1
  fi
done < <(git ls-files -z -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' \
           'benchmarks/*.cpp' 'benchmarks/*.h')
if [ "$failed" -ne 0 ]; then
  echo "check-format: run $format -i on the files above" >&2
  exit 1
fi
echo "check-format: every file is laid out as .clang-format says"
