"""The language guide's examples and the type stubs, against the module."""
import ast
import doctest
import os
import re
import subprocess
import sys
import types
import unittest

import Velmoratrix
from interpreter import python

try:
    import numpy
except ImportError:
    numpy = None
try:
    import pandas
except ImportError:
    pandas = None
try:
    import polars
    import pyarrow
except ImportError:
    polars = None

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


class GuideExamplesTest(unittest.TestCase):
    """Every ```python block of the guides runs as a doctest; ```python numpy,
    ```python pandas and ```python polars blocks too where those are installed."""

    def run_examples(self, name, minimum):
        path = os.path.join(SOURCE, name if name == "README.md" else os.path.join("docs", name))
        with open(path) as f:
            text = f.read()
        blocks = re.findall(r"^```python\n(.*?)^```", text, re.M | re.S)
        for tag, module in [("numpy", numpy), ("pandas", pandas), ("polars", polars)]:
            if module is not None:
                blocks += re.findall(r"^```python %s\n(.*?)^```" % tag, text, re.M | re.S)
        test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, name, path, 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        self.assertGreater(runner.tries, minimum)
        self.assertEqual(runner.failures, 0)

    def test_language(self):
        self.run_examples("language.md", 30)

    def test_data(self):
        self.run_examples("data.md", 13)

    def test_readme(self):
        self.run_examples("README.md", 6)


def stub_path():
    """The stub installed beside the module, else the source's."""
    beside = os.path.join(os.path.dirname(Velmoratrix.__file__), "__init__.pyi")
    if os.path.exists(beside):
        return beside
    return os.path.join(SOURCE, "python", "Velmoratrix-stubs", "__init__.pyi")


def rendered(function, owner):
    """The stub's signature in the form of pybind11's docstrings."""
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    parts = []
    for arg, default in zip(positional, defaults):
        if arg.arg == "self":
            parts.append("self: Velmoratrix." + owner)
            continue
        annotation = ANNOTATIONS.get(ast.unparse(arg.annotation), ast.unparse(arg.annotation))
        parts.append("%s: %s%s" % (arg.arg, annotation,
                                   "" if default is None else " = " + ast.unparse(default)))
    if args.vararg:
        parts.append("*" + args.vararg.arg)
    returns = ast.unparse(function.returns)
    return "%s(%s) -> %s" % (function.name, ", ".join(parts), ANNOTATIONS.get(returns, returns))


# How pybind11 names the stub's annotations in its docstrings.
ANNOTATIONS = {
    "Union[str, bytes]": "str",
    "Mapping[str, _Column]": "object",
    "Mapping[str, float]": "object",
    "Optional[Mapping[str, float]]": "object",
    "Optional[Iterable[Union[str, bytes]]]": "object",
    "_Results": "object",
    "Optional[Any]": "object",
    "Tuple[bool, List[Any], List[Any], List[Any], List[Any], str]": "tuple",
    "Tuple[bool, List[Any], List[Any], List[Any], List[Any], str, Dict[str, Any]]": "tuple",
    "Callable[..., float]": "object",
    "Callable[..., Any]": "object",
    "Any": "object",
    "List[Problem]": "list",
    "Dict[str, Any]": "dict",
    "Optional[int]": "object",
    "Tuple[Evaluator, str]": "tuple",
    "Tuple[Evaluator, str, str]": "tuple",
    "Formula": "Velmoratrix.Formula",
    "Compiled": "Velmoratrix.Compiled",
    "Union[Mapping[str, _Column], Sequence[_Column], _Frame]": "object",
}


def public(names):
    return {n for n in names if not n.startswith("_")}


class BuildInfoTest(unittest.TestCase):
    def test_it_says_what_the_build_is(self):
        info = Velmoratrix.build_info()
        self.assertEqual(info["version"], Velmoratrix.__version__)
        self.assertIn(info["arithmetic"], ("x87", "software"))
        code = "import Velmoratrix; print(Velmoratrix.build_info()['generated_code'])"
        off = subprocess.run(python() + ["-c", code], capture_output=True, text=True,
                             env=dict(os.environ, VELMO_JIT="0"), check=True)
        self.assertEqual(off.stdout.strip(), "False")


class StubTest(unittest.TestCase):
    def setUp(self):
        with open(stub_path()) as f:
            self.tree = ast.parse(f.read())

    def test_names_match_the_module(self):
        top = {node.name: node for node in self.tree.body
               if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and public([node.name])}
        modules = {n for n in dir(Velmoratrix)  # Velmoratrix.pandas, once imported
                   if isinstance(getattr(Velmoratrix, n), types.ModuleType)}
        self.assertEqual(set(top), public(dir(Velmoratrix)) - modules)
        for name, node in top.items():
            if not isinstance(node, ast.ClassDef):
                continue
            with self.subTest(cls=name):
                members = set()
                for item in node.body:
                    if isinstance(item, ast.FunctionDef):
                        members.add(item.name)
                    elif isinstance(item, ast.AnnAssign):
                        members.add(item.target.id)
                self.assertEqual(public(members), public(vars(getattr(Velmoratrix, name))))

    def test_signatures_match_the_docstrings(self):
        checked = 0
        for node in self.tree.body:
            functions = [(node, "")] if isinstance(node, ast.FunctionDef) else []
            if not public([getattr(node, "name", "_")]):  # imports and the stub's own types
                continue
            if isinstance(node, ast.ClassDef):  # but constructors that are none, and properties
                seen = set()  # of overloads, the first (str names) is the docstring's
                functions = [(f, node.name) for f in node.body if isinstance(f, ast.FunctionDef)
                             and [ast.unparse(d) for d in f.decorator_list] in ([], ["overload"])
                             and not (f.name in seen or seen.add(f.name))
                             and ast.unparse(f.returns) != "NoReturn"]
            for function, owner in functions:
                runtime = getattr(getattr(Velmoratrix, owner), function.name) if owner else \
                    getattr(Velmoratrix, function.name)
                with self.subTest(function=function.name):
                    self.assertEqual(rendered(function, owner), runtime.__doc__.splitlines()[0])
                    checked += 1
        self.assertEqual(checked, 30)


if __name__ == "__main__":
    unittest.main()
