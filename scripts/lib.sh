# Shared helpers for the scripts in this directory; sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
VENVS="$BUILD/venvs"
JOBS="${ORDWYNE_JOBS:-2}"
MIN_CMAKE=3.26

export PIP_DISABLE_PIP_VERSION_CHECK=1

say() { printf '\n==> %s\n' "$*"; }
warn() { printf 'warning: %s\n' "$*" >&2; }

# The first interpreter for version X.Y that actually runs: the highest pyenv
# build, then python3.X on PATH (a pyenv shim on PATH may exist and still refuse).
find_python() {
    local v=$1 cand
    for cand in $(ls -d /root/.pyenv/versions/"$v".*/bin/python"$v" 2>/dev/null | sort -V -r); do
        if "$cand" -c 'import sys' >/dev/null 2>&1; then echo "$cand"; return 0; fi
    done
    cand=$(command -v "python$v" 2>/dev/null || true)
    if [[ -n $cand ]] && "$cand" -c 'import sys' >/dev/null 2>&1; then
        echo "$cand"; return 0
    fi
    return 1
}

# The interpreter the build tools run under: python3, else python.
base_python() {
    local cand
    for cand in python3 python; do
        if command -v "$cand" >/dev/null 2>&1 && "$cand" -c 'import sys; assert sys.version_info >= (3, 10)' >/dev/null 2>&1; then
            echo "$cand"; return 0
        fi
    done
    echo "no Python >= 3.10 found on PATH" >&2
    return 1
}

# make_venv DIR PYTHON: create DIR unless it already holds a working venv of
# that same interpreter version; reused venvs keep re-runs fast.
make_venv() {
    local dir=$1 py=$2 want have
    want=$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
    if [[ -x $dir/bin/python ]]; then
        have=$("$dir/bin/python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])' 2>/dev/null || true)
        [[ $have == "$want" ]] && return 0
        warn "recreating $dir (had '${have:-broken}', want $want)"
        rm -rf "$dir"
    fi
    "$py" -m venv "$dir"
}

# pip_install_once DIR REQFILE [pip args]: install a requirements file into a
# venv, skipped when the file has not changed since the last install.
pip_install_once() {
    local dir=$1 req=$2; shift 2
    local stamp="$dir/.stamp-$(basename "$req")" sum
    sum=$(sha256sum "$req" | cut -d' ' -f1)
    if [[ -f $stamp && $(cat "$stamp") == "$sum" ]]; then return 0; fi
    "$dir/bin/python" -m pip install -q -r "$req" "$@"
    echo "$sum" > "$stamp"
}

cmake_ok() {
    local v
    v=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9][0-9.]*\).*/\1/p') || return 1
    [[ -n $v ]] && [[ $(printf '%s\n%s\n' "$MIN_CMAKE" "$v" | sort -V | head -n1) == "$MIN_CMAKE" ]]
}

# Debian 12's own cmake is too old for the project; fall back to the PyPI
# build inside the tools venv.
ensure_cmake() {
    local tools=$1
    if cmake_ok; then return 0; fi
    export PATH="$tools/bin:$PATH"
    if cmake_ok; then return 0; fi
    say "cmake >= $MIN_CMAKE not found; installing it from PyPI into $tools"
    "$tools/bin/python" -m pip install -q "cmake>=$MIN_CMAKE" ninja
    hash -r
    cmake_ok
}
