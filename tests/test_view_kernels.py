"""The lap viewer's pure JavaScript (scales, ticks, values and the corner table of the chosen
laps) under node's own test runner, without a browser. Skipped where node is absent."""

import shutil
import subprocess
from pathlib import Path

import pytest

NODE = shutil.which("node")


@pytest.mark.skipif(NODE is None, reason="needs node (apt-get install nodejs)")
def test_the_page_s_kernels_pass_their_node_tests() -> None:
    tests = Path(__file__).with_name("view_kernels.test.js")
    done = subprocess.run([NODE, "--test", str(tests)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
