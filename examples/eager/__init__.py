"""A reference eager frontend on NumPy over the native tape: traced arrays,
about twenty primitives with their rules, and grad/jvp/vjp/jacfwd/jacrev.
An example of how an array library drives the core, not the library."""

from .api import Recording, grad, jacfwd, jacrev, jvp, value_and_grad, vjp
from .primitives import (add, broadcast_to, cos, divide, exp, getitem, log, matmul, maximum, mean, multiply,
                         negative, power, reshape, sin, subtract, sum, tanh, transpose, where)
from .tracing import Primitive, Residual, Trace, Tracer, bind

__all__ = ["Primitive", "Recording", "Residual", "Trace", "Tracer", "add", "bind", "broadcast_to", "cos",
           "divide", "exp", "getitem", "grad", "jacfwd", "jacrev", "jvp", "log", "matmul", "maximum", "mean",
           "multiply", "negative", "power", "reshape", "sin", "subtract", "sum", "tanh", "transpose",
           "value_and_grad", "vjp", "where"]
