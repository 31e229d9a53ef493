import collections
import json
import math
import sys

import pytest

import ordwyne as ow
from conftest import TWO, expect, new_state

TAKES = "log_line takes a DecisionRecord or Resolution"
NEEDS = "log_line needs the record decide returned (it carries the inputs)"


def test_decision_line_exactly():
    record = ow.decide(new_state(), {}, [("a", {}), ("b", {})], 0, "abc")
    assert ow.log_line(record) == (
        '{"event":"decision","bits":4,"context":{},"candidates":[["a",{}],["b",{}]],'
        '"record":{"decision_id":"abc:0","t":0.0,"candidate_hash":3584330421867049650,'
        '"chosen":0,"features":[[11,1.0],[14,-1.0]],"propensity":0.5,"model_version":0,'
        '"salt":"abc"}}')


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


def test_high_candidate_hash_is_unsigned():
    state = new_state()
    records = [ow.decide(state, {}, [(name, {})], 0.0, "s") for name in "abcdefghijklmnop"]
    high = [r for r in records if r.candidate_hash >= 2 ** 63]
    assert high, "expected some fingerprints above 2**63"
    for r in high:
        line = ow.log_line(r)
        assert f'"candidate_hash":{r.candidate_hash},' in line
        assert json.loads(line)["record"]["candidate_hash"] == r.candidate_hash


def test_non_ascii_is_escaped_and_inputs_are_the_callers():
    context = {"ciudad": "München", "n": None, "on": True}
    candidates = (("ü", {"p": 2}),)
    record = ow.decide(new_state(), context, candidates, 1.5, "é☃")
    context["later"] = 3  # the line shows the caller's objects as they are now
    line = ow.log_line(record)
    assert line.isascii() and '"salt":"\\u00e9\\u2603"' in line
    assert '"context":{"ciudad":"M\\u00fcnchen","n":null,"on":true,"later":3}' in line
    assert '"candidates":[["\\u00fc",{"p":2}]]' in line
    assert " " not in line and "\n" not in line
    parsed = json.loads(line)
    assert list(parsed) == ["event", "bits", "context", "candidates", "record"]
    assert list(parsed["record"]) == ["decision_id", "t", "candidate_hash", "chosen", "features",
                                      "propensity", "model_version", "salt"]
    assert parsed["record"]["features"] == [list(p) for p in record.features]


@pytest.mark.parametrize("item", [None, {}, "line", 1, ow.DecisionRecord, new_state()])
def test_other_objects_refused(item):
    with expect(ValueError, TAKES):
        ow.log_line(item)


def test_train_record_refused():
    state = new_state()
    record = ow.decide(state, {}, TWO, 0.0, "s")
    seen = []
    ow.learn(state, record.decision_id, 1.0, 0.0, lambda r, x: seen.append(r))
    with expect(ValueError, NEEDS):
        ow.log_line(seen[0])
    assert ow.log_line(record).startswith('{"event":"decision"')


def _dumps_error(obj):
    try:
        json.dumps(obj)
    except Exception as e:
        return type(e), str(e)
    raise AssertionError("json accepted it")


@pytest.mark.parametrize("bad", ["context", "candidates"])
def test_json_errors_pass_through(bad):
    context = {"k": 1}
    candidates = collections.UserList(TWO) if bad == "candidates" else TWO
    record = ow.decide(new_state(), context, candidates, 0.0, "s")
    if bad == "context":
        context["obj"] = object()
    with pytest.raises(Exception) as info:
        ow.log_line(record)
    expected = _dumps_error(object() if bad == "context" else candidates)
    assert (type(info.value), str(info.value)) == expected


def test_dumps_is_called_plainly(monkeypatch):
    calls = []

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        return "line"

    state = new_state()
    record = ow.decide(state, {}, TWO, 0.0, "s")
    monkeypatch.setattr(json, "dumps", fake)
    assert ow.log_line(ow.learn(state, "s:0", 1.0, 0.0)) == "line"
    ((line,), kwargs), = calls
    assert kwargs == {"separators": (",", ":")}
    assert line == {"event": "resolution", "decision_id": "s:0", "kind": "rewarded", "reward": 1.0}
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError):
        ow.log_line(record)
