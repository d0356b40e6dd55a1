"""The docstrings of the shipped type stubs come from the runtime: each stub docstring of a
class, function or method is the first paragraph of the runtime object's own docstring (the
one source), which the compiled modules and the Python code carry.

    python tests/python/stub_docs.py          # rewrite the stubs' docstrings from the installed packages
    python tests/python/stub_docs.py --check  # list the ones that differ (exit 1 if any)

test_stubs.py runs the check."""

import ast
import importlib
import inspect
import pathlib
import re
import sys
import textwrap

STUBS = {"lumetra": "__init__.pyi", "lumetra.meshes": "meshes.pyi", "curalis": "__init__.pyi", "exposa": "__init__.pyi"}
ROOT = pathlib.Path(__file__).resolve().parents[2] / "python"


def summary(obj, overload=0):
    """The first paragraph of obj's docstring as one line, after pybind11's signature line
    (of an overloaded function, the paragraph of overload number `overload`, from 0); None
    without a docstring."""
    doc = inspect.getdoc(obj)
    if not doc:
        return None
    lines = doc.splitlines()
    name = getattr(obj, "__name__", "")
    if name and lines and lines[0].startswith(name + "(") and not inspect.isfunction(obj):
        lines = lines[1:]
    if lines and lines[0] == "Overloaded function.":
        starts = [i for i, line in enumerate(lines) if re.match(rf"\d+\. {re.escape(name)}\(", line)]
        if overload >= len(starts):
            return None
        end = starts[overload + 1] if overload + 1 < len(starts) else len(lines)
        lines = lines[starts[overload] + 1 : end]
    text = "\n".join(lines).strip()
    first = text.split("\n\n", 1)[0]
    return " ".join(first.split()) or None


def documented(module_name):
    """(stub node, runtime object) for every class, function and method of the stub that has
    a docstring."""
    module = importlib.import_module(module_name)
    package = module_name.split(".")[0]
    path = ROOT / package / STUBS[module_name]
    tree = ast.parse(path.read_text())
    pairs = []

    def visit(body, owner):
        seen = {}  # overloads of each name so far, in the stub's order
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and hasattr(owner, node.name):
                runtime = getattr(owner, node.name)
                overload = seen.get(node.name, 0)
                seen[node.name] = overload + 1
                if ast.get_docstring(node, clean=False) is not None:
                    pairs.append((node, runtime, overload))
                if isinstance(node, ast.ClassDef):
                    visit(node.body, runtime)

    visit(tree.body, module)
    return path, pairs


def differences(module_name):
    path, pairs = documented(module_name)
    return path, [
        (node, summary(runtime, overload))
        for node, runtime, overload in pairs
        if " ".join(ast.get_docstring(node).split()) != summary(runtime, overload)
    ]


def write(module_name):
    path, wrong = differences(module_name)
    if not wrong:
        return 0
    lines = path.read_text().splitlines(keepends=True)
    # From the bottom up, so earlier line numbers stay valid.
    for node, text in sorted(wrong, key=lambda w: -w[0].body[0].lineno):
        doc = node.body[0]
        indent = " " * doc.col_offset
        escaped = (text or "").replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
        if escaped.endswith('"'):
            escaped = escaped[:-1] + '\\"'
        wrapped = textwrap.wrap(
            escaped, width=100 - len(indent), initial_indent='"""', break_long_words=False, break_on_hyphens=False
        )
        wrapped[-1] += '"""'
        lines[doc.lineno - 1 : doc.end_lineno] = [indent + line + "\n" for line in wrapped]
    path.write_text("".join(lines))
    return len(wrong)


def main(argv):
    check = "--check" in argv
    failed = 0
    for name in STUBS:
        if check:
            path, wrong = differences(name)
            for node, text in wrong:
                print(f"{path.name} ({name}): {node.name}: {ast.get_docstring(node)!r} != {text!r}")
            failed += len(wrong)
        else:
            count = write(name)
            if count:
                print(f"{name}: {count} docstrings rewritten")
    return 1 if check and failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
