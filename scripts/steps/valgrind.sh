#!/usr/bin/env bash
# The C++ core tests under valgrind memcheck: any memory error or leak fails the script.
# Uses the release build with tests (build/release), building it when needed.
set -euo pipefail
mkdir -p build
bash scripts/steps/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DPILORA_BUILD_TESTS=ON >/dev/null
echo "== C++ core tests under valgrind memcheck"
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=1 --quiet \
  build/release/tests/core/core_tests --gtest_brief=1 "$@"
