#!/usr/bin/env bash
# Builds every fuzz target of tests/fuzz as a libFuzzer executable with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer (own build dir), and runs each for a bounded time starting from
# its committed corpus. Fails on any crash, leak, time-out or memory blow-up.
# Usage: scripts/ci-fuzz.sh [seconds per target]   (default 45; QZ_FUZZ_SECONDS also works)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-${QZ_FUZZ_SECONDS:-45}}"
build="${QZ_FUZZ_BUILD:-build-fuzz}"
jobs="${QZ_FUZZ_JOBS:-2}"

flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DQZ_FUZZ=ON -DQZ_WERROR=ON >/dev/null

targets=()
for source in tests/fuzz/*_fuzzer.cpp; do
  targets+=("$(basename "$source" .cpp)")
done
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
failed=()
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$work" "$artifacts"
  # The datagram and request parsers are small: their coverage levels off within seconds.
  limit="$seconds"
  case "$target" in
    dnsmessage_fuzzer | nodestatus_fuzzer | ssdpanswer_fuzzer | arprequest_fuzzer) [ "$limit" -le 20 ] || limit=20 ;;
  esac
  echo "== fuzzing $target for $limit s"
  # New inputs go to the scratch corpus; the committed one is read only.
  if ! "$build/tests/fuzz/$target" "$work" "tests/fuzz/corpus/$target" \
      -max_total_time="$limit" -timeout=30 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" 2>"$build/$target.log"; then
    tail -n 60 "$build/$target.log"
    failed+=("$target")
  else
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb|Done" "$build/$target.log" || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $build/artifacts/)"
  exit 1
fi
echo "fuzzing passed: ${targets[*]}"
