"""telvane's modules import one another without a cycle, counting the imports that run when a
module is imported (not those inside functions or under TYPE_CHECKING)."""

import ast
from pathlib import Path

import telvane

ROOT = Path(telvane.__file__).parent


def module_name(path: Path) -> str:
    parts = list(path.relative_to(ROOT.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


MODULES = {module_name(path): path for path in ROOT.rglob("*.py")}


def imported(path: Path, name: str) -> set[str]:
    """The telvane modules that importing `name` imports directly."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for statement in ast.parse(path.read_text()).body:
        if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)) or (
                isinstance(statement, ast.If) and "TYPE_CHECKING" in ast.unparse(statement.test)):
            continue
        for node in ast.walk(statement):
            if isinstance(node, ast.Import):
                found |= {alias.name for alias in node.names}
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    base = ".".join([*package.split(".")[:len(package.split(".")) + 1 - node.level], base]).strip(".")
                # `from package import module` depends on the module, not on the package's own code
                found |= {f"{base}.{alias.name}" if f"{base}.{alias.name}" in MODULES else base for alias in node.names}
    return {module for module in found if module in MODULES and module != name}


def find_cycle(graph: dict[str, set[str]]) -> list[str]:
    done: set[str] = set()

    def visit(path: list[str]) -> list[str]:
        for target in sorted(graph[path[-1]]):
            if target in path:
                return [*path[path.index(target):], target]
            if target not in done and (cycle := visit([*path, target])):
                return cycle
        done.add(path[-1])
        return []

    return next((cycle for name in sorted(graph) if name not in done and (cycle := visit([name]))), [])


def test_no_module_of_telvane_imports_itself_through_others():
    graph = {name: imported(path, name) for name, path in MODULES.items()}
    assert sum(map(len, graph.values())) > len(graph)  # the imports were found
    assert find_cycle(graph) == []
