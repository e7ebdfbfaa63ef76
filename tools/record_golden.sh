#!/usr/bin/env bash
# Re-records the golden outputs (tests/golden/) from the program as it now stands, and lists
# the cases whose bytes changed against the stored set. Usage: tools/record_golden.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake -S . -B "$build" > /dev/null
cmake --build "$build" -j2 --target pelmar_tests > /dev/null
PELMAR_GOLDEN_RECORD=1 "$build/tests/pelmar_tests" --gtest_filter='Golden.*' --gtest_brief=1 \
  | grep -E '^(changed|    |recorded)' || true
git status --short tests/golden
