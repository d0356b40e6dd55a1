#include <cstdint>
#include <memory>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "bindings/module_common.h"
#include "curing/exposa.h"

namespace py = pybind11;

namespace {

// The model as Python holds it: it keeps the engine it was last given alive (see Curalis).
struct ExposaModel : Exposa {
    using Exposa::Exposa;
    py::object engine = py::none();
};

constexpr double kBytesPerNode = 2 * sizeof(double); // dose and degree of curing

py::array_t<double> nodeField(const Exposa& e, void (Exposa::*copy)(double*) const)
{
    py::array_t<double> out(static_cast<py::ssize_t>(e.nodeCount()));
    (e.*copy)(out.mutable_data());
    return out;
}

} // namespace

PYBIND11_MODULE(EXPOSA_EXTENSION_NAME, m)
{
    m.doc() = "Dose-threshold material model bindings";
    bindCommon(m);

    py::class_<ExposaModel>(m, "Exposa",
                            "Dose-threshold material model: each node accumulates absorbed energy (dose), and its\n"
                            "degree of curing ramps linearly from 0 at dose_threshold to 1 at dose_full; the\n"
                            "optics mesh's refractive index and absorptivity follow it.")
        .def(py::init([](double n0, double n1, double alpha0, double alpha1, double doseFull, double doseThreshold,
                         double dt, long long nNodes) {
                 const int n = modelNodeCount("Exposa", nNodes, kBytesPerNode);
                 return allocating("Exposa: n_nodes = " + std::to_string(n), [&] {
                     return std::make_unique<ExposaModel>(MatProps{n0, n1, alpha0, alpha1, doseFull, doseThreshold, dt},
                                                          n);
                 });
             }),
             py::kw_only(), py::arg("n0"), py::arg("n1"), py::arg("alpha0"), py::arg("alpha1"), py::arg("dose_full"),
             py::arg("dose_threshold"), py::arg("dt"), py::arg("n_nodes"),
             "Create a dose-threshold model for n_nodes nodes, with zero dose everywhere.\n\n"
             "Parameters\n----------\n"
             "n0, n1 : float\n    Refractive index at degree of curing 0 and 1; positive.\n"
             "alpha0, alpha1 : float\n    Absorptivity at degree of curing 0 and 1; not negative.\n"
             "dose_full : float\n    Accumulated energy density at which curing is complete.\n"
             "dose_threshold : float\n    Accumulated energy density at which curing starts; must be below\n"
             "    dose_full (ValueError otherwise).\n"
             "dt : float\n    Exposure time of one reaction_step(); positive.\n"
             "n_nodes : int\n    Number of mesh nodes; must equal the optics mesh's node count.\n\n"
             "Raises\n------\n"
             "ValueError\n    Naming the argument, for a value outside the ranges above or not finite.\n"
             "MemoryError\n    If n_nodes is more than a mesh holds or its arrays do not fit in memory.")
        .def(
            "reaction_step",
            [](ExposaModel& e, std::uintptr_t result, std::uintptr_t devlink) {
                keepOwner(e.engine, result, devlink, "reaction_step");
                e.reactionStep(reinterpret_cast<const double*>(result), reinterpret_cast<const MeshDataFlat*>(devlink));
            },
            py::arg("result_device_ptr"), py::arg("mesh_devlink_ptr"),
            "Add one exposure of length dt and update the optics mesh's material properties.\n\n"
            "dose += dt * absorbed power at every node; the degree of curing becomes\n"
            "(dose - dose_threshold) / (dose_full - dose_threshold) clamped to [0, 1], and the\n"
            "refractive index and absorptivity are interpolated from it, in place in the mesh.\n\n"
            "Parameters\n----------\n"
            "result_device_ptr : int\n    Lumetra.get_result_array_device_ptr().\n"
            "mesh_devlink_ptr : int\n    Lumetra.get_mesh_data_devlink_ptr().\n"
            "    Both must be the current addresses of one live engine, which the model then keeps\n"
            "    alive; passing the engine itself does the same.\n\n"
            "Raises\n------\nRuntimeError\n"
            "    For a null address, a number no live engine handed out as that kind of address,\n"
            "    one the engine has since replaced, addresses of two engines, or when the mesh's\n"
            "    node count differs from the model's.")
        .def(
            "reaction_step",
            [](ExposaModel& e, const EngineObject& engine) {
                const std::uintptr_t result = engineAddress(engine, "reaction_step", "get_result_array_device_ptr");
                const std::uintptr_t link = engineAddress(engine, "reaction_step", "get_mesh_data_devlink_ptr");
                e.engine = engine.engine;
                e.reactionStep(reinterpret_cast<const double*>(result), reinterpret_cast<const MeshDataFlat*>(link));
            },
            py::arg("engine"),
            "The same step on the engine's absorbed power (a lumetra.Lumetra), its addresses asked\n"
            "for at every step; the model keeps the engine alive.\n\n"
            "Raises\n------\n"
            "RuntimeError\n    When the engine has no mesh or absorbed power yet, or the node counts differ.")
        .def(
            "get_dose", [](const ExposaModel& e) { return nodeField(e, &Exposa::copyDose); },
            "Copy the accumulated dose per node from the device to a NumPy array.")
        .def(
            "get_degree_of_curing", [](const ExposaModel& e) { return nodeField(e, &Exposa::copyDegreeOfCuring); },
            "Copy the degree of curing per node from the device to a NumPy array.");
}
