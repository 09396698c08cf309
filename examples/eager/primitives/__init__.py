"""The primitives: NumPy implementations, JVP and VJP rules, reverse needs,
and the array functions that bind them, one module per family.

JVP rules are called as (out, primals, tangents, attrs, source, residual) and
VJP rules as (out, primals, cotangent, attrs, active, residual, specs,
source); a VJP rule reads only what its reverse-needs triple asks for, so
the other arguments are None there."""

from .comparisons import (EQUAL, GREATER, GREATER_EQUAL, LESS, LESS_EQUAL, LOGICAL_AND, LOGICAL_NOT, LOGICAL_OR,
                          NOT_EQUAL, SIGN, equal, greater, greater_equal, less, less_equal, logical_and, logical_not,
                          logical_or, not_equal, sign)
from .elementwise import (ABS, ADD, ARCCOS, ARCSIN, ARCTAN, COS, COSH, DIVIDE, EXP, EXPM1, LOG, LOG1P, MAXIMUM,
                          MINIMUM, MULTIPLY, NEGATIVE, POWER, SIGMOID, SIN, SINH, SUBTRACT, TAN, TANH, WHERE, abs, add,
                          arccos, arcsin, arctan, clip, cos, cosh, divide, exp, expm1, log, log1p, maximum, minimum,
                          multiply, negative, power, sigmoid, sin, sinh, sqrt, square, subtract, tan, tanh, where)
from .linalg import MATMUL, dot, matmul
from .linear import (ASTYPE, BROADCAST_TO, CONCATENATE, GETITEM, MEAN, RESHAPE, SCATTER, SUM, TRANSPOSE, astype,
                     broadcast_to, concatenate, expand_dims, getitem, matrix_transpose, mean, moveaxis, reshape,
                     squeeze, stack, sum, swapaxes, transpose, unbroadcast)
from .reductions import MAX, MIN, PROD, max, min, prod
