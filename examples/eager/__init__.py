"""A reference eager frontend on NumPy over the native tape: traced arrays,
primitives with their rules, NumPy dispatch, and nestable transforms (grad,
value_and_grad, jvp, vjp, jacfwd, jacrev, hessian, hvp). An example of how
an array library drives the core, not the library."""

from . import dispatch  # noqa: F401  (gives tracers their operators)
from .api import Recording, grad, hessian, hvp, jacfwd, jacrev, jvp, value_and_grad, vjp
from .primitives import (abs, add, arccos, arcsin, arctan, astype, broadcast_to, clip, concatenate, cos, cosh, divide,
                         dot, equal, exp, expm1, getitem, greater, greater_equal, less, less_equal, log, log1p, matmul,
                         max, maximum, mean, min, minimum, multiply, negative, not_equal, power, prod, reshape,
                         sigmoid, sign, sin, sinh, sqrt, square, stack, subtract, sum, swapaxes, tan, tanh,
                         transpose, where)
from .tracing import Primitive, Residual, Trace, Tracer, bind

__all__ = ["Primitive", "Recording", "Residual", "Trace", "Tracer", "abs", "add", "arccos", "arcsin", "arctan",
           "astype", "bind", "broadcast_to", "clip", "concatenate", "cos", "cosh", "divide", "dot", "equal", "exp",
           "expm1", "getitem", "grad", "greater", "greater_equal", "hessian", "hvp", "jacfwd", "jacrev", "jvp",
           "less", "less_equal", "log", "log1p", "matmul", "max", "maximum", "mean", "min", "minimum", "multiply",
           "negative", "not_equal", "power", "prod", "reshape", "sigmoid", "sign", "sin", "sinh", "sqrt", "square",
           "stack", "subtract", "sum", "swapaxes", "tan", "tanh", "transpose", "value_and_grad", "vjp", "where"]
