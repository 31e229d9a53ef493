"""The standard benchmark workload, the same pools and plans as workload.hpp.

A context of 10 features (5 text, 5 numbers) and 10 candidate articles of
5 features each (3 text, 2 numbers), bits 18, the model's own estimates.
Values come from fixed pools (64 contexts, 256 articles) mixed into 1024
decision plans by a seeded SplitMix64. `Workload().fingerprint()` equals the
C++ `Workload::fingerprint()`; `python workload.py` prints it.
"""

from __future__ import annotations

import struct

BITS = 18
HORIZON = 3600.0
DEFAULT_REWARD = 0.0
EPSILON = 0.05
FORGETFULNESS = 0.999
SEED = 20240601
CONTEXTS = 64
ARTICLES = 256
PLANS = 1024
CANDIDATES = 10
SALT = "bench"

_MASK = (1 << 64) - 1

DEVICE = ("phone", "tablet", "desktop", "tv")
COUNTRY = ("de", "fr", "us", "gb", "es", "it", "nl", "pl", "se", "br", "jp", "in")
DAYPART = ("morning", "midday", "afternoon", "evening", "night")
INTEREST = ("sports", "politics", "tech", "culture", "science", "travel", "food", "finance")
BROWSER = ("firefox", "chrome", "safari", "edge")
TOPIC = INTEREST
LANGUAGE = ("de", "en", "fr", "es", "it")
AUTHORS = tuple("author_%02d" % i for i in range(32))


class SplitMix64:
    def __init__(self, state: int) -> None:
        self.state = state & _MASK

    def next(self) -> int:
        self.state = (self.state + 0x9E3779B97F4A7C15) & _MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
        return z ^ (z >> 31)

    def below(self, n: int) -> int:
        return self.next() % n


class Workload:
    """Decision i uses plan i % PLANS: (context dict, list of (name, dict))."""

    def __init__(self, seed: int = SEED) -> None:
        rng = SplitMix64(seed)
        self.contexts = []
        for _ in range(CONTEXTS):
            c = {}
            c["device"] = DEVICE[rng.below(4)]
            c["country"] = COUNTRY[rng.below(12)]
            c["daypart"] = DAYPART[rng.below(5)]
            c["interest"] = INTEREST[rng.below(8)]
            c["browser"] = BROWSER[rng.below(4)]
            c["hour"] = float(rng.below(24))
            c["age"] = float(18 + rng.below(63))
            c["visits"] = float(1 + rng.below(50))
            c["session_minutes"] = float(1 + rng.below(240)) * 0.25
            c["scroll_depth"] = float(rng.below(21)) * 0.05
            self.contexts.append(c)
        self.articles = []
        for k in range(ARTICLES):
            f = {}
            f["topic"] = TOPIC[rng.below(8)]
            f["author"] = AUTHORS[rng.below(32)]
            f["language"] = LANGUAGE[rng.below(5)]
            f["length"] = float(200 + 50 * rng.below(57))
            f["age_hours"] = float(1 + rng.below(144)) * 0.5
            self.articles.append(("article_%d" % (1000 + k), f))
        self.plans = []
        for _ in range(PLANS):
            ctx = rng.below(CONTEXTS)
            start = rng.below(ARTICLES)
            step = 1 + 2 * rng.below(ARTICLES // 2)  # odd: all distinct
            cands = [self.articles[(start + j * step) % ARTICLES] for j in range(CANDIDATES)]
            self.plans.append((self.contexts[ctx], cands))

    def context(self, i: int) -> dict:
        return self.plans[i % PLANS][0]

    def candidates(self, i: int) -> list:
        return self.plans[i % PLANS][1]

    @staticmethod
    def reward(i: int) -> float:
        """The click: about one decision in ten is rewarded 1.0."""
        return 1.0 if SplitMix64(SEED ^ i).below(10) == 0 else 0.0

    @staticmethod
    def time(i: int) -> float:
        return float(i)

    def fingerprint(self) -> int:
        h = 0xCBF29CE484222325
        out = bytearray()

        def u64(v: int) -> None:
            out.extend(struct.pack("<Q", v))

        def text(s: str) -> None:
            b = s.encode()
            u64(len(b))
            out.extend(b)

        def features(fs: dict) -> None:
            u64(len(fs))
            for name, value in fs.items():
                text(name)
                if isinstance(value, str):
                    out.extend(b"T")
                    text(value)
                else:
                    out.extend(b"N")
                    out.extend(struct.pack("<d", value))

        for i in range(PLANS):
            features(self.context(i))
            u64(len(self.candidates(i)))
            for name, fs in self.candidates(i):
                text(name)
                features(fs)
        for b in out:
            h = ((h ^ b) * 0x100000001B3) & _MASK
        return h


if __name__ == "__main__":
    print("workload fingerprint %016x" % Workload().fingerprint())
