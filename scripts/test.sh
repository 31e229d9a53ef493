#!/usr/bin/env bash
# The project's test command.
#
#   scripts/test.sh
#
# 1. builds the engine with its GoogleTest suite and runs it;
# 2. builds the extension wheel once, checks it is tagged cp310-abi3 and that
#    abi3audit finds no use of anything outside the stable ABI;
# 3. installs that same wheel into a venv of each CPython 3.10-3.13 and runs
#    the pytest suite there;
# 4. prints a summary and exits non-zero if anything failed.
#
# Needs g++, GoogleTest and Google Benchmark from apt (.ci/run installs them)
# and the interpreters; everything from PyPI goes into venvs under build/venvs,
# which later runs reuse.
#
# Environment:
#   ORDWYNE_PYTHONS  interpreter versions to test (default "3.10 3.11 3.12 3.13")
#   ORDWYNE_JOBS     parallel compile jobs (default 2)
#   ORDWYNE_SLOW_PYTHON  the one interpreter that also runs tests marked slow
#                    (default: the last of ORDWYNE_PYTHONS)
#   CI               when set, a missing interpreter is a failure, not a skip
#   extra arguments are passed to every pytest run
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

PYVERSIONS=(${ORDWYNE_PYTHONS:-3.10 3.11 3.12 3.13})
# The interpreter that also runs the tests marked slow: by default the last
# one tested.
SLOW_PYTHON=${ORDWYNE_SLOW_PYTHON:-${PYVERSIONS[-1]}}
REPORTS="$BUILD/reports"
PYTEST_ARGS=("$@")
WHEEL_TAG=cp310-abi3

STAGE_NAMES=()
STAGE_RESULTS=()
STAGE_TIMES=()

record() { STAGE_NAMES+=("$1"); STAGE_RESULTS+=("$2"); STAGE_TIMES+=("$3"); }

# stage NAME FUNCTION: run FUNCTION in a subshell with errexit in force (an
# `if` around it would silently switch errexit off), record pass/fail, go on.
stage() {
    local name=$1 start rc; shift
    say "$name"
    start=$SECONDS
    set +e
    ( set -e; "$@" )
    rc=$?
    set -e
    if (( rc == 0 )); then
        record "$name" PASS $((SECONDS - start))
    else
        echo "!! $name failed (exit $rc)"
        record "$name" FAIL $((SECONDS - start))
    fi
    return 0
}

last_passed() { [[ ${STAGE_RESULTS[-1]} == PASS ]]; }

# --- stages -----------------------------------------------------------------

engine_tests() {
    local dir="$BUILD/engine"
    cmake -S "$ROOT" -B "$dir" -DORDWYNE_TESTS=ON -DORDWYNE_PYTHON=OFF -DORDWYNE_SANITIZE=OFF
    cmake --build "$dir" -j "$JOBS"
    # The binary directly: one process for the whole suite, unlike ctest's
    # one process per test.
    "$dir/core/ordwyne_core_tests" --gtest_output="xml:$REPORTS/engine.xml"
}

build_wheel() {
    mkdir -p "$ROOT/dist"
    rm -f "$ROOT"/dist/ordwyne-*.whl
    local start=$SECONDS
    "$VENVS/tools/bin/python" -m pip wheel "$ROOT" -w "$ROOT/dist" --no-deps
    echo "wheel built in $((SECONDS - start)) s"
    local wheels=("$ROOT"/dist/ordwyne-*.whl)
    if [[ ${#wheels[@]} -ne 1 || ! -f ${wheels[0]} ]]; then
        echo "expected exactly one ordwyne wheel in dist/, found: ${wheels[*]}"
        return 1
    fi
    local name
    name=$(basename "${wheels[0]}")
    echo "wheel: $name"
    # name-version-python-abi-platform.whl
    local tags
    tags=$(echo "$name" | sed -E 's/^[^-]+-[^-]+-([^-]+-[^-]+)-[^-]+\.whl$/\1/')
    if [[ $tags != "$WHEEL_TAG" ]]; then
        echo "wheel is tagged $tags, expected $WHEEL_TAG"
        return 1
    fi
    # The tag inside the wheel must agree with its file name.
    "$VENVS/tools/bin/python" - "${wheels[0]}" "$WHEEL_TAG" <<'EOF'
import sys, zipfile
path, want = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(path) as z:
    meta = next(n for n in z.namelist() if n.endswith(".dist-info/WHEEL"))
    tags = [l.split(":", 1)[1].strip() for l in z.read(meta).decode().splitlines() if l.startswith("Tag:")]
    names = z.namelist()
    mods = [n for n in names if n.startswith("ordwyne") and n.endswith(".so")]
print("WHEEL tags:", ", ".join(tags))
print("modules:", ", ".join(mods))
if not tags or any(not t.startswith(want + "-") for t in tags):
    sys.exit("WHEEL metadata tag is not " + want)
if mods != ["ordwyne.abi3.so"]:
    sys.exit("expected exactly one module, ordwyne.abi3.so")
# The pure-Python parts ship beside the module.
for needed in ("ordwyne-stubs/__init__.pyi", "ordwyne_offline/cli.py"):
    if needed not in names:
        sys.exit("the wheel lacks " + needed)
EOF
}

# Requirements of the wheel's "examples" extra, one a line, markers kept.
examples_requirements() {
    "$VENVS/tools/bin/python" - "$WHEEL" <<'EOF'
import re, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    meta = next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))
    lines = z.read(meta).decode().splitlines()
extra = re.compile(r"""\s*(and\s+)?extra\s*==\s*['"]examples['"]\s*(and\s+)?""")
for line in lines:
    if not line.startswith("Requires-Dist:"):
        continue
    req, _, marker = line.split(":", 1)[1].partition(";")
    if not extra.search(marker):
        continue
    rest = extra.sub(" ", marker).strip()
    print(req.strip() + ("; " + rest if rest else ""))
EOF
}

audit_wheel() {
    # --strict: an audit step that cannot run is a failure too; violations
    # always make abi3audit exit non-zero.
    "$VENVS/tools/bin/abi3audit" --strict --summary --verbose "$WHEEL"
}

python_tests() {
    local v=$1 py=$2 dir="$VENVS/py$1" marker=()
    make_venv "$dir" "$py"
    pip_install_once "$dir" "$ROOT/scripts/requirements-test.txt"
    # Slow tests (statistics, crashes, the cluster, type checkers) need more
    # packages and minutes; one interpreter is enough to run them.
    if [[ $v == "$SLOW_PYTHON" ]]; then
        pip_install_once "$dir" "$ROOT/scripts/requirements-slow.txt"
    else
        marker=(-m "not slow")
    fi
    # The examples' own packages (the wheel's "examples" extra), so their
    # smoke tests run rather than skip.
    if [[ -s $EXAMPLES_REQ ]]; then
        pip_install_once "$dir" "$EXAMPLES_REQ" --only-binary=:all:
    fi
    "$dir/bin/python" -m pip install -q --no-deps --force-reinstall "$WHEEL"
    # Import from outside the source tree, so only the installed wheel can answer.
    (cd "$dir" && "$dir/bin/python" -c 'import ordwyne, sys; print("ordwyne from", ordwyne.__file__, "on", sys.version.split()[0])')
    local rc=0
    # bin/pytest rather than python -m pytest: -m would put the working
    # directory on sys.path ahead of site-packages.
    "$dir/bin/pytest" "$ROOT/tests" -p no:cacheprovider \
        --junitxml="$REPORTS/python-$v.xml" -o junit_family=xunit2 \
        ${marker[@]+"${marker[@]}"} ${PYTEST_ARGS[@]+"${PYTEST_ARGS[@]}"} || rc=$?
    if (( rc == 5 )); then
        echo "pytest collected no tests under tests/: the suite is missing"
    fi
    return "$rc"
}

# --- run --------------------------------------------------------------------

TOTAL_START=$SECONDS
mkdir -p "$REPORTS" "$VENVS"
rm -f "$REPORTS"/*.xml

# On a fresh machine: the system packages the engine's tests and benchmarks
# build against (.ci/run installs them too; this keeps the command
# self-contained).
if [[ ! -f /usr/include/gtest/gtest.h || ! -f /usr/include/benchmark/benchmark.h ]] \
        && command -v apt-get >/dev/null; then
    say "system packages (apt-get)"
    SUDO=()
    [[ $(id -u) -ne 0 ]] && SUDO=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${SUDO[@]}" apt-get update -q
    "${SUDO[@]}" apt-get install -y -q --no-install-recommends \
        build-essential libgtest-dev libbenchmark-dev
fi

say "tools"
BASE_PY=$(base_python)
make_venv "$VENVS/tools" "$BASE_PY"
pip_install_once "$VENVS/tools" "$ROOT/scripts/requirements-tools.txt"
ensure_cmake "$VENVS/tools"
echo "cmake: $(command -v cmake) ($(cmake --version | head -n1))"
echo "g++: $(g++ --version | head -n1)"

stage "engine: build + GoogleTest" engine_tests

stage "wheel: build + tag" build_wheel
WHEEL=""
EXAMPLES_REQ=""
if last_passed; then
    WHEEL=$(ls "$ROOT"/dist/ordwyne-*.whl)
    stage "wheel: abi3audit" audit_wheel
    EXAMPLES_REQ="$BUILD/examples-requirements.txt"
    if ! examples_requirements > "$EXAMPLES_REQ"; then
        record "wheel: examples extra" FAIL 0
        : > "$EXAMPLES_REQ"
    fi
    echo "examples extra: $(tr '\n' ' ' < "$EXAMPLES_REQ")"
fi

missing=()
for v in "${PYVERSIONS[@]}"; do
    if ! py=$(find_python "$v"); then
        if [[ -n ${CI:-} ]]; then
            say "python $v"
            echo "!! CPython $v not found under /root/.pyenv/versions or as python$v on PATH"
            record "python $v: pytest" FAIL 0
        else
            missing+=("$v")
            record "python $v: pytest" "SKIP (CPython $v not found)" 0
        fi
        continue
    fi
    if [[ -z $WHEEL ]]; then
        record "python $v: pytest" "FAIL (no wheel)" 0
        continue
    fi
    stage "python $v: pytest" python_tests "$v" "$py"
done

# --- summary ----------------------------------------------------------------

say "summary"
failed_stages=0
for i in "${!STAGE_NAMES[@]}"; do
    printf '  %-30s %-32s %5ss\n' "${STAGE_NAMES[$i]}" "${STAGE_RESULTS[$i]}" "${STAGE_TIMES[$i]}"
    [[ ${STAGE_RESULTS[$i]} == FAIL* ]] && failed_stages=$((failed_stages + 1))
done
printf '  %-30s %-32s %5ss\n' "total" "" $((SECONDS - TOTAL_START))
if (( ${#missing[@]} )); then
    echo "  not tested (interpreter absent): ${missing[*]}"
fi
if (( failed_stages > 0 )); then
    echo "FAILED: $failed_stages stage(s) failed"
else
    echo "OK: every stage passed"
fi

# Test counts over every report; a failed stage that left no failing test
# behind (a build error, say) counts as one failure of its own.
"$VENVS/tools/bin/python" - "$REPORTS" "$failed_stages" <<'EOF'
import glob, os, sys
import xml.etree.ElementTree as ET
reports, failed_stages = sys.argv[1], int(sys.argv[2])
passed = failed = skipped = 0
failing_reports = 0
for path in sorted(glob.glob(os.path.join(reports, "*.xml"))):
    p = f = s = 0
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError:
        print(f"  {os.path.basename(path)}: unreadable report")
        continue
    for case in root.iter("testcase"):
        tags = {child.tag for child in case}
        if tags & {"failure", "error"}:
            f += 1
        elif "skipped" in tags or case.get("status") == "notrun" or case.get("result") == "skipped":
            s += 1
        else:
            p += 1
    print(f"  {os.path.basename(path):<30} {p} passed, {f} failed, {s} skipped")
    passed, failed, skipped = passed + p, failed + f, skipped + s
    failing_reports += f > 0
failed += max(0, failed_stages - failing_reports)
print()
print(f"summary: {passed} passed, {failed} failed, {skipped} skipped")
EOF

(( failed_stages == 0 ))
