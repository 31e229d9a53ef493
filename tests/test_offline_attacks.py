"""The offline tool under hostile and mistaken input: every command answers
with exit 0, 1 or 2 and at most a one-line message, never destroys an
input, and reads in bounded memory."""

import gzip
import io
import json
import os
import re
import signal
import stat
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

import ordwyne as ow
from conftest import no_asan
from ordwyne_offline import cli
from test_offline_support import Host, create_args

COMMANDS = ["verify", "replay", "eval", "train"]
# the option each command writes a file with
OUTPUTS = [("replay", "--out"), ("verify", "--json"), ("eval", "--json"), ("train", "--out"),
           ("train", "--report")]


@pytest.fixture
def log(tmp_path):
    host = Host(7)
    host.run(120)
    return host.write(tmp_path / "x.log")


def argv(command, path, tmp_path, output=None, target=None):
    out = str(tmp_path / f"{command}.out")
    args = {"verify": ["verify", path],
            "replay": ["replay", path, *create_args(), "--out", out],
            "eval": ["eval", path, *create_args(), "--jobs", "1", "--quiet"],
            "train": ["train", path, *create_args(), "--out", out, "--quiet"]}[command]
    if output is not None:
        if output in args:
            del args[args.index(output):args.index(output) + 2]
        args += [output, str(target)]
    return args


def run(capsys, args):
    status = cli.main(args)
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


def one_line(err):
    assert err.count("\n") == 1, err
    return err.strip()


# -- outputs -----------------------------------------------------------------

def _same(log, tmp_path):
    return log


def _hard_link(log, tmp_path):
    os.link(log, tmp_path / "hard")
    return tmp_path / "hard"


def _symlink(log, tmp_path):
    os.symlink(log, tmp_path / "soft")
    return tmp_path / "soft"


@pytest.mark.parametrize("command, output", OUTPUTS)
@pytest.mark.parametrize("name", [_same, _hard_link, _symlink])
def test_an_output_that_is_an_input_is_refused_before_any_work(tmp_path, capsys, log,
                                                              command, output, name):
    before = open(log, "rb").read()
    target = name(log, tmp_path)
    status, out, err = run(capsys, argv(command, log, tmp_path, output, target))
    assert status == 2 and out == ""
    assert one_line(err) == (f"ordwyne {command}: {target} is also an input ({log}); "
                             "writing it would destroy that input")
    assert open(log, "rb").read() == before


def test_a_state_given_as_start_is_an_input_too(tmp_path, capsys, log):
    state = tmp_path / "s.state"
    state.write_text(ow.serialize(Host(7).state))
    status, _, err = run(capsys, ["replay", log, "--state", str(state), "--out", str(state)])
    assert status == 2 and "is also an input" in err


def test_standard_input_is_an_input(tmp_path, log):
    r = subprocess.run([sys.executable, "-m", "ordwyne_offline", "replay", "-", *create_args(),
                        "--out", log], stdin=open(log, "rb"), capture_output=True, text=True,
                       env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert r.returncode == 2
    assert r.stderr == (f"ordwyne replay: {log} is also an input (standard input); writing it "
                        "would destroy that input\n")


@pytest.mark.parametrize("command, output", OUTPUTS)
@pytest.mark.parametrize("kind", ["fifo", "directory"])
def test_a_target_that_is_no_regular_file_is_left_alone(tmp_path, capsys, log, command,
                                                        output, kind):
    target = tmp_path / "target"
    os.mkfifo(target) if kind == "fifo" else target.mkdir()
    status, out, err = run(capsys, argv(command, log, tmp_path, output, target))
    assert status == 2 and out == ""
    what = "a FIFO" if kind == "fifo" else "a directory"
    assert one_line(err) == (f"ordwyne {command}: cannot write {target}: it is {what}, not a "
                             "regular file; it is left alone")
    mode = os.lstat(target).st_mode
    assert stat.S_ISFIFO(mode) if kind == "fifo" else stat.S_ISDIR(mode)


@pytest.fixture
def umask():
    old = os.umask(0o027)
    yield 0o027
    os.umask(old)


@pytest.mark.parametrize("command, output", OUTPUTS)
def test_a_replaced_file_keeps_its_mode_and_a_new_one_follows_the_umask(tmp_path, capsys,
                                                                        log, umask, command,
                                                                        output):
    target = tmp_path / "written"
    assert run(capsys, argv(command, log, tmp_path, output, target))[0] == 0
    assert stat.S_IMODE(target.stat().st_mode) == 0o666 & ~umask
    os.chmod(target, 0o604)
    assert run(capsys, argv(command, log, tmp_path, output, target))[0] == 0
    assert stat.S_IMODE(target.stat().st_mode) == 0o604


INTERRUPTED = """
    import os, signal, sys, time
    from ordwyne_offline import cli
    # a test run in the background starts with SIGINT ignored; a user's shell does not
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)
    real = os.fsync
    def fsync(fd):  # the signal arrives while the output is being written
        os.kill(os.getpid(), {signum})
        time.sleep(0.5)
        real(fd)
    os.fsync = fsync
    sys.exit(cli.main({argv!r}))
"""


@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130),
                                            (signal.SIGHUP, 129)])
def test_an_interrupted_write_leaves_the_old_file_and_no_temporary_one(tmp_path, log, signum,
                                                                      status):
    out = tmp_path / "out.state"
    out.write_text("old")
    code = textwrap.dedent(INTERRUPTED).format(
        signum=int(signum), argv=["replay", log, *create_args(), "--out", str(out), "-q"])
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                       env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert r.returncode == status, r.stderr
    assert "Traceback" not in r.stderr
    assert sorted(os.listdir(tmp_path)) == ["out.state", "x.log"]
    assert out.read_text() == "old"


# -- compressed data -----------------------------------------------------------

def _gzip(data):
    return gzip.compress(data)


def _zstd(data):
    zstandard = pytest.importorskip("zstandard")
    writer = zstandard.ZstdCompressor(write_checksum=True).compressobj()
    return b"".join(writer.compress(data[i:i + 4000])
                    + writer.flush(zstandard.COMPRESSOBJ_FLUSH_BLOCK)
                    for i in range(0, len(data), 4000)) + writer.flush()


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("compress, what", [(_gzip, "gzip"), (_zstd, "zstd")])
def test_corrupt_compressed_data_is_an_error_at_its_offset(tmp_path, capsys, log, command,
                                                           compress, what):
    packed = bytearray(compress(open(log, "rb").read()))
    flip = len(packed) // 5
    packed[flip] ^= 0x10
    path = tmp_path / "x.log.gz"
    path.write_bytes(packed)
    status, _, err = run(capsys, argv(command, str(path), tmp_path))
    assert status == 2
    found = re.fullmatch(rf"ordwyne {command}: {path}: corrupt {what} data at byte ([\d,]+) "
                         r"\(.+\)", one_line(err))
    assert found, err
    offset = int(found.group(1).replace(",", ""))
    # gzip fails at the byte it cannot decode, zstd at the start of the damaged block;
    # a change that still decodes is caught by the checksum at the end
    assert (flip if what == "gzip" else flip - 4096) <= offset < len(packed)


@pytest.mark.parametrize("compress", [_gzip, _zstd])
def test_a_cut_compressed_tail_whatever_the_name_is_an_incomplete_last_line(tmp_path, capsys,
                                                                            log, compress):
    packed = compress(open(log, "rb").read())
    path = tmp_path / "x.log"
    path.write_bytes(packed[:len(packed) * 3 // 4])
    status, out, _ = run(capsys, ["verify", str(path)])
    assert status == 1 and "incomplete_last_line 1)" in out and "malformed" not in out


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("compress", [_gzip, _zstd, lambda data: data])
@pytest.mark.parametrize("name", ["x.log", "x.log.zst", "x.log.gz", "-"])
def test_the_bytes_decide_how_a_log_is_read_not_its_name(tmp_path, capsys, monkeypatch, log,
                                                         command, compress, name):
    packed = compress(open(log, "rb").read())
    if name.endswith(".zst"):  # without the package, a .zst name asks for it
        pytest.importorskip("zstandard")
    if name == "-":
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(
            io.BytesIO(packed))))
    else:
        (tmp_path / name).write_bytes(packed)
    status, _, err = run(capsys, argv(command, name if name == "-" else str(tmp_path / name),
                                      tmp_path))
    assert (status, err) == (0, "")


# -- what is no log ------------------------------------------------------------

STATE_FILE = "this looks like a state file; pass it with --state"


def _state(tmp_path):
    return ow.serialize(Host(7).state) + "\n"


def _text(tmp_path):
    return "# A title\n\nSome prose, and `code`.\n\n- a list\n- of things\n"


def _other_json(tmp_path):
    return "".join(json.dumps({"id": i, "event": "click"}) + "\n" for i in range(20))


def _binary(tmp_path):
    return bytes(range(256)).decode("latin-1") * 50


def _damaged_log(tmp_path):
    host = Host(7)
    host.run(40)
    return "garbage\n" + host.lines[0][:-30] + "\n" + "".join(x + "\n" for x in host.lines[1:])


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("content, message", [(_state, STATE_FILE),
                                              (_text, "not an experience log"),
                                              (_other_json, "not an experience log"),
                                              (_binary, "not an experience log"),
                                              (_damaged_log, None)])
def test_input_that_is_no_log_is_one_error_for_every_command(tmp_path, capsys, command,
                                                             content, message):
    path = tmp_path / "input"
    path.write_text(content(tmp_path), encoding="latin-1")
    status, out, err = run(capsys, argv(command, str(path), tmp_path))
    if message is None:  # a log whose first lines are damaged is still a log
        assert "not an experience log" not in err
        assert command != "verify" or (status == 1 and "malformed 2" in out)
        return
    assert (status, out) == (2, "")
    assert one_line(err) == f"ordwyne {command}: {path}: {message}"


# -- memory ----------------------------------------------------------------

@pytest.mark.parametrize("compress", [_gzip, _zstd])
@pytest.mark.parametrize("command", COMMANDS)
def test_a_line_beyond_the_limit_is_refused_in_bounded_memory(tmp_path, capsys, command,
                                                              compress):
    path = tmp_path / "bomb"
    path.write_bytes(compress(b'{"event":"decision","x":"' + b"a" * (40 << 20)))
    tracemalloc.start()
    try:
        status, _, err = run(capsys, argv(command, str(path), tmp_path)
                             + ["--max-line-bytes", "1M"])
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert status == 2
    assert one_line(err) == (f"ordwyne {command}: {path}:1: a line longer than 1,048,576 "
                             "bytes (--max-line-bytes raises the limit)")
    assert peak < 12 << 20


@pytest.mark.parametrize("command", COMMANDS)
def test_the_limit_is_the_same_for_every_command_and_process(tmp_path, capsys, log, command):
    lines = open(log).read().splitlines(keepends=True)
    data = json.loads(lines[0])
    data["context"]["padding"] = "x" * 300
    path = tmp_path / "long.log"
    path.write_text(json.dumps(data) + "\n" + "".join(lines[1:]))
    args = argv(command, str(path), tmp_path)
    if command == "eval":  # two settings in two processes: the workers follow the limit too
        args[args.index("--jobs") + 1] = "2"
        args[args.index("--forgetfulness") + 1] += ",0.5"
    status, _, err = run(capsys, args + ["--max-line-bytes", "200"])
    assert status == 2 and "long.log:1: a line longer than 200 bytes" in err
    status, _, err = run(capsys, args + ["--max-line-bytes", "1K"])
    assert status in (0, 1) and "longer than" not in err


def test_a_malformed_line_keeps_a_short_excerpt(tmp_path, capsys, log):
    lines = open(log).read().splitlines(keepends=True)
    path = tmp_path / "m.log"
    path.write_text("".join(lines[:3]) + "{" + "z" * 100_000 + "\n" + "".join(lines[3:]))
    report = tmp_path / "r.json"
    assert run(capsys, ["verify", str(path), "--json", str(report), "-q"])[0] == 1
    finding, = [f for f in json.loads(report.read_text())["findings"]
                if f["check"] == "malformed"]
    assert finding["line"] == 4 and len(finding["logged"]) < 300
    assert finding["logged"].endswith("... (100,002 bytes)")


LIMITED = """
    import resource, sys
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    from ordwyne_offline import cli
    sys.exit(cli.main({argv!r}))
"""


@no_asan
@pytest.mark.parametrize("args, message", [
    (["inspect", "/dev/zero"], "reading error   state must be a hexadecimal string"),
    (["verify", "{log}", "--state", "/dev/zero"],
     "ordwyne verify: bad state /dev/zero: state must be a hexadecimal string"),
    (["replay", "/dev/zero", *create_args(), "--out", "{out}"],
     "ordwyne replay: /dev/zero: not an experience log"),
    (["verify", "/dev/zero"], "ordwyne verify: /dev/zero: not an experience log"),
])
def test_dev_zero_as_state_or_log_is_read_only_so_far(tmp_path, log, args, message):
    args = [a.format(log=log, out=tmp_path / "o") for a in args]
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(LIMITED).format(argv=args)],
                       capture_output=True, text=True, timeout=120,
                       env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert r.returncode == 2 and "Traceback" not in r.stderr
    assert message in r.stdout + r.stderr


# -- tracebacks ----------------------------------------------------------------

def _deep(data):
    data["context"]["deep"] = 0
    return json.dumps(data).replace('"deep": 0', '"deep": ' + "[" * 100_000 + "]" * 100_000)


def _surrogate(data):
    data["record"]["decision_id"] = "web:\udfff"
    return json.dumps(data)


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("change", [_deep, _surrogate])
def test_lines_that_defeat_json_are_malformed_lines(tmp_path, capsys, log, command, change):
    lines = open(log).read().splitlines(keepends=True)
    at = [i for i, line in enumerate(lines) if '"decision"' in line][3]
    path = tmp_path / "a.log"
    path.write_text("".join(lines[:at]) + change(json.loads(lines[at])) + "\n"
                    + "".join(lines[at + 1:]))
    status, out, err = run(capsys, argv(command, str(path), tmp_path))
    if command == "verify":
        assert status == 1
        assert f"a.log:{at + 1}: malformed: malformed line: not valid JSON" in out
    else:
        assert status == 2
        assert one_line(err).startswith(f"ordwyne {command}: {path}:{at + 1}: not valid JSON")


def test_a_closed_pipe_ends_quietly(tmp_path, log):
    lines = open(log).read().splitlines(keepends=True)
    path = tmp_path / "twice.log"
    path.write_text("".join(line + line for line in lines))  # a finding on every other line
    p = subprocess.Popen([sys.executable, "-m", "ordwyne_offline", "verify", str(path)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    p.stdout.readline()
    p.stdout.close()
    err = p.stderr.read()
    assert p.wait() == 1
    assert err == b""


# -- inspect -----------------------------------------------------------------

@pytest.mark.parametrize("content, error, note", [
    ("ff" * 200, "not a ordwyne state (bad magic)", "not a state file"),
    ("# Notes\n\nnot a state at all\n", "state must be a hexadecimal string",
     "not a state file"),
    ("Übersicht: 日本\n", "state must be a hexadecimal string", "not a state file"),
    ('{"event":"decision"}\n', "state must be a hexadecimal string",
     "this looks like an experience log"),
    ("6f726477796e6500" + "zz" * 40_000, "state must be a hexadecimal string",
     "not a state file"),
])
def test_inspect_says_ok_only_for_a_checksum_it_verified(tmp_path, capsys, content, error,
                                                         note):
    # bad magic, plain text, non-ASCII text (once "'ascii' codec can't decode"), a log,
    # and a state's beginning followed by what is no hexadecimal
    path = tmp_path / "x.state"
    path.write_text(content, encoding="utf-8")
    status, out, err = run(capsys, ["inspect", str(path)])
    assert status == 2 and err == ""
    assert "checksum        not reached (the reading stopped first)" in out
    assert f"reading error   {error}" in out
    assert f"note            {note}" in out
    status, out, _ = run(capsys, ["inspect", str(path), "--json"])
    data = json.loads(out)
    assert (data["checksum_ok"], data["error"]) == (None, error)


def test_inspect_gives_the_file_size_beside_the_state_size(tmp_path, capsys):
    text = ow.serialize(Host(3).state)
    path = tmp_path / "x.state"
    path.write_text(text + "\n")
    status, out, _ = run(capsys, ["inspect", str(path)])
    assert status == 0
    assert out.splitlines()[0] == (f"state {path} (a {len(text) // 2:,}-byte state in "
                                   f"{len(text) + 1:,} bytes of text)")
    data = json.loads(run(capsys, ["inspect", str(path), "--json"])[1])
    assert (data["bytes"], data["file_bytes"], data["checksum_ok"]) == \
        (len(text) // 2, len(text) + 1, True)


# -- version ---------------------------------------------------------------

def test_version_from_the_metadata_or_the_source_tree(capsys, monkeypatch):
    from importlib import metadata

    with pytest.raises(SystemExit) as info:
        cli.main(["--version"])
    assert info.value.code == 0
    shown = capsys.readouterr().out
    dist = metadata.distribution("ordwyne")
    here = os.path.realpath(cli.__file__)
    if os.path.realpath(str(dist.locate_file("ordwyne_offline/cli.py"))) == here:
        assert shown == f"ordwyne {dist.version}\n"
    else:  # run from the source tree: the project file's version
        project = open(os.path.join(os.path.dirname(here), "..", "..", "pyproject.toml")).read()
        version = re.search(r'^version = "(.+)"', project, re.MULTILINE).group(1)
        assert shown == f"ordwyne {version} (source tree)\n"

    class Installed:
        version = "9.8.7"

        def locate_file(self, name):
            return here

    monkeypatch.setattr(metadata, "distribution", lambda name: Installed())
    with pytest.raises(SystemExit):
        cli.main(["--version"])
    assert capsys.readouterr().out == "ordwyne 9.8.7\n"
