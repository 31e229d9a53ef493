import collections
import json
import math
import sys

import pytest

import ordwyne as ow
from conftest import TWO, expect, new_state


def test_decision_line_exactly():
    state = new_state()
    record = ow.decide(state, {}, [("a", {}), ("b", {})], 0, "abc")
    assert ow.log_line(record) == (
        '{"event":"decision","bits":4,"context":{},"candidates":[["a",{}],["b",{}]],'
        '"record":{"decision_id":"abc:0","t":0.0,"candidate_hash":3584330421867049650,'
        '"chosen":0,"features":[[11,1.0],[14,-1.0]],"propensity":0.5,"model_version":0,'
        '"salt":"abc"}}')
    high = next(r for r in (ow.decide(state, {}, [(n, {})], 0.0, "s") for n in "abcdefghij")
                if r.candidate_hash >= 2 ** 63)  # written unsigned
    assert f'"candidate_hash":{high.candidate_hash},' in ow.log_line(high)
    context, candidates = {"ciudad": "München", "n": None, "on": True}, (("ü", {"p": 2}),)
    record = ow.decide(state, context, candidates, 1.5, "é☃")
    context["later"] = 3  # the line shows the caller's objects as they are now
    line = ow.log_line(record)
    assert line.isascii() and '"salt":"\\u00e9\\u2603"' in line
    assert '"context":{"ciudad":"M\\u00fcnchen","n":null,"on":true,"later":3}' in line
    assert '"candidates":[["\\u00fc",{"p":2}]]' in line


@pytest.mark.parametrize("reward, t, written", [
    (1, 0.0, '"kind":"rewarded","reward":1.0'),
    (-0.0, 0.0, '"kind":"rewarded","reward":-0.0'),
    (math.nan, 0.0, '"kind":"rewarded","reward":NaN'),
    (2.5, 100.0, '"kind":"expired","reward":-Infinity'),
])
def test_resolution_line_exactly(reward, t, written):
    state = new_state(default_reward=-math.inf)
    record = ow.decide(state, {}, TWO, 0.0, "s")
    line = ow.log_line(ow.learn(state, record.decision_id, reward, t))
    assert line == '{"event":"resolution","decision_id":"s:0",' + written + "}"


def test_refused_items():
    state, seen = new_state(), []
    record = ow.decide(state, {}, collections.UserList(TWO), 0.0, "s")
    ow.learn(state, record.decision_id, 1.0, 0.0, lambda r, x: seen.append(r))
    for item in [None, ow.DecisionRecord, state]:
        with expect(ValueError, "log_line takes a DecisionRecord or Resolution"):
            ow.log_line(item)
    with expect(ValueError, "log_line needs the record decide returned (it carries the inputs)"):
        ow.log_line(seen[0])
    with pytest.raises(TypeError) as expected:  # json's own refusal passes through
        json.dumps(collections.UserList(TWO))
    with expect(TypeError, str(expected.value)):
        ow.log_line(record)


def test_dumps_is_looked_up_and_called_plainly(monkeypatch):
    calls = []
    state = new_state()
    record = ow.decide(state, {}, TWO, 0.0, "s")
    monkeypatch.setattr(json, "dumps", lambda *a, **k: calls.append((a, k)) or "line")
    assert ow.log_line(ow.learn(state, "s:0", 1.0, 0.0)) == "line"
    ((line,), kwargs), = calls
    assert kwargs == {"separators": (",", ":")}
    assert list(line.items()) == [("event", "resolution"), ("decision_id", "s:0"),
                                  ("kind", "rewarded"), ("reward", 1.0)]
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError):
        ow.log_line(record)
