// The boundary-condition enum and record of the public lumetra module.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "bindings/module_common.h"
#include "mesh/boundary_condition.h"

namespace py = pybind11;

void bindOpticsTypes(py::module_& m)
{
    py::enum_<BoundaryConditionInteractionType> interaction(m, "BoundaryConditionInteractionType",
                                                            "Boundary interaction mode for optical BCs.");
    interaction
        .value("TRANSMIT", BoundaryConditionInteractionType::TRANSMIT,
               "Transmitting interface BC (Snell/Fresnel transmission mode).")
        .value("REFLECT", BoundaryConditionInteractionType::REFLECT,
               "Reflecting interface BC (specular/microfacet reflection mode).")
        .export_values();
    // pybind11 serves an enum's docstring (the member list included) through a property that
    // help() does not read, so the class showed no description there; store the same text
    // as a plain string.
    const py::str interactionDoc = interaction.attr("__doc__");
    py::delattr(interaction, "__doc__");
    interaction.attr("__doc__") = interactionDoc;

    py::class_<OpticalBoundaryCondition>(m, "OpticalBoundaryCondition",
                                         "Face-based optical boundary condition definition.")
        .def(py::init<>())
        .def_readwrite("rough_surface", &OpticalBoundaryCondition::rough_surface,
                       "bool: treat the faces as rough (default False).\n\n"
                       "When True and roughness > 0, every ray meets a microfacet normal sampled around\n"
                       "the face normal instead of the face normal itself.")
        .def_readwrite("roughness", &OpticalBoundaryCondition::roughness,
                       "float: Beckmann roughness, the rms slope of the microfacets (dimensionless,\n"
                       "default 0.0).\n\n"
                       "Used only when rough_surface is True; 0 or less keeps the faces smooth, positive\n"
                       "values below 1e-6 act as 1e-6.")
        .def_readwrite("interaction_type", &OpticalBoundaryCondition::interaction_type,
                       "BoundaryConditionInteractionType: what light does at the faces (default TRANSMIT).\n\n"
                       "TRANSMIT refracts rays into and out of the mesh (Snell's law, Fresnel losses, total\n"
                       "internal reflection). REFLECT makes the faces a Fresnel mirror: rays inside are\n"
                       "reflected and keep the reflected share of their power, rays from outside do not\n"
                       "enter.")
        .def_readwrite("refractive_index_real", &OpticalBoundaryCondition::refractive_index_real,
                       "float: refractive index of the medium outside the mesh behind the faces, real part\n"
                       "(default 1.0). A value of 0 or less acts as 1.")
        .def_readwrite("refractive_index_imag", &OpticalBoundaryCondition::refractive_index_imag,
                       "float: extinction coefficient (imaginary part) of the outside index (default 0.0).\n\n"
                       "Raises the Fresnel reflectance of a REFLECT condition for rays that meet the faces\n"
                       "from inside the mesh; ignored where rays enter, and when 0 or less.")
        .def_property(
            "fresnel",
            [](const OpticalBoundaryCondition& bc) {
                return std::string(bc.fresnel == FresnelModel::Schlick ? "schlick" : "exact");
            },
            [](OpticalBoundaryCondition& bc, const std::string& name) {
                if (name == "exact") {
                    bc.fresnel = FresnelModel::Exact;
                } else if (name == "schlick") {
                    bc.fresnel = FresnelModel::Schlick;
                } else {
                    throw py::value_error("OpticalBoundaryCondition.fresnel must be \"exact\" or \"schlick\", not \"" +
                                          name + "\"");
                }
            },
            "str: how the reflected share of the power is computed (default \"exact\").\n\n"
            "\"exact\": the Fresnel equations for unpolarised light (the mean of the s and p\n"
            "reflectances; an absorbing outside medium through refractive_index_imag): nothing is\n"
            "reflected between equal indices, all past the critical angle. \"schlick\": Schlick's\n"
            "approximation, which also reflects between equal indices (3 % at 60 degrees).")
        .def_readwrite("faces", &OpticalBoundaryCondition::faces,
                       "list[int]: global boundary-face ids the condition applies to (default empty), e.g.\n"
                       "from Lumetra.select_boundary_faces_bbox().\n\n"
                       "Reading returns a copy; assign a whole list to change it.");
}
