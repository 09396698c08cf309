"""The reference eager frontend on the inputs that once gave wrong values or
failed: comparisons as masks, negative transpose axes, scalar maxima,
constant outputs, mismatched tangents, complex outputs, and NumPy functions
called on traced arrays."""

import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))

import eager as E  # noqa: E402

X = np.array([0.0, 1.5, -2.0, 0.0])


@pytest.mark.parametrize("compare, mask", [
    (lambda x: x == 0.0, X == 0.0),
    (lambda x: x != 0.0, X != 0.0),
    (lambda x: 0.0 == x, X == 0.0),
    (lambda x: np.float64(1.5) <= x, 1.5 <= X),
    (lambda x: np.zeros(4) > x, 0 > X),
], ids=["eq", "ne", "reflected_eq", "numpy_scalar", "numpy_array"])
def test_comparisons_give_elementwise_masks_without_derivative(compare, mask):
    def f(x):
        return E.sum(E.where(compare(x), x * 3.0, x * x))

    value, g = E.value_and_grad(f)(X)
    assert value == pytest.approx(np.sum(np.where(mask, X * 3.0, X * X)))
    np.testing.assert_array_equal(g, np.where(mask, 3.0, 2 * X))
    rec = E.Recording(lambda x: compare(x), (X,), (0,))
    assert rec.output.dtype == np.bool_ and rec.output.shape == X.shape


@pytest.mark.parametrize("axes", [(-1, 0, -2), (2, -3, 1), None])
@pytest.mark.parametrize("jac", [E.jacrev, E.jacfwd])
def test_transpose_with_negative_axes(axes, jac):
    x = np.arange(24.0).reshape(2, 3, 4)
    want = np.transpose(x, axes)
    weights = np.arange(24.0).reshape(want.shape) + 1.0
    g = E.grad(lambda x: E.sum(E.transpose(x, axes) * weights))(x)
    np.testing.assert_array_equal(g, np.transpose(weights, np.argsort(np.arange(3)[list(axes or (2, 1, 0))])))
    j = jac(lambda x: E.transpose(x, axes))(x)
    assert j.shape == want.shape + x.shape
    np.testing.assert_array_equal(np.einsum(j.reshape(24, 24), [0, 1], x.reshape(24), [1]).reshape(want.shape), want)


@pytest.mark.parametrize("a, b, ga, gb", [(1.0, 2.0, 0.0, 1.0), (3.0, 2.0, 1.0, 0.0), (2.0, 2.0, 0.5, 0.5)])
def test_maximum_and_minimum_of_python_scalars(a, b, ga, gb):
    assert E.grad(E.maximum, argnums=(0, 1))(a, b) == (ga, gb)
    assert E.grad(E.minimum, argnums=(0, 1))(a, b) == (1 - ga, 1 - gb)
    _, t = E.jvp(E.maximum, (a, b), (1.0, 10.0))
    assert t == pytest.approx(ga + 10 * gb)


@pytest.mark.parametrize("jac", [E.jacfwd, E.jacrev])
@pytest.mark.parametrize("constant", [3.0, np.ones(2)], ids=["python_float", "array"])
def test_jacobians_of_outputs_independent_of_the_argument_are_zero(jac, constant):
    x = np.array([1.0, 2.0, 3.0])
    j = jac(lambda x: constant)(x)
    np.testing.assert_array_equal(j, np.zeros(np.shape(constant) + x.shape))


@pytest.mark.parametrize("primals, tangents, error, message", [
    ((np.ones(3),), (), TypeError, r"^jvp primals and tangents must have the same structure, got primals \(\*,\) "
                                   r"and tangents \(\)$"),
    ((np.ones(3),), (np.ones(3), np.ones(3)), TypeError, "same structure"),
    ((np.ones(3),), (1.0,), ValueError, r"^jvp tangent 0 has shape \(\), but its primal has shape \(3,\)$"),
    ((np.ones(3),), (np.ones(3, np.float32),), TypeError,
     "^jvp tangent 0 has dtype float32, but its primal has dtype float64$"),
    ((np.ones(3),), (np.ones(3) * 1j,), TypeError, "dtype complex128"),
    ((np.ones(3),), (None,), TypeError, "tangent 0 is None"),
    ([np.ones(3)], np.ones(3), TypeError, "^jvp tangents must be a tuple or list, got ndarray$"),
], ids=["missing", "extra", "scalar_for_vector", "dtype", "complex_for_real", "none", "not_a_tuple"])
def test_jvp_refuses_tangents_that_do_not_match(primals, tangents, error, message):
    with pytest.raises(error, match=message):
        E.jvp(lambda x: E.sin(x), primals, tangents)


def test_jvp_takes_float_tangents_for_python_number_primals():
    assert E.jvp(lambda a, b: a * b, (2, 3.0), (1.0, 0.5)) == (6.0, 4.0)


def test_grad_of_a_complex_output_is_refused():
    with pytest.raises(TypeError, match="^grad needs a real floating-point output, got complex128; "):
        E.grad(lambda x: E.sum(x * (1.0 + 2.0j)))(np.ones(2))
    with pytest.raises(TypeError, match="got int64"):
        E.grad(lambda x: E.astype(E.sum(x), np.int64))(np.ones(2))


def test_numpy_functions_dispatch_to_primitives():
    x = np.array([0.5, -1.0, 2.0])
    value, g = E.value_and_grad(lambda x: np.sum(np.exp(x)) + np.mean(np.concatenate([x, x * 2.0])))(x)
    assert value == pytest.approx(np.sum(np.exp(x)) + np.mean(np.concatenate([x, x * 2.0])))
    np.testing.assert_allclose(g, np.exp(x) + 0.5, rtol=1e-15)
    np.testing.assert_allclose(E.grad(lambda x: np.dot(x, x))(x), 2 * x, rtol=1e-15)
    assert (np.shape(E.Recording(lambda x: x, (x,), (0,)).output), np.ndim(x)) == ((3,), 1)


def test_numpy_dot_records_one_product_not_one_node_per_element():
    rec = E.Recording(lambda x: np.dot(x, x), (np.ones(200),), (0,))
    assert rec.tape.op_names == ["vorlix.input", "matmul"] and rec.tape.node_count == 2


@pytest.mark.parametrize("call, message", [
    (lambda x: np.sort(x), "^numpy.sort is not supported on traced arrays$"),
    (lambda x: np.linalg.qr(x[None]), "^numpy.linalg.qr is not supported on traced arrays$"),
    (lambda x: np.sum(x, initial=1.0), "^numpy.sum with initial is not supported on traced arrays$"),
    (lambda x: np.linalg.svd(x[None], hermitian=True), "^numpy.linalg.svd with hermitian is not supported on traced "
                                                      "arrays$"),
    (lambda x: np.clip(x, 0.0, min=0.0), "^numpy.clip takes min or a_min, not both$"),
    (lambda x: np.add.reduce(x), "^numpy.add.reduce is not supported on traced arrays$"),
    (lambda x: np.exp(x, out=np.empty(3)), "^numpy.exp with out is not supported on traced arrays$"),
    (lambda x: np.arccosh(x), "^numpy.arccosh is not supported on traced arrays$"),
    (lambda x: np.asarray(x), "^a traced array cannot become a NumPy array"),
], ids=["function", "linalg_function", "parameter", "linalg_parameter", "alias_twice", "ufunc_method", "ufunc_out",
        "ufunc", "conversion"])
def test_unsupported_numpy_calls_are_refused(call, message):
    with pytest.raises(TypeError, match=message):
        E.grad(lambda x: E.sum(call(x)))(np.ones(3))
