"""Bad input at the curing modules is refused, naming the field or the address, and the
model keeps working: settings without physical meaning, oxygen boundaries the mesh does not
have, and raw addresses that are random, of the wrong kind, stale or of a freed engine."""

import contextlib
import gc
import io

import numpy as np
import pytest

import curalis
import exposa
import lumetra
from lumetra import meshes

N = 27  # nodes of the 2 x 2 x 2 box


def props(**values):
    p = curalis.CuralisProps()
    base = dict(
        kpropagation=1.0, koxygen=1.0, dt=1.0, n0=1.5, n1=1.52, alpha0=0.3, alpha1=0.3, c_monomer0=1.0, c_oxygen0=0.1
    )
    for name, value in {**base, **values}.items():
        setattr(p, name, value)
    return p


def dose_model(**values):
    base = dict(n0=1.5, n1=1.52, alpha0=0.3, alpha1=0.3, dose_full=1.0, dose_threshold=0.0, dt=1.0, n_nodes=N)
    return exposa.Exposa(**{**base, **values})


def traced_engine(cells=2):
    engine = lumetra.Lumetra()
    with contextlib.redirect_stdout(io.StringIO()):
        engine.load_mesh_arrays(*meshes.box(cells, cells, cells, refractive_index=1.5, absorptivity=0.3))
        engine.generate_camera_rays([0.5, 0.5, 3.0], [0, 0, -1], 2, 2, 0.2)
        engine.set_boundary_conditions([])
        engine.config()
        engine.compute_volumetric_absorption()
    return engine


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: curalis.Curalis(_rates_only(), N), ValueError, r"Curalis: n0 must be positive \(got 0\)"),
        (
            lambda: curalis.Curalis(props(diffusion_radical=-0.01), N),
            ValueError,
            "diffusion_radical must not be negative",
        ),
        (
            lambda: curalis.Curalis(props(oxygen_gel_point=-0.5), N),
            ValueError,
            r"oxygen_gel_point must lie in \[0, 1\]",
        ),
        (lambda: dose_model(alpha0=-0.4), ValueError, "Exposa: alpha0 must not be negative"),
        (lambda: dose_model(dt=0.0), ValueError, "Exposa: dt must be positive"),
        (lambda: dose_model(n0=0.0), ValueError, "Exposa: n0 must be positive"),
    ],
)
def test_settings_without_physical_meaning_name_the_field(make, error, message):
    with pytest.raises(error, match=message):
        make()


def _rates_only():
    p = curalis.CuralisProps()
    p.kpropagation, p.koxygen, p.dt = 1.0, 1.0, 1.0
    return p


def stale(engine):
    result = engine.get_result_array_device_ptr()
    with contextlib.redirect_stdout(io.StringIO()):
        engine.load_mesh_arrays(*meshes.box(4, 4, 4, refractive_index=1.5, absorptivity=0.3))
        engine.config()
    return result


def gone():
    engine = traced_engine()
    addresses = engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr()
    del engine
    gc.collect()
    return addresses


OTHER = traced_engine()

ADDRESS_CASES = {
    "random mesh address": (
        lambda c, e: c.initialize_accelerator(123456789),
        r"initialize_accelerator: 0x75bcd15 is not a mesh address that a lumetra engine handed out",
    ),
    "result address as the mesh": (
        lambda c, e: c.initialize_accelerator(e.get_result_array_device_ptr()),
        r"is an engine's result array address .*not its mesh address",
    ),
    "random result address": (
        lambda c, e: c.reaction_step(123456789, e.get_mesh_data_devlink_ptr()),
        r"reaction_step: 0x75bcd15 is not a result array address",
    ),
    "random record address to exposa": (
        lambda c, e: dose_model().reaction_step(e.get_result_array_device_ptr(), 123456789),
        r"reaction_step: 0x75bcd15 is not a mesh record address",
    ),
    "stale result address": (
        lambda c, e: c.reaction_step(stale(e), e.get_mesh_data_devlink_ptr()),
        r"reaction_step: the result array address 0x[0-9a-f]+ is stale",
    ),
    "addresses of a freed engine": (
        lambda c, e: dose_model().reaction_step(*gone()),
        r"reaction_step: the engine that handed out the result array address .* is gone",
    ),
    "addresses of two engines": (
        lambda c, e: c.reaction_step(OTHER.get_result_array_device_ptr(), e.get_mesh_data_devlink_ptr()),
        "the result array and the mesh record come from two different engines",
    ),
}


@pytest.mark.parametrize("case", ADDRESS_CASES)
def test_addresses_that_are_not_a_live_engines_are_refused(case):
    engine = traced_engine()
    model = curalis.Curalis(props(), N)
    model.initialize_accelerator(engine.get_mesh_ptr())
    call, message = ADDRESS_CASES[case]
    with pytest.raises(RuntimeError, match=message):
        call(model, engine)
    # The model still steps on the engine's current addresses, and curing follows the light.
    if engine.get_node_count() != N:
        return
    model.reaction_step(engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr())
    cure = model.get_degree_of_curing()
    assert np.all(np.isfinite(cure)) and cure.max() > 0


@pytest.mark.parametrize(
    "field, value, message",
    [
        (
            "oxygen_dirichlet_bc_groups",
            [1],
            r"oxygen_dirichlet_bc_groups\[0\] = 1 is not a boundary condition of the "
            r"engine \(it has 1",
        ),
        (
            "oxygen_dirichlet_face_ids",
            [0, 1000000],
            r"oxygen_dirichlet_face_ids\[1\] = 1000000 is not a boundary face "
            r"of this mesh \(it has 24",
        ),
    ],
)
def test_oxygen_boundaries_the_mesh_does_not_have(field, value, message):
    engine = traced_engine()
    engine.set_boundary_conditions([lumetra.OpticalBoundaryCondition()])
    model = curalis.Curalis(props(**{field: value}), N)
    with pytest.raises(ValueError, match=message):
        model.initialize_accelerator(engine)
