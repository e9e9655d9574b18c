"""The type stub quorvane.pyi against the module it describes.

The stub is read with `ast`, from where an installed package puts it (next to
the extension) or else from the source tree, and compared member by member
with the running module: names, parameter names, kinds and defaults,
properties in field order, constructors, finality and docstrings.
"""

from __future__ import annotations

import ast
import inspect
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

import quorvane

ROOT = Path(__file__).resolve().parents[3]
SOURCE_STUB = ROOT / "src" / "python" / "quorvane.pyi"
MODULE_DIR = Path(quorvane.__file__).resolve().parent
INSTALLED_STUB = MODULE_DIR / "quorvane.pyi"
INSTALLED_STUB_PACKAGE = MODULE_DIR / "quorvane-stubs" / "__init__.pyi"
STUB = INSTALLED_STUB if INSTALLED_STUB.exists() else SOURCE_STUB

SAMPLE = ROOT / "examples" / "sample"

# Present on every class, or the slots behind construction; compared apart.
IGNORED_RUNTIME_MEMBERS = {"__doc__", "__module__", "__new__"}


@dataclass
class StubFunction:
    node: ast.FunctionDef

    @property
    def decorators(self) -> set[str]:
        names = set()
        for d in self.node.decorator_list:
            if isinstance(d, ast.Name):
                names.add(d.id)
            elif isinstance(d, ast.Attribute):
                names.add(d.attr)
        return names

    @property
    def docstring(self) -> str | None:
        return ast.get_docstring(self.node)

    def parameters(self, skip_first: bool) -> list[tuple[str, str, Any]]:
        """(name, kind, default) for each parameter, like inspect.Parameter."""
        args = self.node.args
        positional = args.posonlyargs + args.args
        defaults: list[Any] = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
        defaults += [ast.literal_eval(d) for d in args.defaults]
        result = [
            (a.arg, "POSITIONAL_ONLY" if a in args.posonlyargs else "POSITIONAL_OR_KEYWORD", d)
            for a, d in zip(positional, defaults)
        ]
        if args.vararg:
            result.append((args.vararg.arg, "VAR_POSITIONAL", inspect.Parameter.empty))
        for a, d in zip(args.kwonlyargs, args.kw_defaults):
            result.append((a.arg, "KEYWORD_ONLY", inspect.Parameter.empty if d is None else ast.literal_eval(d)))
        if args.kwarg:
            result.append((args.kwarg.arg, "VAR_KEYWORD", inspect.Parameter.empty))
        return result[1:] if skip_first else result


@dataclass
class StubClass:
    node: ast.ClassDef
    members: dict[str, StubFunction] = field(default_factory=dict)

    @property
    def is_final(self) -> bool:
        return any(isinstance(d, ast.Name) and d.id == "final" for d in self.node.decorator_list)

    @property
    def is_typed_dict(self) -> bool:
        return any(isinstance(b, ast.Name) and b.id == "TypedDict" for b in self.node.bases)

    @property
    def properties(self) -> list[str]:
        return [name for name, f in self.members.items() if "property" in f.decorators]

    def typed_dict_fields(self) -> list[tuple[str, str]]:
        return [
            (s.target.id, ast.unparse(s.annotation))
            for s in self.node.body
            if isinstance(s, ast.AnnAssign) and isinstance(s.target, ast.Name)
        ]


@dataclass
class Stub:
    classes: dict[str, StubClass]
    attributes: dict[str, str]
    functions: dict[str, StubFunction]


def parse_stub(path: Path) -> Stub:
    tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
    classes: dict[str, StubClass] = {}
    attributes: dict[str, str] = {}
    functions: dict[str, StubFunction] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = StubFunction(node)
        if isinstance(node, ast.ClassDef):
            cls = StubClass(node)
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    assert item.name not in cls.members, f"{node.name}.{item.name} defined twice (a setter?)"
                    cls.members[item.name] = StubFunction(item)
            classes[node.name] = cls
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            attributes[node.target.id] = ast.unparse(node.annotation)
    return Stub(classes, attributes, functions)


def is_public(name: str) -> bool:
    return not name.startswith("_") or name == "__version__"


@pytest.fixture(scope="module")
def stub() -> Stub:
    return parse_stub(STUB)


def runtime_classes() -> dict[str, type]:
    return {name: obj for name, obj in vars(quorvane).items() if isinstance(obj, type)}


def first_line(doc: str | None) -> str | None:
    return doc.strip().splitlines()[0] if doc and doc.strip() else None


def test_module_names(stub: Stub) -> None:
    runtime = {name for name in vars(quorvane) if is_public(name)}
    declared = {name for name in [*stub.classes, *stub.attributes, *stub.functions] if is_public(name)}
    assert declared == runtime
    assert set(stub.classes) & runtime == set(runtime_classes())
    assert stub.attributes["__version__"] == "str"
    # Stub-only helper types (TypedDicts) stay private so nobody imports them at run time.
    assert all(not is_public(name) for name, cls in stub.classes.items() if cls.is_typed_dict)


@pytest.mark.parametrize("name", sorted(n for n, f in vars(quorvane).items() if inspect.isbuiltin(f)))
def test_module_function(stub: Stub, name: str) -> None:
    function = getattr(quorvane, name)
    declared = stub.functions[name]
    runtime = [(p.name, p.kind.name, p.default) for p in inspect.signature(function).parameters.values()]
    assert declared.parameters(skip_first=False) == runtime
    assert declared.docstring == first_line(function.__doc__)


@pytest.mark.parametrize("name", sorted(runtime_classes()))
class TestClass:
    def test_members(self, stub: Stub, name: str) -> None:
        cls = runtime_classes()[name]
        runtime = {m for m in vars(cls) if m not in IGNORED_RUNTIME_MEMBERS}
        declared = {m for m in stub.classes[name].members if m != "__new__"}
        assert declared == runtime

    def test_member_kinds_and_parameters(self, stub: Stub, name: str) -> None:
        cls = runtime_classes()[name]
        for member, declared in stub.classes[name].members.items():
            if member == "__new__":
                continue
            raw = vars(cls)[member]
            where = f"{name}.{member}"
            if inspect.isgetsetdescriptor(raw):
                assert "property" in declared.decorators, f"{where} is a read-only attribute"
                continue
            assert "property" not in declared.decorators, f"{where} is not a property"
            static = isinstance(raw, staticmethod)
            assert ("staticmethod" in declared.decorators) == static, f"{where}: staticmethod"
            if not static:
                assert declared.node.args.args[0].arg == "self", where
            parameters = inspect.signature(getattr(cls, member)).parameters.values()
            runtime_params = [(p.name, p.kind.name, p.default) for p in parameters]
            if not static:
                runtime_params = runtime_params[1:]
            assert declared.parameters(skip_first=not static) == runtime_params, where

    def test_fields_in_order(self, stub: Stub, name: str) -> None:
        cls = runtime_classes()[name]
        runtime = [m for m, raw in vars(cls).items() if inspect.isgetsetdescriptor(raw)]
        assert stub.classes[name].properties == runtime

    def test_construction(self, stub: Stub, name: str) -> None:
        # The classes construct in tp_new and have no __init__ of their own,
        # so the stub declares __new__ only.
        cls = runtime_classes()[name]
        new = stub.classes[name].members["__new__"]
        assert cls.__init__ is object.__init__
        returns = ast.unparse(new.node.returns)
        if cls.__text_signature__ is not None:
            runtime = [(p.name, p.kind.name, p.default) for p in inspect.signature(cls).parameters.values()]
            assert new.parameters(skip_first=True) == runtime
            assert returns == name
        else:
            # Not constructible: the stub says so with a __new__ that never returns.
            assert returns == "NoReturn"
            with pytest.raises(TypeError, match="No constructor defined"):
                cls()

    def test_final(self, stub: Stub, name: str) -> None:
        cls = runtime_classes()[name]
        try:
            type("Sub", (cls,), {})
            subclassable = True
        except TypeError:
            subclassable = False
        assert stub.classes[name].is_final == (not subclassable)

    def test_docstrings(self, stub: Stub, name: str) -> None:
        cls = runtime_classes()[name]
        declared = stub.classes[name]
        assert ast.get_docstring(declared.node) == first_line(cls.__doc__)
        for member, function in declared.members.items():
            runtime = first_line(getattr(cls, member).__doc__) if member in vars(cls) else None
            if runtime and function.docstring is not None:
                assert function.docstring == runtime, f"{name}.{member}"


def returned_typed_dict(stub: Stub, method: str) -> list[tuple[str, str]]:
    returns = stub.classes["Quorvane"].members[method].node.returns
    assert returns is not None
    cls = stub.classes[ast.unparse(returns)]
    assert cls.is_typed_dict
    return cls.typed_dict_fields()


def test_dict_results_match_their_typed_dicts(stub: Stub, make_editor: Any) -> None:
    editor = make_editor(["a", "b", "ab"], [("a", "b")])
    kept = editor.add_tokens_keep_size(["abb"])
    assert [(key, type(value).__name__) for key, value in kept.items()] == returned_typed_dict(
        stub, "add_tokens_keep_size"
    )
    synced = editor.sync_single_chars(str(SAMPLE / "marker_tokenizer.json"))
    assert [(key, type(value).__name__) for key, value in synced.items()] == returned_typed_dict(
        stub, "sync_single_chars"
    )


@pytest.mark.parametrize("installed", [INSTALLED_STUB, INSTALLED_STUB_PACKAGE], ids=["module", "stubs-package"])
def test_installed_copies_match_source(installed: Path) -> None:
    if not installed.exists():
        pytest.skip(f"quorvane is not installed with its stub (imported from {MODULE_DIR})")
    if not SOURCE_STUB.exists():
        pytest.skip("no source tree next to these tests")
    assert installed.read_bytes() == SOURCE_STUB.read_bytes(), f"{installed} is stale; reinstall"
