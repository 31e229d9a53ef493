"""Fuzzes deserialize with mutated valid states (checksum recomputed, so the
deeper checks are reached) and raw text. Every refusal must be one of the
known messages and every acceptance must round-trip; anything else, or a
crash, fails. Runs under atheris when installed, else as a seeded loop.

    python fuzz_deserialize.py SECONDS
"""

import math
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ordwyne as ow  # noqa: E402
from conftest import DIM_MESSAGE, fnv1a64, u64  # noqa: E402

VERSION = "unsupported state format version "
MESSAGES = {
    "state must be a hexadecimal string", "truncated state", "not a ordwyne state (bad magic)",
    "state checksum mismatch", "dim must be at least 1",
    "forgetting must be in (0, 1] (1.0 = never forget)", "ridge must be positive",
    "scale must be in (0, 1]", "horizon must be positive", "epsilon must be in [0, 1]",
    "record features must be (index, value) pairs in strictly increasing index order "
    "within the model dimension, values nonzero",
    "state string is not valid UTF-8", "trailing bytes in state",
}
INTERESTING = [0, 1, 2, 3, 7, 8, 16, 255, 2 ** 31, 2 ** 32, 2 ** 63, 2 ** 64 - 1,
               0x7FF8000000000000, 0x3FF0000000000000, 0x8000000000000000]


def seeds():
    out = [ow.create(1, 1.0)]
    state = ow.create(3, 5.0, math.nan, 0.2, 0.5)
    for i, salt in enumerate(["", "s", "é☃", "x" * 40]):
        ow.decide(state, {"k": i, "t": salt}, [("a", {"p": i}), ("b", {})], float(i), salt)
    ow.learn(state, "s:1", 1.0, 1.0)
    out.append(state)
    return [bytes.fromhex(ow.serialize(s)) for s in out]


SEEDS = seeds()


def reseal(data):
    return data[:-8] + u64(fnv1a64(data[:-8])) if len(data) >= 16 else data


def mutate(rng):
    data = bytearray(rng.choice(SEEDS))
    for _ in range(rng.randint(1, 4)):
        pos = rng.randrange(len(data))
        kind = rng.random()
        if kind < 0.4:
            data[pos] = rng.randrange(256)
        elif kind < 0.7:
            data[pos:pos + 8] = u64(rng.choice(INTERESTING))
        elif kind < 0.85:
            del data[pos:pos + rng.randint(1, 16)]
        else:
            data[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 16)))
    data = bytes(data)
    return reseal(data) if rng.random() < 0.85 else data


def check(text):
    try:
        state = ow.deserialize(text)
    except ValueError as e:
        msg = str(e)
        assert type(e) is ValueError
        assert msg in MESSAGES or (msg.startswith(VERSION) and msg[len(VERSION):].isdigit()), msg
        return
    assert ow.serialize(state) == text.lower(), "an accepted state did not round-trip"
    try:
        bits = ow.model_bits(state)
    except ValueError as e:
        assert str(e) == DIM_MESSAGE
        return
    if bits <= 12:
        ow.decide(state, {"k": 1.0}, [("a", {}), ("b", {"x": "y"})], 0.0, "f")
        ow.expire(state, math.inf)
        ow.learn(state, "", 1.0, 0.0)


def one_input(data):
    rng = random.Random(data)
    check(mutate(rng).hex())
    raw = data.decode("latin-1")
    check(raw if rng.random() < 0.5 else data.hex())


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    try:
        import atheris
    except ImportError:
        atheris = None
    if atheris is not None and os.environ.get("ORDWYNE_FUZZ_PLAIN") != "1":
        atheris.Setup([sys.argv[0], f"-max_total_time={int(seconds)}", "-rss_limit_mb=4096"],
                      one_input)
        atheris.Fuzz()
        return
    rng = random.Random(1)
    deadline, runs = time.monotonic() + seconds, 0
    while time.monotonic() < deadline:
        one_input(rng.randbytes(rng.randint(0, 64)))
        runs += 1
    print(f"fuzz: {runs} runs")


if __name__ == "__main__":
    main()
