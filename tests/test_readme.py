"""Every line of code in the user documentation runs, after the install it gives, and shows
what the documentation says.

python blocks must run, on the synthetic sample and on the real recording; pycon blocks are
doctests; console blocks are telvane commands whose output must match the lines under them
("..." stands for any text) and whose exit status is 1 where that output is an error, 0
otherwise (pip is not run). Inline code that is a line of code, not a signature, runs too:
code whose names are all the documentation's own example objects (`log`, `recording`,
`lap`, `pa`, `pl`, `duckdb`, `telvane`), without an ellipsis; a name such as `path`, `row` or
`source` marks a signature. Everything runs in a directory holding the synthetic sample
recording, as the documentation's readers are told to prepare."""

from __future__ import annotations

import ast
import builtins
import contextlib
import doctest
import importlib.metadata
import io
import re
import shlex
import sys
import tempfile
from pathlib import Path

import pytest
from packaging.requirements import Requirement

import telvane
from conftest import SAMPLE
from telvane import cli
from telvane.sample import write_synthetic_sample

DOCUMENT = Path(__file__).resolve().parents[1] / "README.md"
TEXT = DOCUMENT.read_text(encoding="utf-8")
BLOCK = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
INLINE = re.compile(r"(?<!`)`([^`\n]+)`(?!`)")
EXAMPLE_NAMES = {"log", "recording", "lap", "pa", "pl", "duckdb", "telvane"}
# What the examples use beyond their imports: session() needs PyYAML, plot matplotlib…
FEATURES = {"yaml": ".session()", "matplotlib": "$ telvane plot", "duckdb": "duckdb.", "polars": "pl.",
            "pandas": ".to_pandas("}


def line_of(position: int) -> int:
    return TEXT.count("\n", 0, position) + 1


def blocks(*kinds: str) -> list[tuple[str, str, int]]:
    """(kind, body, line number) of each fenced block of these kinds."""
    return [(match[1], match[2], line_of(match.start())) for match in BLOCK.finditer(TEXT) if match[1] in kinds]


def inline_code() -> list[tuple[str, int]]:
    """(code, line number) of each inline span outside fenced blocks that is a line of code."""
    prose = BLOCK.sub(lambda match: "\n" * match[0].count("\n"), TEXT)
    found = []
    for match in INLINE.finditer(prose):
        code = match[1]
        try:
            tree = ast.parse(code)
        except SyntaxError:
            continue
        names = {node.id for node in ast.walk(tree) if isinstance(node, ast.Name)}
        assigned = {node.id for node in ast.walk(tree) if isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store)}
        called = {node.func.id for node in ast.walk(tree) if isinstance(node, ast.Call) and isinstance(node.func, ast.Name)}
        objects = {node.id for node in ast.walk(tree) if isinstance(node, ast.Name) and node.id not in called}
        is_code = any(isinstance(node, (ast.Call, ast.Assign)) for node in ast.walk(tree)) and objects & EXAMPLE_NAMES
        if is_code and "…" not in code and "..." not in code and names - assigned - set(dir(builtins)) <= EXAMPLE_NAMES:
            found.append((code, prose.count("\n", 0, match.start()) + 1))
    return found


@pytest.fixture
def workdir(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    write_synthetic_sample(tmp_path)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    return tmp_path


def test_ci_runs_the_test_command_of_the_readme_which_has_examples_of_every_kind():
    demo, tests = (body for _, body, _ in blocks("sh"))
    assert "telvane demo" in demo
    assert tests.strip() in (DOCUMENT.parent / ".ci" / "run").read_text().splitlines()
    assert {kind for kind, _, _ in blocks("python", "pycon", "console")} == {"python", "pycon", "console"}
    assert "duckdb.sql(\"SELECT avg(Speed) FROM log\")" in [code for code, _ in inline_code()]


def test_the_install_the_readme_gives_brings_every_module_its_examples_use():
    demo = next(body for _, body, _ in blocks("sh"))
    extras = set(re.search(r"pip install '\.\[([\w,]+)\]'", demo)[1].split(","))
    wanted: set[str] = set()
    while extras - wanted:  # extras that name other extras of telvane, such as "all"
        wanted |= extras
        for requirement in map(Requirement, importlib.metadata.requires("telvane")):
            if requirement.name == "telvane" and any(requirement.marker.evaluate({"extra": e}) for e in wanted):
                extras |= requirement.extras
    installed = {Requirement(text).name.lower() for text in importlib.metadata.requires("telvane")
                 if any(Requirement(text).marker is None or Requirement(text).marker.evaluate({"extra": e})
                        for e in wanted)}
    code = "\n".join(body for _, body, _ in blocks("python", "pycon"))
    modules = set(re.findall(r"^(?:>>> )?(?:import|from) (\w+)", code, re.MULTILINE))
    modules |= {module for module, use in FEATURES.items() if use in TEXT}
    providers = importlib.metadata.packages_distributions()
    missing = [module for module in sorted(modules - set(sys.stdlib_module_names) - {"telvane"})
               if not {name.lower() for name in providers.get(module, [])} & installed]
    assert not missing, f"pip install '.[{','.join(sorted(wanted))}]' lacks {missing}"


@pytest.mark.parametrize("block", blocks("python", "pycon", "console"), ids=lambda block: f"{block[0]}-line{block[2]}")
def test_example(block, workdir):
    kind, body, line = block
    if kind == "python":
        exec(compile(body, f"{DOCUMENT.name}:{line}", "exec"), {"__name__": "__example__"})
    elif kind == "pycon":
        run_doctest(body, line)
    else:
        for command, expected in console_commands(body):
            status, output = run_command(command)
            assert status == (1 if expected.startswith("telvane: ") else 0), output
            assert_output_matches(command, output, expected)


@pytest.mark.parametrize("block", blocks("python"), ids=lambda block: f"line{block[2]}")
def test_python_example_on_the_real_recording(block, workdir, sample):
    _, body, line = block
    exec(compile(body.replace('"synthetic_sample.ibt"', repr(str(sample))), f"{DOCUMENT.name}:{line}", "exec"),
         {"__name__": "__example__"})


@pytest.mark.parametrize("code, line", inline_code(), ids=lambda value: f"line{value}" if isinstance(value, int) else "")
def test_inline_code(code, line, workdir):
    import duckdb
    import polars
    import pyarrow

    log = telvane.ibt("synthetic_sample.ibt")
    names = {"telvane": telvane, "log": log, "lap": log.lap(1), "recording": telvane.open("synthetic_sample.ibt"),
             "pa": pyarrow, "pl": polars, "duckdb": duckdb}
    exec(compile(code, f"{DOCUMENT.name}:{line}", "exec"), names)


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
