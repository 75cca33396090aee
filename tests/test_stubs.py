"""The type stub shipped with norva_core: it matches the built module, documents every member, and
gives user code the types a user expects."""

import ast
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import norva_core

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "norva_core-stubs" / "__init__.pyi"
ALLOWLIST = ROOT / "stubs" / "stubtest-allowlist.txt"
MODULE_DIR = Path(norva_core.__file__).resolve().parent


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """A directory holding the source stub as norva_core.pyi, for mypy's search path."""
    d = tmp_path_factory.mktemp("typing")
    shutil.copy(STUB, d / "norva_core.pyi")
    return d


def run_mypy(workdir, *args):
    """Runs a mypy tool in a subprocess that imports the norva_core this test session uses."""
    path = os.pathsep.join(p for p in (str(MODULE_DIR), os.environ.get("PYTHONPATH")) if p)
    env = dict(os.environ, MYPYPATH=str(workdir), PYTHONPATH=path)
    return subprocess.run([sys.executable, "-m", *args], cwd=workdir, env=env, capture_output=True, text=True)


def test_stub_matches_the_built_module(workdir):
    # Every runtime member is in the stub with the runtime's signature, and nothing else is;
    # unused allowlist entries fail too.
    r = run_mypy(workdir, "mypy.stubtest", "norva_core", "--allowlist", str(ALLOWLIST))
    assert r.returncode == 0, r.stdout + r.stderr


def stub_tree():
    return ast.parse(STUB.read_text())


def stub_class(name):
    return next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == name)


def test_submodule_attributes_match_the_stub():
    # stubtest cannot look inside nn (a plain module object typed by protocols), so its tree is
    # checked here: the protocol members are exactly the runtime names, with relu's parameters.
    nn, functional = norva_core.nn, norva_core.nn.functional

    def members(cls):
        return {n.name for n in stub_class(cls).body if isinstance(n, ast.FunctionDef)}

    assert members("_NN") == set(nn.__all__) == {"functional"}
    assert members("_Functional") == set(functional.__all__) == {"relu"}
    relu_stub = next(n for n in stub_class("_Functional").body if isinstance(n, ast.FunctionDef))
    stub_params = [a.arg for a in relu_stub.args.args[1:]]  # without self
    runtime = inspect.signature(functional.relu).parameters
    assert stub_params == list(runtime)
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in runtime.values())


def test_every_member_has_a_docstring():
    tree = stub_tree()
    assert ast.get_docstring(tree)
    undocumented = []
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef)):
        if not ast.get_docstring(cls):
            undocumented.append(cls.name)
        # For overloads, one of the definitions carries the text.
        documented = {n.name for n in cls.body if isinstance(n, ast.FunctionDef) and ast.get_docstring(n)}
        defined = {n.name for n in cls.body if isinstance(n, ast.FunctionDef)}
        undocumented += [f"{cls.name}.{name}" for name in sorted(defined - documented)]
    assert undocumented == []


# What a type checker concludes about user code: a revealed type, an error code, or None for
# code that must check cleanly.
TENSOR = 'Revealed type is "norva_core.Tensor"'
USER_CODE = [
    ("reveal_type(t + 1)", TENSOR),
    ("reveal_type(1.5 * t)", TENSOR),
    ("reveal_type(2.0 / t)", TENSOR),
    ("reveal_type(t / np.float32(2))", TENSOR),
    ("reveal_type(t @ t.transpose(0, 1))", TENSOR),
    ("reveal_type(t == 2)", TENSOR),
    ("reveal_type(t != t)", TENSOR),
    ("reveal_type(t < 1)", TENSOR),
    ('reveal_type(t == "a")', 'Revealed type is "bool"'),
    ("reveal_type(~b & b)", TENSOR),
    ("reveal_type(nn.functional.relu(t))", TENSOR),
    ("reveal_type(norva_core.nn.functional.relu(py_tensor=t))", TENSOR),
    ("reveal_type(t.shape)", 'Revealed type is "list[int]"'),
    ("reveal_type(t.grad())", "| None"),
    ("reveal_type(t.to_numpy())", 'Revealed type is "numpy.ndarray['),
    ("Tensor(np.zeros((2, 2)), dtype=np.float16, device='CPU', requires_grad=np.bool_(True))", None),
    ("t.reshape(np.array([2, 1])).reshape(range(2)).reshape((1, 2))", None),
    ("Tensor.clear_graph(); t.clear_graph(); t.backward()", None),
    ("2.0 - t", "[operator]"),
    ("t @ 2.0", "[operator]"),
    ("b & True", "[operator]"),
    ('t + "x"', "[operator]"),
    ("nn.functional.relu(3.0)", "[arg-type]"),
    ("Tensor([1.0], requires_grad=1)", "[arg-type]"),
    ('t.reshape("12")', "[arg-type]"),
    ("t.grad().sum()", "[union-attr]"),
    ("t.shape = [1]", "read-only"),
]


def test_user_code_gets_the_expected_types(workdir):
    header = [
        "import numpy as np",
        "import norva_core",
        "from norva_core import Tensor, nn",
        "t = Tensor([[1.0, 2.0]], requires_grad=True)",
        'b = Tensor([True], dtype="bool")',
    ]
    (workdir / "user.py").write_text("\n".join(header + [code for code, _ in USER_CODE]) + "\n")
    r = run_mypy(workdir, "mypy", "--no-error-summary", "--hide-error-context", "user.py")
    by_line = {}
    for line in r.stdout.splitlines():
        name, lineno, rest = line.split(":", 2)
        by_line.setdefault(int(lineno), []).append(rest.strip())
    assert set(by_line) <= set(range(len(header) + 1, len(header) + len(USER_CODE) + 1)), r.stdout
    for i, (code, expected) in enumerate(USER_CODE, start=len(header) + 1):
        got = by_line.get(i, [])
        if expected is None:
            assert got == [], (code, got)
        else:
            assert len(got) == 1 and expected in got[0], (code, got)


def test_installed_package_ships_the_stub():
    if (MODULE_DIR / "CMakeCache.txt").exists():
        pytest.skip("norva_core comes from a development build directory, not an installation")
    installed = MODULE_DIR / "norva_core-stubs" / "__init__.pyi"
    assert installed.read_text() == STUB.read_text()
