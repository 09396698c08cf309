"""Elementwise primitives: arithmetic, powers, transcendental functions,
maximum and minimum, selection. Each rule multiplies the tangent or
cotangent by a partial derivative written with the frontend's functions,
so it records when a walk runs inside an enclosing transform. These
functions are holomorphic (or real), so the same partial serves complex
operands under the convention of `complex_parts`."""

import math

import numpy as np

from ..tracing import WEAK_TYPES, Primitive, bind
from .comparisons import equal, floor
from .complex_parts import imag, is_complex, real, sign
from .linear import INPUTS, NOTHING, OUTPUT, RESIDUAL, each, total


def elementwise(name, impl, partial, needs):
    """A primitive whose derivative in operand k is `partial(k, out, x)`
    times the tangent or cotangent, elementwise."""
    def jvp(out, x, t, attrs, src, res):
        return total(out, *(None if tk is None else tk * partial(k, out, x) for k, tk in enumerate(t)))

    def vjp(out, x, ct, attrs, active, res, specs, src):
        return each(active, specs, lambda k: ct * partial(k, out, x))

    return Primitive(name, impl, jvp, vjp, needs)


def signed(name, impl, signs):
    """A primitive whose derivative in operand k is the sign `signs[k]`;
    its VJP reads nothing but the cotangent and the operand shapes."""
    def jvp(out, x, t, attrs, src, res):
        return total(out, *(None if tk is None else tk if s > 0 else -tk for tk, s in zip(t, signs)))

    def vjp(out, x, ct, attrs, active, res, specs, src):
        return each(active, specs, lambda k: ct if signs[k] > 0 else -ct)

    return Primitive(name, impl, jvp, vjp, NOTHING)


def power_partial(k, out, x):
    base, exponent = x
    if k == 1:
        # d(b**e)/de = b**e log b; where b is 0 the power is flat in e (for
        # e > 0), and a zero base must not reach the logarithm. The power is
        # computed again rather than kept: literal exponents, the common
        # case, need no output value.
        return power(base, exponent) * log(where(equal(base, 0), 1, base))
    if type(exponent) in WEAK_TYPES:
        if exponent == 0:
            return 0 * base
        if exponent == 2:
            return base * 2
    return exponent * base ** (exponent - 1)


def max_weight(a, b):
    """How much of d(max(a, b)) goes to `a`: all where it wins, half at ties.
    NumPy orders complex numbers by their real parts, then their imaginary
    parts, and keeps the winner whole: the weight stays real."""
    d = a - b
    if is_complex(d):
        d = where(equal(real(d), 0), imag(d), real(d))
    return (sign(d) + 1) * 0.5


ADD = signed("add", np.add, (1, 1))
SUBTRACT = signed("subtract", np.subtract, (1, -1))
NEGATIVE = signed("negative", np.negative, (-1,))
MULTIPLY = elementwise("multiply", np.multiply, lambda k, out, x: x[1 - k], INPUTS)
DIVIDE = elementwise("divide", np.divide,
                     lambda k, out, x: 1 / x[1] if k == 0 else -x[0] / (x[1] * x[1]), INPUTS)
POWER = elementwise("power", np.power, power_partial, INPUTS)
EXP = elementwise("exp", np.exp, lambda k, out, x: out, OUTPUT)
EXPM1 = elementwise("expm1", np.expm1, lambda k, out, x: out + 1, OUTPUT)
EXP2 = elementwise("exp2", np.exp2, lambda k, out, x: out * math.log(2), OUTPUT)
LOG = elementwise("log", np.log, lambda k, out, x: 1 / x[0], INPUTS)
LOG1P = elementwise("log1p", np.log1p, lambda k, out, x: 1 / (x[0] + 1), INPUTS)
LOG2 = elementwise("log2", np.log2, lambda k, out, x: 1 / (x[0] * math.log(2)), INPUTS)
LOG10 = elementwise("log10", np.log10, lambda k, out, x: 1 / (x[0] * math.log(10)), INPUTS)
SIN = elementwise("sin", np.sin, lambda k, out, x: cos(x[0]), INPUTS)
COS = elementwise("cos", np.cos, lambda k, out, x: -sin(x[0]), INPUTS)
TAN = elementwise("tan", np.tan, lambda k, out, x: out * out + 1, OUTPUT)
ARCSIN = elementwise("arcsin", np.arcsin, lambda k, out, x: (1 - x[0] * x[0]) ** -0.5, INPUTS)
ARCCOS = elementwise("arccos", np.arccos, lambda k, out, x: -(1 - x[0] * x[0]) ** -0.5, INPUTS)
ARCTAN = elementwise("arctan", np.arctan, lambda k, out, x: 1 / (x[0] * x[0] + 1), INPUTS)
SINH = elementwise("sinh", np.sinh, lambda k, out, x: cosh(x[0]), INPUTS)
COSH = elementwise("cosh", np.cosh, lambda k, out, x: sinh(x[0]), INPUTS)
# 1/2 (1 + tanh(x/2)) is the logistic function without overflow for any x.
SIGMOID = elementwise("sigmoid", lambda x: 0.5 * (np.tanh(0.5 * x) + 1), lambda k, out, x: out * (1 - out), OUTPUT)
# a mod b = a - floor(a / b) b, floor being flat wherever it is differentiable.
MOD = elementwise("mod", np.mod, lambda k, out, x: 1 if k == 0 else -floor(x[0] / x[1]), INPUTS)
MAXIMUM = elementwise("maximum", np.maximum,
                      lambda k, out, x: max_weight(x[0], x[1]) if k == 0 else max_weight(x[1], x[0]), INPUTS)
MINIMUM = elementwise("minimum", np.minimum,
                      lambda k, out, x: max_weight(x[1], x[0]) if k == 0 else max_weight(x[0], x[1]), INPUTS)


def tanh_jvp(out, x, t, attrs, src, res):
    return None if t[0] is None else t[0] * res


def tanh_vjp(out, x, ct, attrs, active, res, specs, src):
    return [ct * res]


def tanh_derivative(out, x):
    if type(out) is np.ndarray:
        # One fresh array instead of two: at large sizes the allocation, not
        # the arithmetic, is most of the cost.
        d = np.multiply(out, out)
        return np.subtract(1, d, out=d)
    return 1 - out * out


# The saved derivative 1 - y**2 is a residual: the reverse pass keeps it and
# neither the input nor the output.
TANH = Primitive("tanh", np.tanh, tanh_jvp, tanh_vjp, RESIDUAL, residual=tanh_derivative)


def where_jvp(out, x, t, attrs, src, res):
    c, _, _ = x
    _, ta, tb = t
    return total(out, None if ta is None else where(c, ta, 0), None if tb is None else where(c, 0, tb))


def where_vjp(out, x, ct, attrs, active, res, specs, src):
    c = x[0]
    return each(active, specs, lambda k: None if k == 0 else where(c, ct, 0) if k == 1 else where(c, 0, ct))


WHERE = Primitive("where", np.where, where_jvp, where_vjp, INPUTS)


# --- array functions --------------------------------------------------------


def add(a, b):
    return bind(ADD, a, b)


def subtract(a, b):
    return bind(SUBTRACT, a, b)


def multiply(a, b):
    return bind(MULTIPLY, a, b)


def divide(a, b):
    return bind(DIVIDE, a, b)


def negative(x):
    return bind(NEGATIVE, x)


def power(x, exponent):
    return bind(POWER, x, exponent)


def exp(x):
    return bind(EXP, x)


def expm1(x):
    return bind(EXPM1, x)


def log(x):
    return bind(LOG, x)


def log1p(x):
    return bind(LOG1P, x)


def sqrt(x):
    return bind(POWER, x, 0.5)


def square(x):
    return bind(POWER, x, 2)


def sin(x):
    return bind(SIN, x)


def cos(x):
    return bind(COS, x)


def tan(x):
    return bind(TAN, x)


def arcsin(x):
    return bind(ARCSIN, x)


def arccos(x):
    return bind(ARCCOS, x)


def arctan(x):
    return bind(ARCTAN, x)


def sinh(x):
    return bind(SINH, x)


def cosh(x):
    return bind(COSH, x)


def tanh(x):
    return bind(TANH, x)


def sigmoid(x):
    return bind(SIGMOID, x)


def log2(x):
    return bind(LOG2, x)


def log10(x):
    return bind(LOG10, x)


def exp2(x):
    return bind(EXP2, x)


def mod(x1, x2):
    return bind(MOD, x1, x2)


def maximum(a, b):
    return bind(MAXIMUM, a, b)


def minimum(a, b):
    return bind(MINIMUM, a, b)


def clip(a, a_min=None, a_max=None):
    """a limited to [a_min, a_max]; either bound may be None. The bounds may
    be traced: each receives the derivative where it is the result."""
    if a_min is not None:
        a = maximum(a, a_min)
    if a_max is not None:
        a = minimum(a, a_max)
    return a


def where(condition, x=None, y=None):
    if x is None or y is None:
        raise TypeError("where takes a condition and both arrays to choose from")
    return bind(WHERE, condition, x, y)

