"""The frontend's `linalg` namespace, as NumPy's: `E.linalg.solve(a, b)`."""

from .primitives import cholesky, det, eigh, inv, norm, slogdet, solve, svd, svdvals

__all__ = ["cholesky", "det", "eigh", "inv", "norm", "slogdet", "solve", "svd", "svdvals"]
