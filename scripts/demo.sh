#!/usr/bin/env bash
# Installs the package into build/venvs/demo and shows it at work.
#
#   scripts/demo.sh [args...]
#
# Runs examples/demo.py with the arguments when it exists; until then, a
# short check that the module imports and makes a state.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

VENV="$VENVS/demo"
make_venv "$VENV" "$(base_python)"
say "installing ordwyne into $VENV"
# With the "examples" extra: the demonstration's own plotting and display
# packages.
"$VENV/bin/python" -m pip install -q --prefer-binary "$ROOT[examples]"

if [[ -f $ROOT/examples/demo.py ]]; then
    say "examples/demo.py"
    exec "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
fi

say "ordwyne"
cd "$VENV"
exec "$VENV/bin/python" - "$@" <<'EOF'
import sys
import ordwyne

state = ordwyne.create(12, 3600.0)
print("ordwyne", "from", ordwyne.__file__)
print("python", sys.version.split()[0])
print("state:", type(state).__name__, "with", ordwyne.model_bits(state), "bits")
EOF
