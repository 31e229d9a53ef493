#!/usr/bin/env bash
# Installs the package into build/venvs/demo and shows it at work.
#
#   scripts/demo.sh [args...]
#
# Runs the news-site demonstration (examples/news_site.py) with the
# arguments; its log, state files and picture land in out/. Then the offline
# tool checks the day's log by replaying it from the start state, and
# estimates what other settings would have earned on the same traffic.
# Last, the same site served by four worker processes and one learner
# (examples/news_fleet.py), its files in out/fleet/.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

VENV="$VENVS/demo"
make_venv "$VENV" "$(base_python)"
say "installing ordwyne with the examples and eval extras into $VENV"
"$VENV/bin/python" -m pip install -q --prefer-binary "$ROOT[examples,eval]"

# A --out given by the caller comes later on the command line and wins.
OUT="$ROOT/out"
args=("$@")
for i in "${!args[@]}"; do
    case ${args[$i]} in
        --out) OUT=${args[$((i + 1))]:-$OUT} ;;
        --out=*) OUT=${args[$i]#--out=} ;;
    esac
done

say "examples/news_site.py"
rc=0
"$VENV/bin/python" "$ROOT/examples/news_site.py" --out "$ROOT/out" "$@" || rc=$?

LOG="$OUT/experience.jsonl"
START="$OUT/start_state.hex"
say "ordwyne verify $LOG --state $START"
"$VENV/bin/ordwyne" verify "$LOG" --state "$START" --quiet --json "$OUT/verify.json" || rc=$?

say "ordwyne eval $LOG --state $START --epsilon 0,0.05,0.2 --forgetfulness 1.0,0.999"
"$VENV/bin/ordwyne" eval "$LOG" --state "$START" --epsilon 0,0.05,0.2 \
    --forgetfulness 1.0,0.999 --quiet --json "$OUT/eval.json" --plot "$OUT/eval.png" || rc=$?

# The same site served by a fleet: its output goes below OUT, whatever --out said.
fleet_args=()
skip=0
for a in "$@"; do
    if ((skip)); then skip=0; continue; fi
    case $a in
        --out) skip=1 ;;
        --out=*) ;;
        *) fleet_args+=("$a") ;;
    esac
done
say "examples/news_fleet.py: 4 worker processes, one learner (ordwyne train --follow)"
"$VENV/bin/python" "$ROOT/examples/news_fleet.py" "${fleet_args[@]}" --out "$OUT/fleet" || rc=$?
exit "$rc"
