"""The package's module layout: no import cycles, and the errors and run options reachable under their
old names as the very same objects."""

from __future__ import annotations

import ast
import importlib
from collections import deque
from pathlib import Path
from typing import Dict, Iterator, List, Set

import pytest

PACKAGE = "orva_mero_backtest"
SOURCE = Path(__file__).resolve().parents[1] / "src" / PACKAGE


def module_files(root: Path, package: str) -> Dict[str, Path]:
    names = {}
    for path in sorted(root.rglob("*.py")):
        parts = [package, *path.relative_to(root).with_suffix("").parts]
        if parts[-1] == "__init__":
            parts.pop()
        names[".".join(parts)] = path
    return names


def _is_type_checking(test: ast.expr) -> bool:
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def import_nodes(node: ast.AST) -> Iterator[ast.stmt]:
    """Every import statement that can run: module level, in functions and classes, in try/if blocks;
    not the ``if TYPE_CHECKING:`` ones, which never run."""
    for child in ast.iter_child_nodes(node):
        if isinstance(child, (ast.Import, ast.ImportFrom)):
            yield child
        elif isinstance(child, ast.If) and _is_type_checking(child.test):
            for other in child.orelse:
                yield from import_nodes(ast.Module(body=[other], type_ignores=[]))
        else:
            yield from import_nodes(child)


def _known(name: str, modules: Dict[str, Path]) -> str:
    """The module that importing ``name`` reaches: itself, else its nearest known parent (a native
    module or a plain name inside a module counts as that module)."""
    while name not in modules and "." in name:
        name = name.rsplit(".", 1)[0]
    return name


def import_graph(root: Path, package: str) -> Dict[str, Set[str]]:
    modules = module_files(root, package)
    graph: Dict[str, Set[str]] = {name: set() for name in modules}
    for name, path in modules.items():
        here = name if path.name == "__init__.py" else name.rsplit(".", 1)[0]
        ancestors = {".".join(name.split(".")[:i]) for i in range(1, name.count(".") + 1)}
        for node in import_nodes(ast.parse(path.read_text(encoding="utf-8"), str(path))):
            wanted: List[str] = []
            if isinstance(node, ast.Import):
                wanted = [alias.name for alias in node.names]
            else:
                base = node.module or ""
                if node.level:
                    parent = here.split(".")[: len(here.split(".")) - (node.level - 1)]
                    base = ".".join(parent + ([node.module] if node.module else []))
                wanted = [f"{base}.{alias.name}" for alias in node.names]
            for target in wanted:
                if target != package and not target.startswith(package + "."):
                    continue
                target = _known(target, modules)
                # Importing a.b.c runs a and a.b first; the importer's own packages are already running.
                parts = target.split(".")
                for i in range(1, len(parts) + 1):
                    step = ".".join(parts[:i])
                    if step in modules and step != name and step not in ancestors:
                        graph[name].add(step)
    return graph


def cycles(graph: Dict[str, Set[str]]) -> List[List[str]]:
    """One shortest cycle through each group of modules that import each other (Tarjan's strongly
    connected components, then a breadth-first search inside each)."""
    index: Dict[str, int] = {}
    low: Dict[str, int] = {}
    stack: List[str] = []
    on_stack: Set[str] = set()
    groups: List[Set[str]] = []

    def visit(v: str) -> None:
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = set()
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.add(w)
                if w == v:
                    break
            if len(group) > 1 or v in graph[v]:
                groups.append(group)

    for v in sorted(graph):
        if v not in index:
            visit(v)
    found = []
    for group in groups:
        start = min(group)
        came_from = {start: None}
        queue = deque([start])
        while queue:
            v = queue.popleft()
            if start in graph[v]:
                path = [v]
                while came_from[path[-1]] is not None:
                    path.append(came_from[path[-1]])
                found.append(list(reversed(path)) + [start])
                break
            for w in sorted(graph[v] & group):
                if w not in came_from:
                    came_from[w] = v
                    queue.append(w)
    return found


def test_the_package_imports_no_module_that_imports_it_back():
    graph = import_graph(SOURCE, PACKAGE)
    assert f"{PACKAGE}.driver" in graph and graph[f"{PACKAGE}.cli"]  # the source tree was found and read
    found = cycles(graph)
    text = "\n".join(" -> ".join(c) for c in found)
    print(text)
    assert not found, f"import cycles:\n{text}"


FAKE = {
    "__init__.py": "",
    "b.py": "X = 1\n",
    "sub/__init__.py": "from .c import C\n",
    "sub/c.py": "C = 1\n",
}


@pytest.mark.parametrize("a_source, b_source, cycle", [
    ("from .b import X\n", "from . import a\n", ["pkg.a", "pkg.b", "pkg.a"]),
    ("from .b import X\n", "def f():\n    from .a import Y\n", ["pkg.a", "pkg.b", "pkg.a"]),
    ("import pkg.b\n", "class K:\n    def m(self):\n        import pkg.a as a\n", ["pkg.a", "pkg.b", "pkg.a"]),
    # importing a module of a subpackage runs the subpackage's __init__ too
    ("from .sub.c import C\n", None, ["pkg.a", "pkg.sub", "pkg.sub.d", "pkg.a"]),
    ("try:\n    from .b import X\nexcept ImportError:\n    pass\n", "if True:\n    from .a import Y\n",
     ["pkg.a", "pkg.b", "pkg.a"]),
    # type-only imports never run
    ("from .b import X\n", "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from .a import Y\n", None),
    ("from .b import X\n", "import os\nfrom os import path\n", None),
    ("from .sub import C\n", "from .sub.c import C\n", None),
])
def test_the_cycle_check_sees_every_kind_of_import(tmp_path, a_source, b_source, cycle):
    files = {**FAKE, "a.py": a_source, "sub/d.py": "from ..a import Z\n" if b_source is None else ""}
    if b_source is not None:
        files["b.py"] = b_source
    if cycle is not None and "pkg.sub.d" in cycle:
        files["sub/__init__.py"] = "from .c import C\nfrom . import d\n"
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    found = cycles(import_graph(tmp_path, "pkg"))
    assert found == ([cycle] if cycle else [])


@pytest.mark.parametrize("old, new", [
    ("driver.BacktestError", "errors.BacktestError"),
    ("driver.StrategyError", "errors.StrategyError"),
    ("driver.parse_day", "data.clock.parse_day"),
    ("strategy.OrderRejected", "errors.OrderRejected"),
    ("cli.BacktestError", "errors.BacktestError"),
    ("data.DataError", "errors.DataError"),
    ("data.cache_broker.DataError", "errors.DataError"),
    ("cli.make_backtest", "options.make_backtest"),
    ("cli.EXIT_BAD_INPUT", "options.EXIT_BAD_INPUT"),
    ("cli.SAMPLE_STOCKS", "options.SAMPLE_STOCKS"),
])
def test_old_names_are_the_same_objects(old, new):
    def resolve(dotted: str):
        module, _, attr = dotted.rpartition(".")
        return getattr(importlib.import_module(f"{PACKAGE}.{module}"), attr)

    assert resolve(old) is resolve(new)


def test_an_order_refusal_of_the_tracker_is_caught_as_the_strategy_module_names_it():
    from orva_mero_backtest import errors, strategy

    assert issubclass(errors.StrategyError, errors.BacktestError) and issubclass(strategy.OrderRejected, ValueError)
    error = __import__(f"{PACKAGE}.orders", fromlist=["OrderTracker"]).OrderTracker._not_taken("2330", "Buy", 1, "MKT")
    assert type(error) is errors.BacktestError and "did not take the order of 1 2330" in str(error)


@pytest.mark.parametrize("dotted", ["sweep.worker.run_one", "sweep.worker._worker_init", "sweep.engines._ray_run_one",
                                    "sweep.grid.RunSpec", "sweep.cache.materialize"])
def test_what_a_sweep_sends_its_workers_is_found_again_by_its_module_path(dotted):
    """Process pools and Ray pickle functions and classes by module and name; the worker imports them."""
    import pickle

    module, _, name = dotted.rpartition(".")
    thing = getattr(importlib.import_module(f"{PACKAGE}.{module}"), name)
    assert thing.__module__ == f"{PACKAGE}.{module}" and pickle.loads(pickle.dumps(thing)) is thing
    if name == "RunSpec":
        job = thing(3, (("fast", "5"),), (("2412", "Stock"),), (("strategy", "ma_cross"),), "/data")
        assert pickle.loads(pickle.dumps(job)) == job
