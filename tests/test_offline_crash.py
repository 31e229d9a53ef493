"""A host killed with SIGKILL at random moments: its last checkpoint and its
log must replay to exactly the state an uninterrupted run of the same host
has after the same number of log lines."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import ordwyne as ow
from ordwyne_offline import cli
from test_offline_support import Host, create_args

HOST = textwrap.dedent("""
    import os, sys, time
    import ordwyne as ow
    from test_offline_support import Host

    seed, log_path, checkpoint_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    host = Host(seed, salt="crash", use_expire=False)  # one engine call, one line
    with open(log_path, "w") as log:
        for step in range(1_000_000):
            for line in host.step():
                # two writes per line, so a kill can tear a line as a real crash would
                log.write(line[:len(line) // 2]); log.flush()
                if step % 3 == 0:
                    time.sleep(0.002)  # widen the window a kill tears a line in
                log.write(line[len(line) // 2:] + "\\n"); log.flush()
            if step % 37 == 36:  # checkpoint: atomically, only what the log already holds
                tmp = checkpoint_path + ".tmp"
                with open(tmp, "w") as f:
                    f.write(ow.serialize(host.state)); f.flush(); os.fsync(f.fileno())
                os.replace(tmp, checkpoint_path)
""")


def reference_after(seed, n_lines):
    host = Host(seed, salt="crash", use_expire=False)
    while len(host.lines) < n_lines:
        host.step()
    assert len(host.lines) == n_lines
    return ow.serialize(host.state)


@pytest.mark.slow
@pytest.mark.parametrize("run", range(6))
def test_replay_after_sigkill_equals_the_uninterrupted_host(tmp_path, run):
    rng = random.Random(1000 + run)
    seed = rng.randrange(2 ** 32)
    script = tmp_path / "host.py"
    script.write_text(HOST)
    log, checkpoint = tmp_path / "host.log", tmp_path / "host.state"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.abspath(__file__))] + os.environ.get("PYTHONPATH", "").split(
            os.pathsep)).rstrip(os.pathsep))
    proc = subprocess.Popen([sys.executable, str(script), str(seed), str(log), str(checkpoint)],
                            env=env)
    deadline = time.monotonic() + 30
    while not (log.exists() and log.stat().st_size > 0) and time.monotonic() < deadline:
        time.sleep(0.01)  # let the interpreter start before the clock runs
    time.sleep(rng.uniform(0.05, 1.5))
    proc.send_signal(signal.SIGKILL)
    assert proc.wait() == -signal.SIGKILL

    data = log.read_bytes()
    complete = data.count(b"\n")
    assert complete > 0
    start = ["--state", str(checkpoint)] if checkpoint.exists() else create_args()
    out = tmp_path / "replayed.state"
    assert cli.main(["replay", str(log), *start, "--out", str(out), "--quiet"]) == 0
    assert out.read_text() == reference_after(seed, complete)
    torn = not data.endswith(b"\n")
    print(f"run {run}: killed after {complete} complete lines, torn tail {torn}, "
          f"checkpoint {checkpoint.exists()}")
