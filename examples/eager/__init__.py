"""A reference frontend on NumPy over the native core: traced arrays,
primitives with their rules, NumPy dispatch, and nestable transforms (grad,
value_and_grad, jvp, vjp, jacfwd, jacrev, hessian, hvp) on the dynamic
tape; and, in `staging`, a function traced once through the same primitives
into a staged graph, optimized, saved and loaded as its artifact and
executed by the core against NumPy evaluators. An example of how an array
library drives the core, not the library.

Complex numbers are differentiated as pairs of real numbers, and every rule
follows one convention: a cotangent `c` of a value `y` stands for the
real-linear map t -> Re(sum(c * t)) on the tangents `t` of `y`, without
conjugation. Hence:

- the VJP of a holomorphic function multiplies by its derivative, as for
  real numbers: the cotangent of `z` in `z * w` is `c * w`;
- the VJP of `conj` is `conj`, of `real` the cotangent itself, and of
  `imag` the cotangent times -1j;
- a real-valued f of complex z has the gradient df/dx - i df/dy, the
  conjugate of its direction of steepest ascent: grad(abs)(z) is
  conj(z) / |z|;
- tangents of real values are real, whatever their inputs.

`grad`, `value_and_grad`, `jacfwd` and `jacrev` take `holomorphic=True` for
a function from complex inputs to complex outputs, whose derivative is then
the complex derivative f'(z). Without it `grad` needs a real output,
`jacfwd` real inputs and `jacrev` real outputs."""

from . import dispatch  # noqa: F401  (gives tracers their operators)
from . import linalg
from .api import Recording, grad, hessian, hvp, jacfwd, jacrev, jvp, value_and_grad, vjp
from .primitives import (abs, add, angle, arccos, arcsin, arctan, astype, broadcast_to, ceil, clip, concatenate, conj,
                         cos, cosh, cumsum, diag, diagonal, diff, divide, dot, einsum, equal, exp, exp2, expm1, flip,
                         floor, getitem, greater, greater_equal, hstack, imag, less, less_equal, log, log1p, log2,
                         log10, matmul, max, maximum, mean, min, minimum, mod, moveaxis, multiply, negative, not_equal,
                         outer, power, prod, real, repeat, reshape, roll, sigmoid, sign, sin, sinh, split, sqrt, square,
                         squeeze, stack, std, subtract, sum, swapaxes, tan, tanh, tensordot, tile, trace, transpose,
                         tril, triu, var, vstack, where)
from .tracing import Primitive, Residual, Trace, Tracer, bind

__all__ = ["Primitive", "Recording", "Residual", "Trace", "Tracer", "abs", "add", "angle", "arccos", "arcsin",
           "arctan", "astype", "bind", "broadcast_to", "ceil", "clip", "concatenate", "conj", "cos", "cosh", "cumsum",
           "diag", "diagonal", "diff", "divide", "dot", "einsum", "equal", "exp", "exp2", "expm1", "flip", "floor",
           "getitem", "grad", "greater", "greater_equal", "hessian", "hstack", "hvp", "imag", "jacfwd", "jacrev",
           "jvp", "less", "less_equal", "linalg", "log", "log1p", "log2", "log10", "matmul", "max", "maximum", "mean",
           "min", "minimum", "mod", "moveaxis", "multiply", "negative", "not_equal", "outer", "power", "prod", "real",
           "repeat", "reshape", "roll", "sigmoid", "sign", "sin", "sinh", "split", "sqrt", "square", "squeeze",
           "stack", "std", "subtract", "sum", "swapaxes", "tan", "tanh", "tensordot", "tile", "trace", "transpose",
           "tril", "triu", "value_and_grad", "var", "vjp", "vstack", "where"]
