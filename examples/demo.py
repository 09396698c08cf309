"""Differentiates a small two-layer network's loss with the reference eager
frontend: loss, gradient norms, a finite-difference check, a Jacobian both
ways, a Hessian-vector product (forward mode over the reverse-mode
gradient) checked against the full Hessian and finite differences of the
gradient, and how a consuming reverse walk lets the tape's values go."""

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import eager as E  # noqa: E402
import staged_demo  # noqa: E402

from vorlix._native_core import dynamic_vjp  # noqa: E402

rng = np.random.default_rng(0)
x = rng.normal(size=(8, 4))
targets = rng.normal(size=(8, 3))
params = {"w1": rng.normal(size=(4, 16)) * 0.5, "b1": np.zeros(16),
          "w2": rng.normal(size=(16, 3)) * 0.5, "b2": np.zeros(3)}
names = list(params)


def loss(w1, b1, w2, b2):
    hidden = E.tanh(x @ w1 + b1)
    return E.mean((hidden @ w2 + b2 - targets) ** 2)


def finite_difference(k, h=1e-6):
    """Central differences of the loss in parameter k, element by element."""
    args = list(params.values())
    base = args[k]
    out = np.zeros_like(base)
    for i in np.ndindex(base.shape):
        step = np.zeros_like(base)
        step[i] = h
        out[i] = (loss(*args[:k], base + step, *args[k + 1:]) - loss(*args[:k], base - step, *args[k + 1:])) / (2 * h)
    return out


def section(title):
    print(f"\n{title}")


value, grads = E.value_and_grad(loss, argnums=(0, 1, 2, 3))(*params.values())
print("two-layer network, batch 8, 4 -> 16 (tanh) -> 3, mean squared error")
print(f"loss: {value:.6f}")

section("gradient norms and check against central finite differences (h = 1e-6)")
print(f"  {'param':<6}{'shape':<10}{'|grad|':>12}{'relative error':>17}")
for k, (name, g) in enumerate(zip(names, grads)):
    fd = finite_difference(k)
    error = np.linalg.norm(g - fd) / np.linalg.norm(fd)
    print(f"  {name:<6}{str(g.shape):<10}{np.linalg.norm(g):>12.6f}{error:>17.2e}")


def small(v):
    return E.tanh(v) * v[::-1] + E.sin(v[0]) * 2.0


point = np.array([0.5, -1.0, 2.0])
section(f"Jacobian of tanh(v) * v[::-1] + 2 sin(v[0]) at v = {point}")
forward = E.jacfwd(small)(point)
reverse = E.jacrev(small)(point)
for label, jac in (("jacfwd: one forward walk, one lane per input", forward),
                   ("jacrev: one reverse walk, one lane per output", reverse)):
    print(f"  {label}:")
    print("    " + np.array2string(jac, precision=4, suppress_small=True).replace("\n", "\n    "))
print(f"  largest difference between the two: {np.max(np.abs(forward - reverse)):.1e}")

section("Hessian-vector product of the loss in w2 (forward over reverse: jvp of grad)")
w2_loss = lambda w2: loss(params["w1"], params["b1"], w2, params["b2"])  # noqa: E731
direction = rng.normal(size=params["w2"].shape)
hv = E.hvp(w2_loss, (params["w2"],), (direction,))
h = 1e-5
grad_w2 = E.grad(w2_loss)
fd = (grad_w2(params["w2"] + h * direction) - grad_w2(params["w2"] - h * direction)) / (2 * h)
full = E.hessian(w2_loss)(params["w2"])  # shape w2.shape + w2.shape: jacfwd of jacrev
by_hessian = np.tensordot(full, direction, axes=2)
print(f"  |H v| = {np.linalg.norm(hv):.6f} for a random direction v of shape {direction.shape}")
print(f"  relative difference to the full Hessian ({full.shape}) times v: "
      f"{np.linalg.norm(hv - by_hessian) / np.linalg.norm(by_hessian):.1e}")
print(f"  relative difference to central differences of the gradient (h = 1e-5): "
      f"{np.linalg.norm(hv - fd) / np.linalg.norm(fd):.1e}")
print(f"  v . H v = {np.sum(direction * hv):.6f} (the curvature of the loss along v)")

section("values held by the tape around a consuming reverse walk")
rec = E.Recording(loss, params.values(), range(4))
stats = rec.tape.stats
print(f"  recorded: {rec.tape.node_count} nodes, {stats()['retained_value_count']} values held")
rec.tape.prune_reverse_payloads()
print(f"  after dropping what no VJP rule reads: {stats()['retained_value_count']} values held, "
      f"{stats()['residual_count']} residual (tanh's 1 - y**2)")
dynamic_vjp(rec.tape, [(rec.output.node, 1.0)], rec.input_nodes(), consume=True)
print(f"  after the consuming walk: {stats()['retained_value_count']} values held, "
      f"tape consumed: {rec.tape.is_consumed}")

staged_demo.run(loss, list(params.values()))

section("pictures of the tape and the staged graph")
import picture_demo  # noqa: E402

for path in picture_demo.write(pathlib.Path(__file__).resolve().parents[1] / "build" / "pictures"):
    print(f"  {path}")
