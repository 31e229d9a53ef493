#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer over both test suites.
#
#   scripts/sanitize.sh [pytest args...]     (default: tests/)
#
# Builds the engine's GoogleTest suite and the extension module with
# -DORDWYNE_SANITIZE=ON into build/sanitize, runs the GoogleTest binary, then
# runs pytest on tests/ against that module (put first on PYTHONPATH) with
# gcc's ASan runtime preloaded into an ordinary interpreter.
#
# Leak detection is off: the interpreter keeps objects alive until exit by
# design, so every run would report it. UBSan stops at the first error.
#
# Environment:
#   ORDWYNE_SANITIZE_PYTHON  interpreter to test under (default python3)
#   ORDWYNE_JOBS             parallel compile jobs (default 2)
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

DIR="$BUILD/sanitize"
VENV="$VENVS/sanitize"
PY_IN=${ORDWYNE_SANITIZE_PYTHON:-$(base_python)}
START=$SECONDS

say "tools"
make_venv "$VENV" "$PY_IN"
pip_install_once "$VENV" "$ROOT/scripts/requirements-test.txt"
ensure_cmake "$VENV"
PY="$VENV/bin/python"
"$PY" --version

ASAN_RT=$(g++ -print-file-name=libasan.so)
if [[ $ASAN_RT != /* || ! -e $ASAN_RT ]]; then
    echo "gcc's ASan runtime not found (g++ -print-file-name=libasan.so gave '$ASAN_RT')" >&2
    exit 1
fi
echo "ASan runtime: $ASAN_RT"

say "build (ORDWYNE_SANITIZE=ON)"
# RelWithDebInfo: optimised enough for hypothesis to finish, symbols for
# readable reports.
cmake -S "$ROOT" -B "$DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORDWYNE_SANITIZE=ON -DORDWYNE_TESTS=ON -DORDWYNE_PYTHON=ON \
    -DPython_EXECUTABLE="$PY"
cmake --build "$DIR" -j "$JOBS"

MODULE=$(ls "$DIR"/binding/ordwyne*.so)
echo "module: $MODULE"

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

say "GoogleTest under ASan+UBSan"
"$DIR/core/ordwyne_core_tests"

say "pytest under ASan+UBSan"
# The source tree has no ordwyne module of its own, so PYTHONPATH decides
# which module the tests import; check it is the sanitized one. The pure
# Python packages beside it come from the source tree.
export PYTHONPATH="$(dirname "$MODULE"):$ROOT/python${PYTHONPATH:+:$PYTHONPATH}"
LD_PRELOAD="$ASAN_RT" "$PY" -c 'import ordwyne, sys; assert ordwyne.__file__ == sys.argv[1], ordwyne.__file__; print("ordwyne from", ordwyne.__file__)' "$MODULE"
(( $# )) || set -- "$ROOT/tests"
LD_PRELOAD="$ASAN_RT" "$VENV/bin/pytest" -p no:cacheprovider "$@"

say "sanitized runs passed in $((SECONDS - START)) s"
