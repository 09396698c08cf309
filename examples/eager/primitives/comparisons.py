"""Primitives without a derivative: comparisons, floor and ceil. They
record like any other operation, so a mask computed from a traced array is
a traced boolean array (elementwise, and seen by an enclosing trace), but
they pass no tangent forward and no cotangent back."""

import numpy as np

from ..tracing import Primitive, bind
from .linear import NOTHING


def no_tangent(out, x, t, attrs, src, res):
    return None


def no_cotangent(out, x, ct, attrs, active, res, specs, src):
    return [None] * len(specs)


def constant_rules(name, impl):
    return Primitive(name, impl, no_tangent, no_cotangent, NOTHING)


EQUAL = constant_rules("equal", np.equal)
NOT_EQUAL = constant_rules("not_equal", np.not_equal)
LESS = constant_rules("less", np.less)
LESS_EQUAL = constant_rules("less_equal", np.less_equal)
GREATER = constant_rules("greater", np.greater)
GREATER_EQUAL = constant_rules("greater_equal", np.greater_equal)
LOGICAL_AND = constant_rules("logical_and", np.logical_and)
LOGICAL_OR = constant_rules("logical_or", np.logical_or)
LOGICAL_NOT = constant_rules("logical_not", np.logical_not)
# Piecewise constant: the derivative is zero wherever it exists.
FLOOR = constant_rules("floor", np.floor)
CEIL = constant_rules("ceil", np.ceil)


def equal(a, b):
    return bind(EQUAL, a, b)


def not_equal(a, b):
    return bind(NOT_EQUAL, a, b)


def less(a, b):
    return bind(LESS, a, b)


def less_equal(a, b):
    return bind(LESS_EQUAL, a, b)


def greater(a, b):
    return bind(GREATER, a, b)


def greater_equal(a, b):
    return bind(GREATER_EQUAL, a, b)


def logical_and(a, b):
    return bind(LOGICAL_AND, a, b)


def logical_or(a, b):
    return bind(LOGICAL_OR, a, b)


def logical_not(a):
    return bind(LOGICAL_NOT, a)


def floor(x):
    return bind(FLOOR, x)


def ceil(x):
    return bind(CEIL, x)
