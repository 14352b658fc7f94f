"""The README's examples run as they stand beside the synthetic sample: python blocks (on the real
recording too), pycon blocks as doctests, console blocks' telvane commands with their output and status."""

import contextlib
import doctest
import io
import re
import shlex
import tempfile
from pathlib import Path

import pytest

from telvane import cli
from telvane.sample import write_synthetic_sample

README = Path(__file__).resolve().parents[1] / "README.md"
TEXT = README.read_text(encoding="utf-8")
BLOCKS = [(match[1], match[2], TEXT.count("\n", 0, match.start()) + 1)
          for match in re.finditer(r"^```(\w*)\n(.*?)^```$", TEXT, re.MULTILINE | re.DOTALL)]
# A telvane command of a console block and the lines of output under it
COMMAND = re.compile(r"^\$ (telvane .*)\n((?:(?!\$ ).*\n)*)", re.MULTILINE)


def blocks(*kinds: str) -> list:
    return [pytest.param(*block, id=f"{block[0]}-line{block[2]}") for block in BLOCKS if block[0] in kinds]


@pytest.fixture
def workdir(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    write_synthetic_sample(tmp_path)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))


def test_ci_runs_the_test_command_of_the_readme():
    _, tests = (body for kind, body, _ in BLOCKS if kind == "sh")
    assert tests.strip() in (README.parent / ".ci" / "run").read_text().splitlines()


@pytest.mark.parametrize("kind, body, line", blocks("python", "pycon", "console"))
def test_example(kind, body, line, workdir):
    if kind == "python":
        exec(compile(body, f"{README.name}:{line}", "exec"), {"__name__": "__example__"})
    elif kind == "pycon":
        runner, report = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS), io.StringIO()
        test = doctest.DocTestParser().get_doctest(body, {}, README.name, str(README), line)
        assert runner.run(test, out=report.write).failed == 0, report.getvalue()
    for command, expected in COMMAND.findall(body) if kind == "console" else []:  # pip is not run
        output = io.StringIO()
        with contextlib.redirect_stdout(output), contextlib.redirect_stderr(output):
            status = cli.main(shlex.split(command)[1:])
        assert status == (1 if expected.startswith("telvane: ") else 0), output.getvalue()
        assert doctest.OutputChecker().check_output(expected, output.getvalue(), doctest.ELLIPSIS), \
            f"$ {command}\nexpected:\n{expected}\ngot:\n{output.getvalue()}"


@pytest.mark.parametrize("kind, body, line", blocks("python"))
def test_python_example_on_the_real_recording(kind, body, line, workdir, sample):
    code = body.replace('"synthetic_sample.ibt"', repr(str(sample)))
    exec(compile(code, f"{README.name}:{line}", "exec"), {"__name__": "__example__"})
