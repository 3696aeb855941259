"""Derived qualities: formulas over a record's parameters, such as the cement moduli.

A derived quality of a mixture is its formula applied to the mixture's averages (a blend's lime
saturation factor is not the average of its portions' factors), so derived qualities are never
averaged themselves: compute them from averages of the parameters (a reclaimed row's, an input
block's) with `Record.derive`.

Expressions are parsed with Python's `ast` module and only numbers, parameter names, ``+ - * /
**``, unary minus and parentheses are accepted; nothing the user writes is executed. A parameter
whose name is not a Python identifier is written between backticks: ```H2O free` * 2``.
"""

from __future__ import annotations

import ast
import functools
import re
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import numpy as np

__all__ = ["PRESETS", "DerivedError", "evaluate", "expression_names", "resolve_derived"]

#: Named formulas (oxides in per cent): lime saturation factor, silica and alumina modulus, basicity.
PRESETS: dict[str, str] = {
    "LSF": "100 * CaO / (2.8 * SiO2 + 1.18 * Al2O3 + 0.65 * Fe2O3)",
    "SM": "SiO2 / (Al2O3 + Fe2O3)",
    "AM": "Al2O3 / Fe2O3",
    "B2": "CaO / SiO2",
}

_LONGEST = 2000  # characters of one expression
_OPERATORS: dict[type, Callable[[Any, Any], Any]] = {
    ast.Add: np.add,
    ast.Sub: np.subtract,
    ast.Mult: np.multiply,
    ast.Div: np.true_divide,
    ast.Pow: np.power,
}
_QUOTED = re.compile(r"`([^`]*)`")


class DerivedError(ValueError):
    """A derived quality that cannot be used: a bad expression, an unknown name or a taken name."""


Compiled = Callable[[Mapping[str, np.ndarray]], np.ndarray]


@functools.lru_cache(maxsize=256)
def _compile(expression: str) -> tuple[Compiled, tuple[str, ...]]:
    """The expression as a function of a mapping of name -> array, and the names it reads."""
    if not isinstance(expression, str) or not expression.strip():
        raise DerivedError("an empty expression: write a formula such as 'CaO / SiO2'")
    if len(expression) > _LONGEST:
        raise DerivedError(f"an expression of {len(expression)} characters: at most {_LONGEST}")
    quoted: dict[str, str] = {}

    def quote(match: re.Match[str]) -> str:
        name = f"_q{len(quoted)}_"
        quoted[name] = match.group(1)
        return name

    text = _QUOTED.sub(quote, expression)
    try:
        tree = ast.parse(text.strip(), mode="eval")
    except (SyntaxError, ValueError, RecursionError, MemoryError) as error:
        detail = getattr(error, "msg", None) or type(error).__name__
        raise DerivedError(f"{expression!r} is not a formula ({detail}): use numbers, parameter names, "
                           "+ - * / ** and parentheses") from None
    names: list[str] = []

    def build(node: ast.AST) -> Compiled:
        if isinstance(node, ast.Constant) and type(node.value) in (int, float):
            value = np.asarray(float(node.value))  # type: ignore[arg-type]
            return lambda columns: value
        if isinstance(node, ast.Name):
            name = quoted.get(node.id, node.id)
            if name not in names:
                names.append(name)
            return lambda columns: np.asarray(columns[name], dtype=np.float64)
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            inner = build(node.operand)
            if isinstance(node.op, ast.USub):
                return lambda columns: np.negative(inner(columns))
            return inner
        if isinstance(node, ast.BinOp) and type(node.op) in _OPERATORS:
            operator = _OPERATORS[type(node.op)]
            left, right = build(node.left), build(node.right)
            return lambda columns: operator(left(columns), right(columns))
        shown = ast.get_source_segment(text, node) or type(node).__name__
        where = "" if shown.strip() == text.strip() else f": {shown!r}"
        raise DerivedError(f"{expression!r}{where} is not allowed: use numbers, parameter names, "
                           "+ - * / ** and parentheses")

    try:
        function = build(tree.body)
    except RecursionError:
        raise DerivedError(f"{expression!r} is nested too deeply") from None
    return function, tuple(names)


def expression_names(expression: str) -> tuple[str, ...]:
    """The parameter names an expression reads, in order of appearance; raises DerivedError for
    anything but numbers, names, + - * / **, unary minus and parentheses."""
    return _compile(expression)[1]


def evaluate(expression: str, columns: Mapping[str, Any]) -> np.ndarray:
    """The expression over `columns` (name -> number or array), as float64; division by zero gives
    inf or NaN as NumPy does, without a warning."""
    function, names = _compile(expression)
    missing = [name for name in names if name not in columns]
    if missing:
        raise DerivedError(f"{expression!r} needs {', '.join(map(repr, missing))}, which "
                           f"{'is' if len(missing) == 1 else 'are'} not given")
    with np.errstate(all="ignore"):
        return np.asarray(function(columns), dtype=np.float64)


def resolve_derived(
    derived: Mapping[str, str | None] | Iterable[str] | None,
    parameters: Iterable[str],
    *,
    reserved: Iterable[str] = (),
) -> dict[str, str]:
    """Name -> expression for the derived qualities asked for, presets resolved and checked.

    `derived` is a mapping of name -> expression (an expression of None or "" takes the preset of
    that name), or a sequence of preset names ("LSF") and "NAME=EXPR" texts. Every name an
    expression reads must be one of `parameters`; a derived name must be none of the parameters,
    none of `reserved` and not given twice.
    """
    if derived is None:
        return {}
    parameters = tuple(parameters)
    reserved = frozenset(reserved)
    items: list[tuple[str, str | None]] = []
    if isinstance(derived, str):
        raise DerivedError("derived must be a list of names or NAME=EXPR texts, or a mapping, not one string")
    if isinstance(derived, Mapping):
        items = [(str(k).strip(), v) for k, v in derived.items()]
    else:
        for entry in derived:
            if not isinstance(entry, str):
                raise DerivedError(f"derived qualities are named by text, not {entry!r}")
            name, equals, expression = entry.partition("=")
            items.append((name.strip(), expression if equals else None))
    result: dict[str, str] = {}
    for name, given in items:
        if not name:
            raise DerivedError("a derived quality without a name: write NAME=EXPR, e.g. LSF=100*CaO/SiO2")
        if given is None or not str(given).strip():
            if name not in PRESETS:
                raise DerivedError(f"{name!r} is no preset ({', '.join(PRESETS)}): write {name}=EXPR")
            given = PRESETS[name]
        expression = str(given).strip()
        if name in result:
            raise DerivedError(f"the derived quality {name!r} is given twice")
        if name in parameters:
            raise DerivedError(f"the derived quality {name!r} takes a parameter's name: give it another name")
        if name in reserved:
            raise DerivedError(f"the derived quality {name!r} takes a name the record's tables use: "
                               "give it another name")
        try:
            names = expression_names(expression)
        except DerivedError as error:
            raise DerivedError(f"derived {name!r}: {error}") from None
        unknown = [n for n in names if n not in parameters]
        if unknown:
            raise DerivedError(
                f"derived {name!r} = {expression} reads {', '.join(map(repr, unknown))}, not a parameter of "
                f"the record (its parameters: {', '.join(parameters) or 'none'})")
        result[name] = expression
    return result
