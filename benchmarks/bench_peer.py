"""The gradient and the Hessian-vector product of a two-layer network's loss
through the reference eager frontend, against the same computations in the
pure-Python tape library autograd and in JAX without jit, all measured in
this run: at small shapes, where per-operation overhead dominates, and at
medium shapes, where the arithmetic does. The sides are interleaved round
by round; each figure is the ratio of CPU times (time.process_time), min
and median over the rounds. Installs the peers into this interpreter's
environment when they are missing; JAX is skipped when it cannot be
installed or run."""

import gc
import importlib
import os
import pathlib
import statistics
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))

import eager as E  # noqa: E402

SHAPES = {"small": (8, 4, 16, 3), "medium": (256, 256, 512, 64)}  # batch, in, hidden, out
ROUNDS = 9
SAMPLE_SECONDS = 0.1
TARGETS = {("grad", "small", "autograd"): "<= 0.5", ("grad", "medium", "autograd"): "< 0.8"}


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
    """The same loss over any NumPy-like namespace, of one tuple of
    parameters (so that every library takes the same pytree)."""
    def loss(params):
        w1, b1, w2, b2 = params
        hidden = ns.tanh(x @ w1 + b1)
        return ns.mean((hidden @ w2 + b2 - targets) ** 2)
    return loss


def problem(shape):
    batch, n_in, n_hidden, n_out = shape
    rng = np.random.default_rng(1)
    x, targets = rng.normal(size=(batch, n_in)), rng.normal(size=(batch, n_out))
    params = (rng.normal(size=(n_in, n_hidden)) / np.sqrt(n_in), np.zeros(n_hidden),
              rng.normal(size=(n_hidden, n_out)) / np.sqrt(n_hidden), np.zeros(n_out))
    direction = tuple(rng.normal(size=p.shape) for p in params)
    return x, targets, params, direction


def calls_per_sample(fn):
    fn()
    start = time.process_time()
    fn()
    return max(1, int(SAMPLE_SECONDS / max(time.process_time() - start, 1e-6)))


def measure(sides):
    """CPU seconds per call of each side, one sample per side per round,
    the sides interleaved within every round."""
    counts = {name: calls_per_sample(fn) for name, fn in sides.items()}
    samples = {name: [] for name in sides}
    for _ in range(ROUNDS):
        for name, fn in sides.items():
            gc.collect()
            start = time.process_time()
            for _ in range(counts[name]):
                fn()
            samples[name].append((time.process_time() - start) / counts[name])
    return samples


def check(name, got, reference):
    for g, r in zip(got, reference):
        if not np.allclose(np.asarray(g), r, rtol=1e-9, atol=1e-12):
            sys.exit(f"{name} computes a different result; the comparison would be meaningless")


def peers():
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
    return autograd, jax


def sides_for(label, shape, autograd, jax):
    """{transform: {library: call}} for one problem size, each checked
    against the frontend's result first."""
    x, targets, params, direction = problem(shape)
    loss = make_loss(E, x, targets)
    eager = {"grad": lambda: E.grad(loss)(params), "hvp": lambda: E.hvp(loss, (params,), (direction,))}
    reference = {t: fn() for t, fn in eager.items()}
    sides = {t: {"eager": fn} for t, fn in eager.items()}
    if autograd is not None:
        import autograd.numpy as anp
        aloss = make_loss(anp, x, targets)
        ag_grad = autograd.grad(aloss)
        # autograd's own Hessian-vector product, reverse over reverse,
        # written out for a tuple of parameters.
        ag_hvp = autograd.grad(lambda p: sum(anp.sum(g * v) for g, v in zip(ag_grad(p), direction)))
        sides["grad"]["autograd"] = lambda: ag_grad(params)
        sides["hvp"]["autograd"] = lambda: ag_hvp(params)
    if jax is not None:
        jnp = jax.numpy
        jloss = make_loss(jnp, jnp.asarray(x), jnp.asarray(targets))
        jparams, jdirection = tuple(map(jnp.asarray, params)), tuple(map(jnp.asarray, direction))
        jgrad = jax.grad(jloss)
        sides["grad"]["jax"] = lambda: jax.block_until_ready(jgrad(jparams))
        sides["hvp"]["jax"] = lambda: jax.block_until_ready(jax.jvp(jgrad, (jparams,), (jdirection,))[1])
    for transform, libraries in sides.items():
        for library, fn in libraries.items():
            if library != "eager":
                check(f"{library} {transform}", fn(), reference[transform])
    return sides


def main():
    autograd, jax = peers()
    for label, shape in SHAPES.items():
        print(f"{label} shapes (batch, in, hidden, out) = {shape}")
        for transform, libraries in sides_for(label, shape, autograd, jax).items():
            samples = measure(libraries)
            ours = samples.pop("eager")
            print(f"{label} {transform}: eager frontend, microseconds per call: min {min(ours) * 1e6:.1f}, "
                  f"median {statistics.median(ours) * 1e6:.1f}")
            for library, theirs in samples.items():
                ratios = [a / b for a, b in zip(ours, theirs)]
                target = TARGETS.get((transform, label, library))
                note = f" (target {target})" if target else ""
                name = f"{library} without jit" if library == "jax" else library
                print(f"{label} {transform}: eager / {name} time: min {min(ours) / min(theirs):.2f}, "
                      f"median of rounds {statistics.median(ratios):.2f}{note}")


if __name__ == "__main__":
    main()
