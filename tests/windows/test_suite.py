"""The suite's own soundness: no check here can pass by comparing a thing
with itself or by asserting a constant."""
import ast
from pathlib import Path

import pytest


def named(node):
    return any(isinstance(part, (ast.Name, ast.Attribute)) for part in ast.walk(node))


def checks_that_cannot_fail(tree):
    for node in ast.walk(tree):
        if isinstance(node, ast.Assert) and isinstance(node.test, ast.Constant):
            yield node.lineno
        sides = [node.left, *node.comparators] if isinstance(node, ast.Compare) else \
            [arg for arg in node.args if named(arg)] if isinstance(node, ast.Call) else []
        shown = [ast.dump(side) for side in sides]
        if len(set(shown)) < len(shown) or (isinstance(node, ast.Compare) and not any(map(named, sides))):
            yield node.lineno


@pytest.mark.parametrize("file", sorted(path.name for path in Path(__file__).parent.glob("*.py")))
def test_no_check_compares_with_itself(file):
    found = list(checks_that_cannot_fail(ast.parse((Path(__file__).parent / file).read_text())))
    assert found == [], f"{file}: a check that cannot fail on line {found}"
