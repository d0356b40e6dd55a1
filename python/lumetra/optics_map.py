"""The linear map from ray powers to absorbed power as a sparse matrix.

A trace adds the absorbed power ``q = A p`` (``Lumetra.get_absorbed_power``) for ray powers
``p``; ``Lumetra.trace_adjoint`` applies ``A^T``. For small problems ``A`` itself can be
recorded in one trace and used with SciPy::

    A = lumetra.optics_map.record_matrix(engine)   # (nodes, rays)
    q = A @ p                                      # what a trace of powers p adds
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from scipy.sparse import csr_matrix

    from lumetra import Lumetra

__all__ = ["record_matrix"]


def record_matrix(engine: Lumetra) -> csr_matrix:
    """The matrix of the next forward trace of ``engine``'s rays, recorded in one trace.

    Parameters
    ----------
    engine : lumetra.Lumetra
        With a mesh and rays; traced as ``compute_volumetric_absorption`` would trace them
        (placement, boundary optics, graded index, attenuation), each ray with power 1.

    Returns
    -------
    scipy.sparse.csr_matrix
        Shape (nodes, rays), float64: column i is the absorbed power (per unit volume) that
        ray i adds per unit of its power. The engine is left as it was.

    Raises
    ------
    RuntimeError
        If the engine cannot trace yet, or SciPy is not installed.
    """
    try:
        from scipy import sparse
    except ImportError as error:
        raise RuntimeError("record_matrix needs SciPy (pip install scipy)") from error
    nodes, rays, values = engine.record_deposits()
    shape = (engine.get_node_count(), engine.get_ray_count())
    return sparse.coo_matrix((values, (nodes, rays)), shape=shape).tocsr()  # repeated pairs are summed
