"""Fail if quillon's Python modules import each other in a circle.

Every import counts, those inside functions too (a circle that closes only at
run time still ties the modules together); those under TYPE_CHECKING do not.
A submodule's implicit import of its own package does not count either.
"""

import ast
import graphlib
import sys
from pathlib import Path

src = Path(sys.argv[1] if len(sys.argv) > 1 else "src")
modules = {}
for path in sorted(src.rglob("*.py")):
    parts = path.relative_to(src).with_suffix("").parts
    modules[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path


def known(name):
    """The module of ours that importing *name* runs, or None."""
    while name and name not in modules:
        name = name.rpartition(".")[0]
    return name or None


def imports(name, path):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    typing_only = {
        id(inner)
        for node in ast.walk(tree)
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test)
        for statement in node.body
        for inner in ast.walk(statement)
    }
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    for node in ast.walk(tree):
        if id(node) in typing_only:
            continue
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                above = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join([*above, base] if base else above)
            targets = [f"{base}.{alias.name}" for alias in node.names]
        else:
            continue
        for target in targets:
            module = known(target)
            if module and module != name:
                yield module


graph = {name: set(imports(name, path)) for name, path in modules.items()}
try:
    graphlib.TopologicalSorter(graph).prepare()
except graphlib.CycleError as error:
    print("import circle:", " -> ".join(error.args[1]), file=sys.stderr)
    sys.exit(1)
print(f"{len(graph)} modules, no import circle")
