#!/usr/bin/env bash
# Builds and runs every test: the unit tests (g++), the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang), then every fuzz target for a bounded time from its seed
# corpus. FUZZ_SECONDS sets the time per fuzz target (default 5; give it more by hand).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${FUZZ_SECONDS:-5}

bash scripts/install-deps.sh

passed=0
failed=0
count_ctest() {
  # ctest's summary line: "100% tests passed, 0 tests failed out of N"
  local log=$1 total fails
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n1)
  fails=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n1)
  passed=$((passed + ${total:-0} - ${fails:-0}))
  failed=$((failed + ${fails:-0}))
}

echo "== unit tests (g++)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLENTA_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
status=0
(cd build && ctest --output-on-failure -j"$jobs") 2>&1 | tee build/ctest.log || status=1
count_ctest build/ctest.log

echo "== unit tests under AddressSanitizer + UndefinedBehaviorSanitizer (clang)"
CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVORLENTA_WERROR=ON -DVORLENTA_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
# The 4 GiB exFAT file spends its time moving bytes through FUSE, not in our code: once is enough.
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:allow_user_segv_handler=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$jobs" -E 'AFileOverFourGibibytesIsSavedWhole') 2>&1 | tee build-asan/ctest.log || status=1
count_ctest build-asan/ctest.log

echo "== fuzz targets, ${fuzz_seconds}s each"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLENTA_WERROR=ON -DVORLENTA_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$jobs"
for target in build-fuzz/fuzz/fuzz_*; do
  name=$(basename "$target")
  work=$(mktemp -d)
  # Fuzz from a copy so the seed corpus in the repository stays as it is.
  if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$work/"; fi
  if "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
       -artifact_prefix="$work/" "$work" >"$work.log" 2>&1; then
    echo "fuzz $name: ok ($(grep -o 'DONE.*' "$work.log" | head -n1 || true))"
    passed=$((passed + 1))
  else
    echo "fuzz $name: FAILED"
    tail -n 40 "$work.log"
    ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* 2>/dev/null || true
    failed=$((failed + 1))
    status=1
  fi
  rm -rf "$work" "$work.log"
done

echo "${passed} passed, ${failed} failed"
exit $status
