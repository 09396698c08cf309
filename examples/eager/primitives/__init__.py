"""The primitives: NumPy implementations, JVP and VJP rules, reverse needs,
and the array functions that bind them, one module per family.

JVP rules are called as (out, primals, tangents, attrs, source, residual) and
VJP rules as (out, primals, cotangent, attrs, active, residual, specs,
source); a VJP rule reads only what its reverse-needs triple asks for, so
the other arguments are None there."""

from .comparisons import (CEIL, EQUAL, FLOOR, GREATER, GREATER_EQUAL, LESS, LESS_EQUAL, LOGICAL_AND, LOGICAL_NOT,
                          LOGICAL_OR, NOT_EQUAL, ceil, equal, floor, greater, greater_equal, less, less_equal,
                          logical_and, logical_not, logical_or, not_equal)
from .complex_parts import ABS, ANGLE, CONJ, IMAG, REAL, SIGN, abs, angle, conj, imag, real, sign
from .contractions import EINSUM, einsum, outer, tensordot
from .elementwise import (ADD, ARCCOS, ARCSIN, ARCTAN, COS, COSH, DIVIDE, EXP, EXP2, EXPM1, LOG, LOG1P, LOG2, LOG10,
                          MAXIMUM, MINIMUM, MOD, MULTIPLY, NEGATIVE, POWER, SIGMOID, SIN, SINH, SUBTRACT, TAN, TANH,
                          WHERE, add, arccos, arcsin, arctan, clip, cos, cosh, divide, exp, exp2, expm1, log, log1p,
                          log2, log10, maximum, minimum, mod, multiply, negative, power, sigmoid, sin, sinh, sqrt,
                          square, subtract, tan, tanh, where)
from .factorizations import CHOLESKY, EIGH, SVD, SVDVALS, cholesky, eigh, svd, svdvals
from .linalg import DET, INV, MATMUL, SLOGDET, SOLVE, det, dot, inv, matmul, slogdet, solve
from .linear import (ASTYPE, BROADCAST_TO, CONCATENATE, GETITEM, MEAN, RESHAPE, SCATTER, SUM, TRANSPOSE, astype,
                     broadcast_to, concatenate, expand_dims, getitem, matrix_transpose, mean, moveaxis, reshape,
                     squeeze, stack, sum, swapaxes, transpose, unbroadcast)
from .norms import norm
from .reductions import CUMSUM, MAX, MIN, PROD, cumsum, max, min, prod, std, var
from .shapes import diag, diagonal, diff, flip, hstack, repeat, roll, split, tile, trace, tril, triu, vstack
