"""``--constraint`` expressions over parameter names, such as ``fast < slow`` or
``slow - fast >= 5 and qty <= 2``: parsed with ``ast`` and evaluated here, node by node, over a short
list of allowed forms (names, numbers, texts, arithmetic without powers, comparisons, and/or/not).
Nothing is compiled or handed to ``eval``: a call, an attribute or an index is refused when the sweep
starts, with the form named."""

from __future__ import annotations

import ast
import operator
from typing import Any, Callable, Dict, Mapping

from ..errors import BacktestError

MAX_LENGTH = 1000

_ARITHMETIC: Dict[type, Callable[[Any, Any], Any]] = {
    ast.Add: operator.add, ast.Sub: operator.sub, ast.Mult: operator.mul, ast.Div: operator.truediv,
    ast.FloorDiv: operator.floordiv, ast.Mod: operator.mod,
}
_COMPARISON: Dict[type, Callable[[Any, Any], Any]] = {
    ast.Eq: operator.eq, ast.NotEq: operator.ne, ast.Lt: operator.lt, ast.LtE: operator.le, ast.Gt: operator.gt,
    ast.GtE: operator.ge,
}
_SIGNS: Dict[type, Callable[[Any], Any]] = {ast.USub: operator.neg, ast.UAdd: operator.pos}
_WORDS = {
    ast.Call: "a call", ast.Attribute: "an attribute", ast.Subscript: "an index", ast.Lambda: "a lambda",
    ast.Pow: "a power (**)", ast.IfExp: "an if-expression", ast.In: "'in'", ast.NotIn: "'not in'",
    ast.Is: "'is'", ast.IsNot: "'is not'", ast.List: "a list", ast.Tuple: "a tuple", ast.Dict: "a dict",
    ast.Set: "a set", ast.BitAnd: "'&'", ast.BitOr: "'|'", ast.BitXor: "'^'", ast.LShift: "'<<'",
    ast.RShift: "'>>'", ast.Invert: "'~'", ast.MatMult: "'@'", ast.NamedExpr: "':='",
    ast.JoinedStr: "an f-string", ast.Starred: "'*'",
}


class Constraint:
    """One ``--constraint``: ``Constraint("fast < slow", names)(values)`` is True for a combination
    that may run. ``names`` are the parameters the expression may use."""

    def __init__(self, text: str, names: Mapping[str, Any]) -> None:
        self.text = text
        if not isinstance(text, str) or not text.strip():
            raise BacktestError("--constraint needs an expression, e.g. 'fast < slow'")
        if len(text) > MAX_LENGTH:
            raise BacktestError(f"--constraint is longer than {MAX_LENGTH} characters")
        try:
            tree = ast.parse(text.strip(), mode="eval")
        except SyntaxError as exc:
            raise BacktestError(f"--constraint {text!r} is not an expression: {exc.msg}") from None
        except (ValueError, RecursionError, MemoryError):  # NUL bytes, absurd nesting
            raise BacktestError(f"--constraint {text!r} is not an expression") from None
        self._tree = tree.body
        try:
            self._check(self._tree, names)
        except RecursionError:
            raise BacktestError(f"--constraint {text!r} is nested too deeply") from None

    def _refuse(self, what: str) -> BacktestError:
        return BacktestError(f"--constraint {self.text!r}: {what}")

    def _check(self, node: ast.AST, names: Mapping[str, Any]) -> None:
        if isinstance(node, ast.Name):
            if node.id not in names:
                known = ", ".join(names) or "none"
                raise self._refuse(f"unknown name {node.id} (parameters: {known})")
            return
        if isinstance(node, ast.Constant):
            if isinstance(node.value, (bool, int, float, str)):
                return
            raise self._refuse(f"the constant {node.value!r} is not a number or a text")
        if isinstance(node, ast.BoolOp):
            children = list(node.values)
        elif isinstance(node, ast.UnaryOp) and (isinstance(node.op, ast.Not) or type(node.op) in _SIGNS):
            children = [node.operand]
        elif isinstance(node, ast.BinOp) and type(node.op) in _ARITHMETIC:
            children = [node.left, node.right]
        elif isinstance(node, ast.Compare) and all(type(op) in _COMPARISON for op in node.ops):
            children = [node.left, *node.comparators]
        else:
            inner = getattr(node, "op", None)
            if isinstance(node, ast.Compare):
                inner = next(op for op in node.ops if type(op) not in _COMPARISON)
            what = _WORDS.get(type(inner)) or _WORDS.get(type(node)) or type(node).__name__
            raise self._refuse(f"{what} is not allowed (names, numbers, + - * / // %, comparisons, and/or/not)")
        for child in children:
            self._check(child, names)

    def __call__(self, values: Mapping[str, Any]) -> bool:
        try:
            result = self._eval(self._tree, values)
        except ZeroDivisionError:
            raise self._refuse(f"divides by zero for {_shown(values)}") from None
        except TypeError:
            raise self._refuse(f"mixes texts and numbers for {_shown(values)}") from None
        except (OverflowError, RecursionError, MemoryError):
            raise self._refuse(f"cannot be computed for {_shown(values)}") from None
        if not isinstance(result, bool):
            raise self._refuse(f"gives {result!r}, not true or false, for {_shown(values)}; write a comparison")
        return result

    def _eval(self, node: ast.AST, values: Mapping[str, Any]) -> Any:
        if isinstance(node, ast.Name):
            return values[node.id]
        if isinstance(node, ast.Constant):
            return node.value
        if isinstance(node, ast.BoolOp):
            if isinstance(node.op, ast.And):
                return all(self._truth(self._eval(v, values), values) for v in node.values)
            return any(self._truth(self._eval(v, values), values) for v in node.values)
        if isinstance(node, ast.UnaryOp):
            operand = self._eval(node.operand, values)
            if isinstance(node.op, ast.Not):
                return not self._truth(operand, values)
            return _SIGNS[type(node.op)](_number(operand))
        if isinstance(node, ast.BinOp):
            return _ARITHMETIC[type(node.op)](_number(self._eval(node.left, values)),
                                              _number(self._eval(node.right, values)))
        assert isinstance(node, ast.Compare)
        left = self._eval(node.left, values)
        for op, right_node in zip(node.ops, node.comparators):
            right = self._eval(right_node, values)
            if isinstance(left, str) != isinstance(right, str) and type(op) not in (ast.Eq, ast.NotEq):
                raise TypeError("text against number")
            if not _COMPARISON[type(op)](left, right):
                return False
            left = right
        return True

    def _truth(self, value: Any, values: Mapping[str, Any]) -> bool:
        if not isinstance(value, bool):
            raise self._refuse(f"'and', 'or' and 'not' need comparisons, got {value!r} for {_shown(values)}")
        return value


def _number(value: Any) -> Any:
    # Arithmetic on numbers only: no text repeated a billion times.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("not a number")
    return value


def _shown(values: Mapping[str, Any]) -> str:
    return ", ".join(f"{k}={v}" for k, v in values.items())
