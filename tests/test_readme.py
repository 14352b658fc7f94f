"""The README's examples run as they stand, after the install it gives, beside the synthetic
sample: python blocks (on the real recording too), pycon blocks as doctests, and console
blocks' telvane commands, with the output under them ("..." for any text) and exit status."""

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

from telvane import cli
from telvane.sample import write_synthetic_sample

README = Path(__file__).resolve().parents[1] / "README.md"
TEXT = README.read_text(encoding="utf-8")
BLOCKS = [(match[1], match[2], TEXT.count("\n", 0, match.start()) + 1)
          for match in re.finditer(r"^```(\w*)\n(.*?)^```$", TEXT, re.MULTILINE | re.DOTALL)]
# A telvane command of a console block and the lines of output under it
COMMAND = re.compile(r"^\$ (telvane .*)\n((?:(?!\$ ).*\n)*)", re.MULTILINE)
# What the examples use beyond their imports: session() needs PyYAML, plot matplotlib…
FEATURES = {"yaml": ".session()", "matplotlib": "$ telvane plot", "pandas": ".to_pandas("}


def blocks(*kinds: str) -> list:
    return [pytest.param(*block, id=f"{block[0]}-line{block[2]}") for block in BLOCKS if block[0] in kinds]


@pytest.fixture
def workdir(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    write_synthetic_sample(tmp_path)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))


def test_the_install_brings_what_the_examples_use_and_ci_runs_the_test_command():
    demo, tests = (body for kind, body, _ in BLOCKS if kind == "sh")
    assert tests.strip() in (README.parent / ".ci" / "run").read_text().splitlines()
    extras = set(re.search(r"pip install '\.\[([\w,]+)\]' && .*telvane demo", demo)[1].split(","))
    requirements = [Requirement(text) for text in importlib.metadata.requires("telvane")]

    def wanted(requirement: Requirement) -> bool:
        return requirement.marker is None or any(requirement.marker.evaluate({"extra": e}) for e in extras)

    for requirement in requirements:  # extras such as "all" that name other extras of telvane
        extras |= requirement.extras if requirement.name == "telvane" and wanted(requirement) else set()
    installed = {requirement.name.lower() for requirement in requirements if wanted(requirement)}
    code = "\n".join(body for kind, body, _ in BLOCKS if kind in ("python", "pycon"))
    modules = set(re.findall(r"^(?:>>> )?(?:import|from) (\w+)", code, re.MULTILINE)) - {"telvane"}
    modules |= {module for module, use in FEATURES.items() if use in TEXT}
    providers = importlib.metadata.packages_distributions()
    assert [module for module in sorted(modules - set(sys.stdlib_module_names))
            if not {name.lower() for name in providers.get(module, [])} & installed] == []


@pytest.mark.parametrize("kind, body, line", blocks("python", "pycon", "console"))
def test_example(kind, body, line, workdir):
    if kind == "python":
        exec(compile(body, f"{README.name}:{line}", "exec"), {"__name__": "__example__"})
    elif kind == "pycon":
        runner, report = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS), io.StringIO()
        test = doctest.DocTestParser().get_doctest(body, {}, README.name, str(README), line)
        runner.run(test, out=report.write)
        assert runner.failures == 0, report.getvalue()
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
