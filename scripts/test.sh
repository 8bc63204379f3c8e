#!/usr/bin/env bash
# Builds everything and runs every test: pytest against the installed package, the GoogleTest
# suites, and the engine and embedded-interpreter tests under ThreadSanitizer and under
# AddressSanitizer with UBSan.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=$("$HERE/scripts/install.sh")
export PATH=$VENV/bin:$PATH
jobs=$(nproc)

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

echo "== GoogleTest suites"
cmake -S "$HERE" -B "$HERE/build/tests" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVELIN_BUILD_MODULE=OFF -DQUORVELIN_BUILD_TESTS=ON -DQUORVELIN_PYTHON_TESTS=ON \
    -DQUORVELIN_WERROR=$werror -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build "$HERE/build/tests" -j "$jobs"
ctest --test-dir "$HERE/build/tests" --output-on-failure --timeout 600

echo "== Engine and embedded-interpreter tests under ThreadSanitizer"
start=$SECONDS
"$HERE/scripts/sanitize.sh" thread
echo "== ThreadSanitizer took $((SECONDS - start)) s"

echo "== Engine and embedded-interpreter tests under AddressSanitizer and UBSan"
start=$SECONDS
"$HERE/scripts/sanitize.sh" address
echo "== AddressSanitizer took $((SECONDS - start)) s"

echo "== pytest"
cd "$HERE/tests"  # the installed package, not the source tree, is imported
"$VENV/bin/python" -m pytest -q -p no:cacheprovider "$HERE/tests"
