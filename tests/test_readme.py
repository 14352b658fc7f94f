"""The examples of the README and of the documentation's pages run as they stand beside the synthetic
sample: python blocks, pycon blocks as doctests, console blocks' telvane commands with their output and
status; and what their text says of the commands and examples holds."""

import argparse
import contextlib
import doctest
import io
import re
import shlex
import tempfile
from pathlib import Path

import pytest

import telvane
from telvane import _cli
from telvane._cli.common import FORMATS
from telvane._sample import write_synthetic_sample

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
BLOCKS = [(match[1], match[2], page.relative_to(ROOT).as_posix(), page.read_text(encoding="utf-8").count(
              "\n", 0, match.start()) + 1)
          for page in PAGES for match in re.finditer(r"^```(\w*)\n(.*?)^```$", page.read_text(encoding="utf-8"),
                                                     re.MULTILINE | re.DOTALL)]
# A telvane command of a console block and the lines of output under it
COMMAND = re.compile(r"^\$ (telvane .*)\n((?:(?!\$ ).*\n)*)", re.MULTILINE)


def blocks(*kinds: str) -> list:
    return [pytest.param(*block, id=f"{block[2]}-{block[0]}-line{block[3]}") for block in BLOCKS if block[0] in kinds]


@pytest.fixture
def workdir(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    write_synthetic_sample(tmp_path)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))


@pytest.mark.parametrize("kind, body, page, line", blocks("python", "pycon", "console"))
def test_example(kind, body, page, line, workdir):
    if kind == "python":
        exec(compile(body, f"{page}:{line}", "exec"), {"__name__": "__example__"})
    elif kind == "pycon":
        runner, report = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS), io.StringIO()
        test = doctest.DocTestParser().get_doctest(body, {}, page, str(ROOT / page), line)
        assert runner.run(test, out=report.write).failed == 0, report.getvalue()
    for command, expected in COMMAND.findall(body) if kind == "console" else []:  # pip is not run
        output = io.StringIO()
        with contextlib.redirect_stdout(output), contextlib.redirect_stderr(output):
            status = _cli.main(shlex.split(command)[1:])
        assert status == (1 if expected.startswith("telvane: ") else 0), output.getvalue()
        assert doctest.OutputChecker().check_output(expected, output.getvalue(), doctest.ELLIPSIS), \
            f"$ {command}\nexpected:\n{expected}\ngot:\n{output.getvalue()}"


def commands() -> dict[str, argparse.ArgumentParser]:
    [action] = [action for action in _cli._parser()._actions if isinstance(action, argparse._SubParsersAction)]
    return dict(action.choices)


def plot_help_names_every_format() -> bool:
    texts = [_cli._parser().format_help(), commands()["plot"].format_help(), (ROOT / "docs/guide/cli.md").read_text(encoding="utf-8")]
    return all(f".{form}" in " ".join(text.split()) for text in texts for form in FORMATS)


def quick_start_takes_the_fastest_lap() -> bool:
    [block] = [body for kind, body, page, _ in BLOCKS if page == "README.md" and kind == "python" and "fastest" in body]
    found: dict = {}
    with contextlib.redirect_stdout(io.StringIO()):
        exec(block, found)
    laps = telvane.ibt("synthetic_sample.ibt").lap_times()
    full = [duration for duration, kind in zip(laps["duration"].to_pylist(), laps["lap_type"].to_pylist())
            if kind == "full"]
    return found["fastest"].lap_times()["duration"].to_pylist() == [min(full)]


def readme_stays_short() -> bool:
    return (ROOT / "README.md").read_text(encoding="utf-8").count("\n") <= 200


@pytest.mark.parametrize("claim", [plot_help_names_every_format, quick_start_takes_the_fastest_lap,
                                   readme_stays_short])
def test_what_the_readme_says_holds(claim, workdir):
    assert claim()
