"""Dose-threshold material model: the optics engine's absorbed power accumulates into a
nodal dose, and the degree of curing, refractive index and absorptivity follow it.

It runs the variant (CPU or CUDA) that ``lumetra`` chose, since the two exchange raw device
addresses::

    import lumetra, exposa
    model = exposa.Exposa(n0=1.48, n1=1.52, alpha0=0.5, alpha1=0.3, dose_full=2.0,
                          dose_threshold=0.5, dt=1.0, n_nodes=engine.get_node_count())
    engine.compute_volumetric_absorption()
    model.reaction_step(engine)    # keeps the engine alive as long as the model
"""

import lumetra as _lumetra
from lumetra import _backend

backend = _lumetra.backend
_ext = _backend.load_companion("exposa", backend)
_backend.install_hooks(_ext, _lumetra.Lumetra)

globals().update({name: value for name, value in vars(_ext).items() if not name.startswith("_")})
set_num_threads = _lumetra.set_num_threads
set_verbosity = _lumetra.set_verbosity
__all__ = sorted(name for name in vars(_ext) if not name.startswith("_"))
