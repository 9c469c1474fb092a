"""The type stubs describe the module as it is."""

import ast
import dataclasses
import importlib.util
import inspect
import pathlib
import subprocess
import sys

import pytest

import rsid

STUB = pathlib.Path(rsid.__file__).with_name("__init__.pyi")
ALLOWLIST = pathlib.Path(__file__).parents[2] / "python" / "stubtest-allowlist.txt"


def stub_signature(node):
    """(name, kind, default as source) for each parameter of a stub function."""
    args = node.args
    out = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for a, d in zip(positional, defaults):
        out.append((a.arg, "POSITIONAL_OR_KEYWORD", d and ast.unparse(d)))
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        out.append((a.arg, "KEYWORD_ONLY", d and ast.unparse(d)))
    return out


def runtime_signature(f):
    return [(p.name, p.kind.name, None if p.default is p.empty else repr(p.default))
            for p in inspect.signature(f).parameters.values()]


def test_every_stubbed_name_matches_the_module():
    tree = ast.parse(STUB.read_text())
    checked = 0
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            assert stub_signature(node) == runtime_signature(getattr(rsid, node.name)), node.name
            checked += 1
        elif isinstance(node, ast.ClassDef):
            cls = getattr(rsid, node.name)
            fields = [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)]
            if dataclasses.is_dataclass(cls):
                assert fields == [f.name for f in dataclasses.fields(cls)], node.name
            for f in node.body:
                if isinstance(f, ast.FunctionDef):
                    member = inspect.getattr_static(cls, f.name)
                    if isinstance(member, property):
                        assert any(isinstance(d, ast.Name) and d.id == "property"
                                   for d in f.decorator_list), f"{node.name}.{f.name}"
                    else:
                        assert stub_signature(f) == runtime_signature(member), f.name
                    checked += 1
        elif isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            assert ast.literal_eval(node.value) == rsid.__all__
    assert checked == 20  # seven functions, one method of Detection, five members of Detector, seven of Scanner


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stubtest_finds_no_difference():
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "rsid", "--allowlist",
                          str(ALLOWLIST)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
