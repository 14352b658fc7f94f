"""Lines of product code and of tests: non-blank lines that are not whole-line comments.

Product code is src/, python/ and telvane/ (the viewer's JavaScript included); tests are tests/ (fuzz/ and benchmarks/ apart).
Run from anywhere: python tools/line_counts.py"""

from __future__ import annotations

from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PRODUCT = ["src", "python", "telvane"]
TESTS = ["tests"]
SUFFIXES = {".py", ".pyi", ".cpp", ".hpp", ".js", ".css", ".html"}  # the viewer's page is product code
C_LIKE = {".cpp", ".hpp", ".js", ".css"}


def code_lines(path: Path) -> int:
    """Non-blank lines outside comments: `#` lines in Python, `//` lines and `/* */` blocks in
    C++, JavaScript and CSS."""
    count, in_block = 0, False
    for line in path.read_text().splitlines():
        line = line.strip()
        if in_block:
            in_block = "*/" not in line
        elif path.suffix in C_LIKE and line.startswith("/*"):
            in_block = "*/" not in line
        elif line and not line.startswith("//" if path.suffix in C_LIKE else "#"):
            count += 1
    return count


def total(folders: list[str]) -> int:
    return sum(code_lines(path) for folder in folders for path in sorted((ROOT / folder).rglob("*"))
               if path.suffix in SUFFIXES and path.is_file())


if __name__ == "__main__":
    product, tests = total(PRODUCT), total(TESTS)
    print(f"product {product}  tests {tests}  ratio {tests / product:.2f}")
