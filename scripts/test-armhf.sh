#!/usr/bin/env bash
# Builds quorvelin for 32-bit ARM Linux (armhf) and runs its three test suites under user-mode
# emulation: the engine tests, the embedded-interpreter tests and pytest against the cross-built
# module. Needs a Debian 12 x86_64 machine and installs the rest: the cross toolchain and armhf
# libraries (multiarch), an emulator new enough for the termios2 ioctls, and a free-threaded
# CPython for armhf. The emulator and the armhf interpreter are cached in ~/.cache/quorvelin.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$HERE/scripts/armhf/common.sh"
BUILD=$HERE/build/armhf
jobs=$(nproc)
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

step() { echo "== armhf [$SECONDS s]: $*" >&2; }

step "toolchain, emulator and interpreters"
bash "$HERE/scripts/armhf/ensure-packages.sh"
QEMU=$("$HERE/scripts/armhf/ensure-qemu.sh")
VENV=$("$HERE/scripts/env.sh")  # the native cmake, ninja and pip
ARM_PREFIX=$("$HERE/scripts/armhf/ensure-python.sh" "$QEMU")
"$HERE/scripts/armhf/install-test-tools.sh" "$VENV" "$ARM_PREFIX"
"$QEMU" --version | head -n 1 >&2
export PATH=$VENV/bin:$PATH
unset QEMU_LD_PREFIX  # the loader and libc must both come from the armhf packages

# Without binfmt_misc a program that re-executes itself (death tests, subprocess with
# sys.executable) needs an argv[0] the host can run: a script that starts the emulator again.
launchers=$BUILD/launchers
mkdir -p "$launchers"
make_launcher() {  # make_launcher <name> <armhf program>
    printf '#!/bin/sh\nexec "%s" -0 "$0" "%s" "$@"\n' "$QEMU" "$2" >"$launchers/$1"
    chmod +x "$launchers/$1"
}
make_launcher python3.14t "$ARM_PREFIX/bin/python3.14t"

step "configure and build (engine tests, embedded-interpreter tests, module)"
cmake -S "$HERE" -B "$BUILD/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$HERE/scripts/armhf/toolchain.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$QEMU" -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
    -DPython_EXECUTABLE="$ARM_PREFIX/bin/python3.14t" \
    -DQUORVELIN_BUILD_MODULE=ON -DQUORVELIN_BUILD_TESTS=ON -DQUORVELIN_PYTHON_TESTS=ON \
    -DQUORVELIN_WERROR=$werror >/dev/null
cmake --build "$BUILD/cmake" -j "$jobs"
make_launcher core_tests "$BUILD/cmake/tests/cpp/core_tests"
make_launcher python_tests "$BUILD/cmake/tests/cpp/python_tests"

# The package as it is installed: the Python sources beside the cross-built extension.
rm -rf "$BUILD/site"
mkdir -p "$BUILD/site"
cp -r "$HERE/quorvelin" "$BUILD/site/"
find "$BUILD/site" -name __pycache__ -prune -exec rm -rf {} +
cmake --install "$BUILD/cmake" --prefix "$BUILD/site" >/dev/null

results=$BUILD/results
rm -rf "$results"
mkdir -p "$results"
status=0
step "engine tests (core_tests)"
timeout 900 "$launchers/core_tests" --gtest_brief=1 --gtest_output="xml:$results/core_tests.xml" || status=1
step "embedded-interpreter tests (python_tests)"
# The embedded interpreter finds its standard library through python3 on PATH.
PATH=$ARM_PREFIX/bin:$PATH timeout 900 "$launchers/python_tests" --gtest_brief=1 \
    --gtest_output="xml:$results/python_tests.xml" || status=1
step "pytest"
# From tests/, so the package under build/armhf/site is imported, never the source tree.
(cd "$HERE/tests" && PYTHONPATH=$BUILD/site timeout 1200 "$launchers/python3.14t" -m pytest -q \
    -p no:cacheprovider --junitxml="$results/pytest.xml" "$HERE/tests") || status=1

step "done"
"$VENV/bin/python" "$HERE/scripts/armhf/summary.py" core_tests="$results/core_tests.xml" \
    python_tests="$results/python_tests.xml" pytest="$results/pytest.xml" || status=1
exit $status
