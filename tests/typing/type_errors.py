"""Calls the module refuses at run time; every marked line must be reported
by both type checkers, with the codes in its marker: "# E: mypy-code
pyright-rule", and nothing else may be reported."""

import ordwyne

state = ordwyne.create(8, 10.0)
ok: list[tuple[str, dict[str, str | float | None]]] = [("a", {})]

# Feature values: containers and arbitrary objects are refused.
ordwyne.decide(state, {"tags": ["x", "y"]}, ok, 0.0, "s")  # E: dict-item reportArgumentType
ordwyne.decide(state, {"when": object()}, ok, 0.0, "s")  # E: dict-item reportArgumentType
ordwyne.decide(state, {}, [("a", {"p": b"raw"})], 0.0, "s")  # E: dict-item reportArgumentType
ordwyne.decide(state, {1: "one"}, ok, 0.0, "s")  # E: dict-item reportArgumentType
# Candidates: tuples of (name, dict), not lists, not a bare str, not a dict.
ordwyne.decide(state, {}, [["a", {}]], 0.0, "s")  # E: list-item reportArgumentType
ordwyne.decide(state, {}, "ab", 0.0, "s")  # E: arg-type reportArgumentType
ordwyne.decide(state, {}, {"a": {}}, 0.0, "s")  # E: arg-type reportArgumentType
ordwyne.decide(state, {}, [("a", {}, 1)], 0.0, "s")  # E: list-item reportArgumentType
# Callbacks of the wrong arity or return type.
ordwyne.decide(state, {}, ok, 0.0, "s", score=lambda ctx: [0.0])  # E: arg-type,misc reportArgumentType
ordwyne.decide(state, {}, ok, 0.0, "s", explore=lambda estimates: [1.0])  # E: arg-type,misc reportArgumentType
ordwyne.decide(state, {}, ok, 0.0, "s", score=lambda c, k: "1")  # E: arg-type,return-value reportArgumentType
ordwyne.learn(state, "s:0", 1.0, 0.0, train=lambda record: None)  # E: arg-type,misc reportArgumentType
ordwyne.expire(state, 0.0, train=lambda record, reward, extra: None)  # E: arg-type,misc reportArgumentType
# Scalars: a float is not a bit count, text is not a time, bytes not an id.
ordwyne.create(8.0, 10.0)  # E: arg-type reportArgumentType
ordwyne.create(8, "10")  # E: arg-type reportArgumentType
ordwyne.decide(state, {}, ok, "now", "s")  # E: arg-type reportArgumentType
ordwyne.decide(state, {}, ok, 0.0, b"s")  # E: arg-type reportArgumentType
ordwyne.learn(state, b"s:0", 1.0, 0.0)  # E: arg-type reportArgumentType
ordwyne.deserialize(b"00")  # E: arg-type reportArgumentType
ordwyne.log_line({"event": "decision"})  # E: arg-type reportArgumentType
# Results and read-only attributes.
resolution: ordwyne.Resolution = ordwyne.learn(state, "s:0", 1.0, 0.0)  # E: assignment reportAssignmentType
record = ordwyne.decide(state, {}, ok, 0.0, "s")
record.chosen = 1  # E: misc reportAttributeAccessIssue
bits: int = record.bits  # E: assignment reportAssignmentType
