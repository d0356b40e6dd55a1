#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/module_common.h"
#include "curing/material_state.h"
#include "mesh/mesh.h"

namespace py = pybind11;

namespace {

template <typename T>
T* address(std::uintptr_t value)
{
    return reinterpret_cast<T*>(value);
}

// The model as Python holds it: it keeps the engine it was last given, so that engine's mesh
// and result array live as long as the model, also for later calls with raw addresses.
struct CuralisModel : MaterialState {
    using MaterialState::MaterialState;
    py::object engine = py::none();
};

// Monomer, radicals, oxygen, degree of curing and the two diffusion sources; two masks.
constexpr double kBytesPerNode = 6 * sizeof(double) + 2 * sizeof(int);

py::array_t<double> nodeField(const MaterialState& s, void (MaterialState::*copy)(double*) const)
{
    py::array_t<double> out(static_cast<py::ssize_t>(s.nodeCount()));
    (s.*copy)(out.mutable_data());
    return out;
}

const char* kRawStepDoc = "Run one reaction-diffusion step using pointers from Lumetra.\n\n"
                          "Both must be the current addresses of one live engine (get_result_array_device_ptr()\n"
                          "and get_mesh_data_devlink_ptr()); anything else is refused with a RuntimeError: a\n"
                          "number no engine handed out, an address of another kind, one of an engine that is gone\n"
                          "or one it has since replaced. The model keeps that engine alive. Passing the engine\n"
                          "itself does the same without the addresses.";

} // namespace

PYBIND11_MODULE(CURALIS_EXTENSION_NAME, m)
{
    m.doc() = "Reaction-diffusion material model bindings";
    bindCommon(m);

    py::class_<CuralisProps>(m, "CuralisProps", "Configuration values for the reaction-diffusion material model.")
        .def(py::init<>())
        .def_readwrite("kpropagation", &CuralisProps::kpropagation, "propagation rate constant")
        .def_readwrite("koxygen", &CuralisProps::koxygen, "oxygen consumption rate constant")
        .def_readwrite("diffusion_oxygen", &CuralisProps::diffusion_oxygen, "oxygen diffusion coefficient")
        .def_readwrite("diffusion_radical", &CuralisProps::diffusion_radical, "radical diffusion coefficient")
        .def_readwrite("diffusion_bc", &CuralisProps::diffusion_bc,
                       "boundary switch applied to both species when neither per-species switch is set")
        .def_readwrite("diffusion_bc_radical", &CuralisProps::diffusion_bc_radical,
                       "1 = radical field fixed to dirichlet_radical on all boundary nodes")
        .def_readwrite("diffusion_bc_oxygen", &CuralisProps::diffusion_bc_oxygen,
                       "1 = oxygen fixed to dirichlet_oxygen on the oxygen boundary nodes")
        .def_readwrite("dirichlet_radical", &CuralisProps::dirichlet_radical, "boundary value of the radical field")
        .def_readwrite("dirichlet_oxygen", &CuralisProps::dirichlet_oxygen, "boundary value of oxygen")
        .def_readwrite("oxygen_gel_point", &CuralisProps::oxygen_gel_point,
                       "degree of curing from which oxygen stops diffusing, in [0, 1]")
        .def_readwrite("oxygen_dirichlet_all_boundary", &CuralisProps::oxygen_dirichlet_all_boundary,
                       "oxygen boundary = every boundary node")
        .def_readwrite("oxygen_dirichlet_bc_groups", &CuralisProps::oxygen_dirichlet_bc_groups,
                       "optical boundary-condition indices whose faces form the oxygen boundary")
        .def_readwrite("oxygen_dirichlet_face_ids", &CuralisProps::oxygen_dirichlet_face_ids,
                       "boundary-face ids that form the oxygen boundary")
        .def_readwrite("dt", &CuralisProps::dt, "time step of one reaction step; positive")
        .def_readwrite("n0", &CuralisProps::n0, "refractive index of uncured resin")
        .def_readwrite("n1", &CuralisProps::n1, "refractive index of fully cured resin")
        .def_readwrite("alpha0", &CuralisProps::alpha0, "absorptivity of uncured resin")
        .def_readwrite("alpha1", &CuralisProps::alpha1, "absorptivity of fully cured resin")
        .def_readwrite("c_monomer0", &CuralisProps::c_monomer0, "initial value of the monomer field")
        .def_readwrite("c_radical0", &CuralisProps::c_radical0, "initial value of the radical field")
        .def_readwrite("c_oxygen0", &CuralisProps::c_oxygen0, "initial value of the oxygen field")
        .def_readwrite("degree_of_curing0", &CuralisProps::degree_of_curing0, "initial value of the degree of curing")
        .def_readwrite("diffusion_scheme", &CuralisProps::diffusion_scheme,
                       "\"kernel\" (Gaussian smoothing within a cut-off radius, the default) or \"fem\" "
                       "(finite elements, implicit step: converges as the mesh and the step are refined)")
        .def_readwrite("fem_preconditioner", &CuralisProps::fem_preconditioner,
                       "what the \"fem\" scheme's conjugate gradients are preconditioned with: \"multigrid\" (the "
                       "default: aggregation multigrid, fewer iterations as the mesh is refined) or \"diagonal\"")
        .def_readwrite("fem_multigrid_from", &CuralisProps::fem_multigrid_from,
                       "with \"multigrid\": the stiffness of a step, D dt times the mean over the nodes of the "
                       "stiffness row sum over the mass (about 8 D dt / (3 h^2) on cubes), from which it uses the "
                       "multigrid levels; below, the diagonal costs less (default 8; 0: every step)");

    py::class_<CuralisModel>(m, "Curalis", "Reaction-diffusion material state and update kernels.")
        .def(py::init([](const CuralisProps& props, long long nNodes) {
                 const int n = modelNodeCount("Curalis", nNodes, kBytesPerNode);
                 return allocating("Curalis: n_nodes = " + std::to_string(n),
                                   [&] { return std::make_unique<CuralisModel>(props, n); });
             }),
             py::arg("props"), py::arg("n_nodes"),
             "Create a reaction-diffusion model with explicit parameters (no TOML).\n\n"
             "Raises\n------\n"
             "ValueError\n"
             "    Naming the field, for a value without physical meaning: dt not positive, a number\n"
             "    that is not finite, a negative rate constant, diffusion coefficient, concentration\n"
             "    or absorptivity, n0 or n1 of 0 or below, degree_of_curing0 or oxygen_gel_point\n"
             "    outside [0, 1], a diffusion_bc switch other than 0 or 1; a negative n_nodes.\n"
             "MemoryError\n"
             "    If n_nodes is more than a mesh holds or its arrays do not fit in memory.")
        .def(
            "initialize_accelerator",
            [](CuralisModel& s, std::uintptr_t meshPtr) {
                py::object engine = addressOwner(meshPtr, "mesh", "initialize_accelerator");
                s.initializeAccelerator(address<const Mesh>(meshPtr));
                if (!engine.is_none()) s.engine = engine;
            },
            py::arg("mesh_ptr"),
            "Build nodal accelerator structure using the Lumetra mesh pointer.\n\n"
            "Raises\n------\nRuntimeError\n"
            "    For a number that is not the current get_mesh_ptr() of a live engine (another\n"
            "    address, one of another kind, or of an engine that is gone).")
        .def(
            "initialize_accelerator",
            [](CuralisModel& s, const EngineObject& engine) {
                const std::uintptr_t mesh = engineAddress(engine, "initialize_accelerator", "get_mesh_ptr");
                s.initializeAccelerator(address<const Mesh>(mesh));
                s.engine = engine.engine;
            },
            py::arg("engine"),
            "Build the nodal grid and boundary masks from the engine's mesh (a lumetra.Lumetra);\n"
            "the model keeps the engine alive. Again after every load_mesh.\n\n"
            "Raises\n------\n"
            "RuntimeError\n    When the engine has no mesh, or its node count differs from the model's.")
        .def(
            "reaction_step",
            [](CuralisModel& s, std::uintptr_t result, std::uintptr_t devlink) {
                keepOwner(s.engine, result, devlink, "reaction_step");
                s.reactionStep(address<const double>(result), address<const MeshDataFlat>(devlink));
            },
            py::arg("result_device_ptr"), py::arg("mesh_devlink_ptr"), kRawStepDoc)
        .def(
            "reaction_step",
            [](CuralisModel& s, const EngineObject& engine) {
                const std::uintptr_t result = engineAddress(engine, "reaction_step", "get_result_array_device_ptr");
                const std::uintptr_t link = engineAddress(engine, "reaction_step", "get_mesh_data_devlink_ptr");
                s.engine = engine.engine;
                s.reactionStep(address<const double>(result), address<const MeshDataFlat>(link));
            },
            py::arg("engine"),
            "Run one reaction-diffusion step on the engine's absorbed power (a lumetra.Lumetra),\n"
            "rewriting its mesh's refractive index and absorptivity; the model keeps the engine\n"
            "alive. The same as reaction_step(engine.get_result_array_device_ptr(),\n"
            "engine.get_mesh_data_devlink_ptr()), with the addresses asked for at every step.\n\n"
            "Raises\n------\n"
            "RuntimeError\n    When the engine has no mesh or absorbed power yet, or the node counts differ.")
        .def(
            "get_degree_of_curing",
            [](const CuralisModel& s) { return nodeField(s, &MaterialState::copyDegreeOfCuring); },
            "Copy degree-of-curing values from device to a NumPy array.")
        .def(
            "get_oxygen_concentration", [](const CuralisModel& s) { return nodeField(s, &MaterialState::copyOxygen); },
            "Copy oxygen concentration values from device to a NumPy array.")
        .def(
            "get_dt", [](const CuralisModel& s) { return s.dt(); }, "Get reaction-diffusion time step (dtDiff).")
        .def(
            "get_diffusion_iterations",
            [](const CuralisModel& s) { return py::make_tuple(s.radicalIterations(), s.oxygenIterations()); },
            "Conjugate-gradient iterations of the last step's radical and oxygen solves (the \"fem\" scheme; "
            "(0, 0) with the kernel scheme or before the first step).")
        .def(
            "get_multigrid_levels", [](const CuralisModel& s) { return s.multigridLevels(); },
            "Levels of the multigrid preconditioner, the mesh included (after initialize_accelerator; 0 without "
            "it, with the diagonal, or where the mesh has nothing to coarsen).")
        .def(
            "get_diffusion_extruded", [](const CuralisModel& s) { return s.diffusionExtruded(); },
            "Whether the \"fem\" scheme's matrix passes use the mesh's extrusion: a mesh of quadrilaterals "
            "extruded along z, such as the generated boxes and vials, is solved column by column (after "
            "initialize_accelerator; False without it).")
        .def(
            "get_monomer_concentration",
            [](const CuralisModel& s) { return nodeField(s, &MaterialState::copyMonomer); },
            "Copy monomer concentration values from device to a NumPy array.")
        .def(
            "get_radical_concentration",
            [](const CuralisModel& s) { return nodeField(s, &MaterialState::copyRadical); },
            "Copy radical field values from device to a NumPy array.")
        .def(
            "set_fields",
            [](CuralisModel& s, py::object monomer, py::object radical, py::object oxygen, py::object degree) {
                // Every array is checked before any is written, so a refused call changes nothing.
                const std::pair<const char*, py::object> given[] = {
                    {"monomer", monomer}, {"radical", radical}, {"oxygen", oxygen}, {"degree_of_curing", degree}};
                std::vector<std::pair<std::string, py::array_t<double, py::array::c_style | py::array::forcecast>>>
                    arrays;
                for (const auto& [name, value] : given) {
                    if (value.is_none()) continue;
                    auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value);
                    if (!a || a.ndim() != 1 || a.shape(0) != s.nodeCount()) {
                        throw py::value_error(std::string(name) + " must be a 1-D array of " +
                                              std::to_string(s.nodeCount()) + " values (one per node)");
                    }
                    MaterialState::checkField(name, a.data(), s.nodeCount());
                    arrays.emplace_back(name, a);
                }
                for (auto& [name, a] : arrays) s.setField(name, a.data());
            },
            py::kw_only(), py::arg("monomer") = py::none(), py::arg("radical") = py::none(),
            py::arg("oxygen") = py::none(), py::arg("degree_of_curing") = py::none(),
            "Replace node fields from arrays of the node count (keyword arguments; None keeps a field).\n\n"
            "A run can so start from a partly cured or degassed resin. Concentrations must be finite\n"
            "and not negative, the degree of curing in [0, 1]; every array is checked before any is\n"
            "written. The optics mesh follows a new degree of curing at the next reaction_step.");
}
