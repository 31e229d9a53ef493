#!/usr/bin/env bash
# Installs the package into build/venvs/demo and shows it at work.
#
#   scripts/demo.sh [args...]
#
# Runs the news-site demonstration (examples/news_site.py) with the
# arguments; its log, state files and picture land in out/.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

VENV="$VENVS/demo"
make_venv "$VENV" "$(base_python)"
say "installing ordwyne with the examples extra into $VENV"
"$VENV/bin/python" -m pip install -q --prefer-binary "$ROOT[examples]"
say "examples/news_site.py"
# A --out given by the caller comes later on the command line and wins.
exec "$VENV/bin/python" "$ROOT/examples/news_site.py" --out "$ROOT/out" "$@"
