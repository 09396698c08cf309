"""Gradient of a two-layer network's loss through the reference eager
frontend, against the same computation in the pure-Python tape library
autograd and in JAX without jit, all measured in this run: at small shapes,
where per-operation overhead dominates, and at medium shapes, where the
arithmetic does. Installs the peers into this interpreter's environment when
they are missing; JAX is skipped when it cannot be installed or run."""

import gc
import importlib
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))

import eager as E  # noqa: E402

SHAPES = {"small": (8, 4, 16, 3), "medium": (256, 256, 512, 64)}  # batch, in, hidden, out
REPEATS = 7
SAMPLE_SECONDS = 0.15


def ensure(module, *packages):
    """Import `module`, installing `packages` with pip first if needed;
    None (with the reason printed) when that fails."""
    try:
        return importlib.import_module(module)
    except ImportError:
        pass
    print(f"{module}: not found, installing {' '.join(packages)} with pip")
    done = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check", *packages],
                          capture_output=True, text=True, timeout=600)
    importlib.invalidate_caches()
    try:
        return importlib.import_module(module)
    except ImportError as error:
        reason = done.stderr.strip().splitlines()[-1:] or [str(error)]
        print(f"{module}: skipped, could not install {' '.join(packages)}: {reason[0]}")
        return None


def make_loss(ns, x, targets):
    """The same loss over any NumPy-like namespace."""
    def loss(w1, b1, w2, b2):
        hidden = ns.tanh(x @ w1 + b1)
        return ns.mean((hidden @ w2 + b2 - targets) ** 2)
    return loss


def problem(shape):
    batch, n_in, n_hidden, n_out = shape
    rng = np.random.default_rng(1)
    x, targets = rng.normal(size=(batch, n_in)), rng.normal(size=(batch, n_out))
    params = (rng.normal(size=(n_in, n_hidden)) / np.sqrt(n_in), np.zeros(n_hidden),
              rng.normal(size=(n_hidden, n_out)) / np.sqrt(n_hidden), np.zeros(n_out))
    return x, targets, params


def per_call(fn):
    """Seconds per call: the best of REPEATS samples, each long enough to
    swamp the clock."""
    fn()
    start = time.perf_counter()
    fn()
    count = max(1, int(SAMPLE_SECONDS / max(time.perf_counter() - start, 1e-9)))
    best = float("inf")
    for _ in range(REPEATS):
        gc.collect()
        start = time.perf_counter()
        for _ in range(count):
            fn()
        best = min(best, (time.perf_counter() - start) / count)
    return best


def check(name, grads, reference):
    for g, r in zip(grads, reference):
        if not np.allclose(np.asarray(g), r, rtol=1e-9, atol=1e-12):
            sys.exit(f"{name} computes a different gradient; the comparison would be meaningless")


def main():
    autograd = ensure("autograd", "autograd")
    os.environ.setdefault("JAX_PLATFORMS", "cpu")
    jax = ensure("jax", "jax", "jaxlib")
    if jax is not None:
        try:
            jax.config.update("jax_enable_x64", True)  # float64, as the others
            jax.numpy.zeros(1).block_until_ready()
        except Exception as error:  # a wheel that installs but cannot run here
            print(f"jax: skipped, it does not run here: {error}")
            jax = None
    for label, shape in SHAPES.items():
        x, targets, params = problem(shape)
        grad = E.grad(make_loss(E, x, targets), argnums=(0, 1, 2, 3))
        reference = grad(*params)
        eager_t = per_call(lambda: grad(*params))
        print(f"{label} shapes (batch, in, hidden, out) = {shape}")
        print(f"{label}: eager frontend gradient, microseconds per call: {eager_t * 1e6:.1f}")
        if autograd is not None:
            import autograd.numpy as anp
            ag = autograd.grad(make_loss(anp, x, targets), argnum=(0, 1, 2, 3))
            check("autograd", ag(*params), reference)
            ag_t = per_call(lambda: ag(*params))
            print(f"{label}: autograd gradient, microseconds per call: {ag_t * 1e6:.1f}")
            target = " (target <= 0.5)" if label == "small" else ""
            print(f"{label}: eager / autograd time: {eager_t / ag_t:.2f}{target}")
        if jax is not None:
            jnp = jax.numpy
            jparams = tuple(jnp.asarray(p) for p in params)
            jg = jax.grad(make_loss(jnp, jnp.asarray(x), jnp.asarray(targets)), argnums=(0, 1, 2, 3))
            check("jax", jg(*jparams), reference)
            jax_t = per_call(lambda: jax.block_until_ready(jg(*jparams)))
            print(f"{label}: jax without jit gradient, microseconds per call: {jax_t * 1e6:.1f}")
            print(f"{label}: eager / jax without jit time: {eager_t / jax_t:.2f}")


if __name__ == "__main__":
    main()
