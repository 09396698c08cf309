"""Functions that see a complex number by its parts: real, imag, conj,
angle, abs and sign. These are the rules the convention for complex
cotangents decides (see the package docstring): a cotangent `c` of a value
`y` stands for the real-linear map t -> Re(sum(c * t)), without
conjugation. Holomorphic rules therefore look exactly like real ones, and
a real-valued function whose derivative is t -> Re(w * t) has the VJP
c -> c * w."""

import numpy as np

from ..tracing import Primitive, bind, dtype_of
from .comparisons import equal
from .linear import INPUTS, OUTPUT_INPUTS, each, linear, unbroadcast


def is_complex(x):
    return dtype_of(x).kind == "c"


def nonzero(m):
    """`m` with its zeros replaced by ones: a divisor for the points where
    the derivative is taken as zero."""
    return m + equal(m, 0)


def real_valued(name, impl, weight, needs):
    """A primitive with a real result whose derivative is t -> Re(w * t),
    w = weight(x); a weight of None means a zero derivative."""
    def jvp(out, x, t, attrs, src, res):
        w = None if t[0] is None else weight(x[0])
        if w is None:
            return None
        d = t[0] * w
        return real(d) if is_complex(d) else d

    def vjp(out, x, ct, attrs, active, res, specs, src):
        w = weight(x[0])
        return each(active, specs, lambda k: None if w is None else ct * w)

    return Primitive(name, impl, jvp, vjp, needs)


def abs_weight(z):
    # d|z| = Re(conj(sign z) dz); for real z that is sign(z) dz.
    return conj(sign(z)) if is_complex(z) else sign(z)


def angle_weight(z):
    # d angle(z) = Im(dz / z) = Re(-i dz / z); a real number's angle is
    # piecewise constant.
    return -1j / z if is_complex(z) else None


ABS = real_valued("abs", np.abs, abs_weight, INPUTS)
ANGLE = real_valued("angle", np.angle, angle_weight, INPUTS)
REAL = linear("real", np.real, lambda ct, attrs, shape, dtype: unbroadcast(ct, shape, dtype))
# Im(t) = Re(-i t); the imaginary part of a real number is a constant zero.
IMAG = linear("imag", np.imag,
              lambda ct, attrs, shape, dtype: unbroadcast(ct * -1j, shape, dtype) if dtype.kind == "c" else None)
CONJ = linear("conj", np.conjugate, lambda ct, attrs, shape, dtype: conj(ct))


def sign_jvp(out, x, t, attrs, src, res):
    # sign(z) = z / |z| turns with the phase of z: d sign = i s Im(conj(s) dz) / |z|.
    # A real sign is piecewise constant.
    if t[0] is None or not is_complex(out):
        return None
    return 1j * out * imag(conj(out) * t[0]) / nonzero(abs(x[0]))


def sign_vjp(out, x, ct, attrs, active, res, specs, src):
    if not is_complex(out):
        return [None]
    return each(active, specs, lambda k: 1j * imag(ct * out) * conj(out) / nonzero(abs(x[0])))


SIGN = Primitive("sign", np.sign, sign_jvp, sign_vjp, OUTPUT_INPUTS)


def abs(x):
    return bind(ABS, x)


def angle(z, deg=False):
    a = bind(ANGLE, z)
    return a * (180 / np.pi) if deg else a


def real(val):
    return bind(REAL, val)


def imag(val):
    return bind(IMAG, val)


def conj(x):
    return bind(CONJ, x)


def sign(x):
    return bind(SIGN, x)

