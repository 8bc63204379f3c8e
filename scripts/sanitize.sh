#!/usr/bin/env bash
# Builds the engine tests and the embedded-interpreter tests under ThreadSanitizer and/or
# AddressSanitizer+UBSan and runs them; any sanitizer report fails the run.
#   scripts/sanitize.sh [thread|address|all]   (default: all)
set -euo pipefail

cd "$(dirname "$0")/.."
which="${1:-all}"
jobs="$(nproc)"
# The stress test is much slower under instrumentation; a smaller count still races enough.
export QUORVELIN_STRESS_COUNT="${QUORVELIN_STRESS_COUNT:-10000}"

# run_one KIND DIR [python]: with "python", the tests that embed the interpreter run too.
run_one() {
    local kind="$1" dir="$2" with_python="${3:-}"
    local python_options=(-DQUORVELIN_PYTHON_TESTS=OFF) targets=(core_tests)
    if [ "${with_python}" = python ]; then
        # The venv scripts/env.sh makes; asked for only when missing (env.sh run from inside
        # the venv's PATH would take the venv's own interpreter for the base one).
        local venv="${QUORVELIN_VENV:-$(pwd)/.venv}"
        [ -x "${venv}/bin/python" ] || venv="$(scripts/env.sh)"
        python_options=(-DQUORVELIN_PYTHON_TESTS=ON -DPython_EXECUTABLE="${venv}/bin/python")
        targets+=(python_tests)
    fi
    local flags=()
    if [ "${kind}" = address ]; then
        # With the address instrumentation GCC 12 takes the move of a std::variant holding an
        # empty alternative for a read of uninitialised storage (in the interpreter-side code);
        # the other builds keep the warning as an error.
        flags=(-DCMAKE_CXX_FLAGS=-Wno-maybe-uninitialized)
    fi
    echo "== ${kind}: configure and build in ${dir}"
    cmake -S . -B "${dir}" -G Ninja \
        -DQUORVELIN_SANITIZE="${kind}" "${flags[@]}" \
        -DQUORVELIN_BUILD_MODULE=OFF -DQUORVELIN_BUILD_TESTS=ON "${python_options[@]}" \
        -DQUORVELIN_WERROR=ON >/dev/null
    ninja -C "${dir}" -j "${jobs}" "${targets[@]}"
    echo "== ${kind}: run"
    timeout 600 "${dir}/tests/cpp/core_tests" --gtest_brief=1
    if [ "${with_python}" = python ]; then
        # The interpreter itself is not instrumented; see the suppression file. The address
        # run needs none: LeakSanitizer sees only what is taken from malloc (the interpreter's
        # objects live in its own allocator), and the interpreter leaves none of that unreachable.
        TSAN_OPTIONS="${TSAN_OPTIONS:-} suppressions=$(pwd)/tests/cpp/python/tsan.supp" \
            timeout 600 "${dir}/tests/cpp/python_tests" --gtest_brief=1
    fi
}

case "${which}" in
    thread | all)
        TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
            run_one thread build/tsan python
        ;;&
    address | all)
        ASAN_OPTIONS="abort_on_error=1 detect_leaks=1 detect_stack_use_after_return=1 ${ASAN_OPTIONS:-}" \
        UBSAN_OPTIONS="halt_on_error=1 abort_on_error=1 print_stacktrace=1 ${UBSAN_OPTIONS:-}" \
            run_one address build/asan python
        ;;
    thread) ;;
    *)
        echo "usage: $0 [thread|address|all]" >&2
        exit 2
        ;;
esac
echo "== sanitizers: clean"
