"""What editors and help() see of lumetra: the shipped type stubs describe the compiled
module (the same public names, every function with the runtime's parameter names and
defaults), and help() shows the docstring of every class."""

import ast
import importlib
import importlib.resources
import inspect
import pydoc
import re

import pytest

import lumetra
import stub_docs


def stub_tree(name="__init__.pyi", package="lumetra"):
    package = importlib.resources.files(package)
    assert (package / "py.typed").is_file()
    return ast.parse((package / name).read_text())


def public(names):
    return {n for n in names if not n.startswith("_")}


def defined(body):
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
        elif isinstance(node, ast.ImportFrom):
            names.update(a.asname for a in node.names if a.asname)  # "import x as x" re-exports
    return names


def parameters(function):
    args = function.args.args
    defaults = [None] * (len(args) - len(function.args.defaults)) + [
        ast.literal_eval(d) for d in function.args.defaults
    ]
    return [(a.arg, d) for a, d in zip(args, defaults)]


def runtime_parameters(function):
    """pybind11 puts the signature on the first docstring line: name(arg: type = default) -> type;
    functions written in Python carry their own."""
    if inspect.isfunction(function):
        return [
            (p.name, None if p.default is p.empty else p.default)
            for p in inspect.signature(function).parameters.values()
        ]
    return parameters(ast.parse(f"def {function.__doc__.splitlines()[0]}: ...").body[0])


def runtime_overloads(function):
    """The parameters of each signature pybind11 lists: one, or one per overload after an
    "Overloaded function." line."""
    lines = function.__doc__.splitlines()
    if lines[1:2] != ["Overloaded function."]:
        return [runtime_parameters(function)]
    signatures = [line.split(". ", 1)[1] for line in lines if re.match(rf"\d+\. {function.__name__}\(", line)]
    return [parameters(ast.parse(f"def {s}: ...").body[0]) for s in signatures]


# Submodules of the `lumetra run` command: imported when used (then they show up as
# attributes of the package), not part of the package's API.
COMMAND_MODULES = {"cli", "scenario", "runner", "parallel", "design", "patterns", "projector"}  # imported on use


def test_stub_names_match_the_module_and_its_classes():
    tree = stub_tree()
    stub_all = next(
        ast.literal_eval(n.value) for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"
    )
    assert public(defined(tree.body)) == public(dir(lumetra)) - COMMAND_MODULES == set(stub_all) == set(lumetra.__all__)
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef)):
        assert public(defined(cls.body)) == public(dir(getattr(lumetra, cls.name))), cls.name


def test_stub_signatures_match_the_runtime():
    tree = stub_tree()
    functions = [(lumetra, n) for n in tree.body if isinstance(n, ast.FunctionDef)]
    functions += [
        (lumetra.Lumetra, n)
        for c in tree.body
        if isinstance(c, ast.ClassDef) and c.name == "Lumetra"
        for n in c.body
        if isinstance(n, ast.FunctionDef)
    ]
    assert len(functions) > 30
    for owner, node in functions:
        assert parameters(node) == runtime_parameters(getattr(owner, node.name)), node.name


def test_meshes_stub_matches_the_module():
    from lumetra import meshes

    tree = stub_tree("meshes.pyi")
    stub_all = next(
        ast.literal_eval(n.value) for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"
    )
    assert set(stub_all) == set(meshes.__all__)
    assert set(meshes.__all__) <= public(defined(tree.body))
    assert all(hasattr(meshes, name) for name in public(defined(tree.body)))
    for node in (n for n in tree.body if isinstance(n, ast.FunctionDef)):
        runtime = [
            (p.name, None if p.default is p.empty else p.default)
            for p in inspect.signature(getattr(meshes, node.name)).parameters.values()
            if p.kind is not p.VAR_KEYWORD
        ]
        assert parameters(node) == runtime, node.name


@pytest.mark.parametrize("module", sorted(stub_docs.STUBS))
def test_stub_docstrings_are_the_runtime_summaries(module):
    # Each is the first paragraph of the runtime's own docstring (python tests/python/stub_docs.py
    # rewrites them); the check also fails for a runtime object that lost its docstring.
    path, wrong = stub_docs.differences(module)
    assert not wrong, [(node.name, text) for node, text in wrong]
    assert stub_docs.documented(module)[1], f"{path.name} documents nothing"


def test_help_shows_every_class_docstring():
    text = pydoc.render_doc(lumetra, renderer=pydoc.plaintext)
    for cls in (lumetra.BoundaryConditionInteractionType, lumetra.OpticalBoundaryCondition, lumetra.Lumetra):
        assert cls.__doc__.splitlines()[0] in text, cls.__name__


@pytest.mark.parametrize("name", ["curalis", "exposa"])
def test_curing_stubs_name_the_runtime(name):
    module = importlib.import_module(name)
    tree = stub_tree(package=name)
    assert public(defined(tree.body)) == public(dir(module)) == set(module.__all__)
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef)):
        runtime = getattr(module, cls.name)
        assert public(defined(cls.body)) == public(dir(runtime)), cls.name
        stubs = {}  # overloads in the stub's order
        for node in (n for n in cls.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")):
            stubs.setdefault(node.name, []).append(parameters(node))
        for name, signatures in stubs.items():
            assert signatures == runtime_overloads(getattr(runtime, name)), name
