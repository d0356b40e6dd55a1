// The boundary-condition enum and record of the public lumetra module.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/module_common.h"
#include "mesh/boundary_condition.h"

namespace py = pybind11;

void bindOpticsTypes(py::module_& m)
{
    py::enum_<BoundaryConditionInteractionType>(m, "BoundaryConditionInteractionType",
                                                "Boundary interaction mode for optical BCs.")
        .value("TRANSMIT", BoundaryConditionInteractionType::TRANSMIT, "Transmitting interface BC (Snell/Fresnel transmission mode).")
        .value("REFLECT", BoundaryConditionInteractionType::REFLECT, "Reflecting interface BC (specular/microfacet reflection mode).")
        .export_values();

    py::class_<OpticalBoundaryCondition>(m, "OpticalBoundaryCondition",
                                         "Face-based optical boundary condition definition.")
        .def(py::init<>())
        .def_readwrite("rough_surface", &OpticalBoundaryCondition::rough_surface)
        .def_readwrite("roughness", &OpticalBoundaryCondition::roughness)
        .def_readwrite("interaction_type", &OpticalBoundaryCondition::interaction_type)
        .def_readwrite("refractive_index_real", &OpticalBoundaryCondition::refractive_index_real)
        .def_readwrite("refractive_index_imag", &OpticalBoundaryCondition::refractive_index_imag)
        .def_readwrite("faces", &OpticalBoundaryCondition::faces);
}
