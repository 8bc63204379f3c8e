#!/usr/bin/env bash
# Placeholder until the runtime lands: builds and runs the engine tests under a sanitizer.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kind=${1:-thread}
dir=$HERE/build/$kind
cmake -S "$HERE" -B "$dir" -G Ninja -DQUORVELIN_BUILD_MODULE=OFF -DQUORVELIN_BUILD_TESTS=ON \
    -DQUORVELIN_PYTHON_TESTS=OFF -DQUORVELIN_SANITIZE=$kind >/dev/null
cmake --build "$dir" -j "$(nproc)"
TSAN_OPTIONS=halt_on_error=1 "$dir/tests/cpp/core_tests" --gtest_brief=1
