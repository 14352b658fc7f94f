"""Every example of the user documentation runs and shows what the documentation says.

python blocks must run; pycon blocks are doctests; console blocks are telvane commands
whose output must match the lines under them ("..." stands for any text) and whose exit
status is 1 where that output is an error, 0 otherwise. Commands other
than telvane's (pip) are not run. Each block runs in a directory holding the synthetic
sample recording, as the documentation's readers are told to prepare."""

from __future__ import annotations

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

DOCUMENT = Path(__file__).resolve().parents[1] / "README.md"
BLOCK = re.compile(r"^```(python|pycon|console)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
SHELL_BLOCK = re.compile(r"^```sh\n(.*?)^```$", re.MULTILINE | re.DOTALL)
NEEDS = {"python": ["pandas", "polars", "duckdb"], "pycon": ["yaml"],
         "console": ["matplotlib"]}


def blocks() -> list[tuple[str, str, int]]:
    """(kind, body, line number) of each example block."""
    text = DOCUMENT.read_text()
    return [(match[1], match[2], text.count("\n", 0, match.start()) + 1) for match in BLOCK.finditer(text)]


@pytest.fixture
def workdir(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    write_synthetic_sample(tmp_path)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    return tmp_path


def test_ci_runs_the_test_command_of_the_readme_which_has_examples_of_every_kind():
    demo, tests = SHELL_BLOCK.findall(DOCUMENT.read_text())
    assert "telvane demo" in demo
    assert tests.strip() in (DOCUMENT.parent / ".ci" / "run").read_text().splitlines()
    assert {kind for kind, _, _ in blocks()} == {"python", "pycon", "console"}


@pytest.mark.parametrize("block", blocks(), ids=lambda block: f"{block[0]}-line{block[2]}")
def test_example(block, workdir):
    kind, body, line = block
    for module in NEEDS[kind]:
        pytest.importorskip(module)
    if kind == "python":
        exec(compile(body, f"{DOCUMENT.name}:{line}", "exec"), {"__name__": "__example__"})
    elif kind == "pycon":
        run_doctest(body, line)
    else:
        for command, expected in console_commands(body):
            status, output = run_command(command)
            assert status == (1 if expected.startswith("telvane: ") else 0), output
            assert_output_matches(command, output, expected)


def run_doctest(body: str, line: int) -> None:
    test = doctest.DocTestParser().get_doctest(body, {}, DOCUMENT.name, str(DOCUMENT), line)
    output = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=output.write)
    assert runner.failures == 0, output.getvalue()


def console_commands(body: str) -> list[tuple[str, str]]:
    """(command, expected output) for each "$ telvane ..." line of a console block."""
    commands: list[tuple[str, list[str]]] = []
    for text in body.splitlines():
        if text.startswith("$ "):
            commands.append((text[2:], []))
        elif commands:
            commands[-1][1].append(text)
    return [(command, "".join(line + "\n" for line in output))
            for command, output in commands if command.startswith("telvane ")]


def run_command(command: str) -> tuple[int, str]:
    """Exit status and output (standard output and error together) of a telvane command."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
        status = cli.main(shlex.split(command)[1:])
    return status, out.getvalue()


def assert_output_matches(command: str, got: str, expected: str) -> None:
    if not doctest.OutputChecker().check_output(expected, got, doctest.ELLIPSIS):
        pytest.fail(f"$ {command}\nexpected:\n{expected}\ngot:\n{got}")
