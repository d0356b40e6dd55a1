// The Lumetra class of the public module: argument conversion, shape checks with fixed
// messages, and copies between NumPy arrays and the engine's host buffers. Every method
// forwards to one engine operation.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <type_traits>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "IO/mesh_readers.h"
#include "bindings/config_table_py.h"
#include "engine/engine.h"
#include "bindings/module_common.h"
#include "common/messages.h"

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }
[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

Vec3 vec3Argument(const Array& a, const char* name)
{
    if (a.ndim() != 1 || a.shape(0) != 3) fail(std::string(name) + " must be a 3-element array [x, y, z]");
    return Vec3(static_cast<float>(a.at(0)), static_cast<float>(a.at(1)), static_cast<float>(a.at(2)));
}

ObjectiveKind objectiveKindArgument(const std::string& kind)
{
    for (ObjectiveKind k : {ObjectiveKind::LightTransport, ObjectiveKind::Render, ObjectiveKind::OpticalPath}) {
        if (kind == objectiveKindName(k)) return k;
    }
    fail("objective kind must be 'light_transport', 'render' or 'optical_path', not '" + kind + "'");
}

Array nodeArray(Lumetra& e, void (Lumetra::*get)(double*))
{
    Array out(e.get_node_count());
    (e.*get)(out.mutable_data());
    return out;
}

void setNodeArray(Lumetra& e, const Array& values, void (Lumetra::*set)(const double*))
{
    if (values.ndim() != 1) fail("Input must be a 1-D array");
    if (values.shape(0) != e.get_node_count()) fail("Array size must match node count");
    (e.*set)(values.data());
}

// Component-major planes (all x, then all y, then all z) as rows of an (n, 3) array.
Array rowsFromPlanes(const std::vector<double>& planes, py::ssize_t n)
{
    Array out({n, py::ssize_t(3)});
    for (py::ssize_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) out.mutable_at(i, c) = planes[static_cast<std::size_t>(c * n + i)];
    return out;
}

std::string shapeText(const py::array& a)
{
    std::string text = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) text += (d ? ", " : "") + std::to_string(a.shape(d));
    return text + (a.ndim() == 1 ? ",)" : ")");
}

// The array NumPy makes of a script's value, refused unless its values are numbers (of
// the integer kinds when `integers`).
py::array numbers(const std::string& source, const char* name, py::handle value, bool integers)
{
    const py::array a = py::module_::import("numpy").attr("asarray")(value);
    const char kind = a.dtype().kind();
    const bool ok = integers ? (kind == 'i' || kind == 'u') : (kind == 'i' || kind == 'u' || kind == 'f');
    if (!ok) {
        throw std::runtime_error(source + ": " + name + " must hold " + (integers ? "integer node ids" : "numbers") +
                                 ", not values of dtype " + std::string(py::str(a.dtype())));
    }
    return a;
}

NodalValues nodalValues(const std::string& source, const char* name, py::handle value, py::ssize_t nodes)
{
    if (value.is_none()) return {};
    const auto a =
        py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(numbers(source, name, value, false));
    if (a.ndim() != 1 || a.shape(0) != nodes) {
        throw std::runtime_error(source + ": " + name + " must have one value per node, shape (" +
                                 std::to_string(nodes) + ",), not " + shapeText(a));
    }
    NodalValues out{std::vector<float>(static_cast<std::size_t>(nodes)), true};
    for (py::ssize_t i = 0; i < nodes; ++i) out.values[static_cast<std::size_t>(i)] = static_cast<float>(a.at(i));
    return out;
}

// What a mesh build holds per node and per element at least: the float and int input it is
// converted to and, on the CPU variant, where device memory is host memory, the mesh's own
// arrays (coordinates, index, volume, absorptivity, the packed node record, the absorbed
// power; element nodes, neighbours with their types and faces, orientations, the
// constant-index flag).
constexpr double kInputBytesPerNode = 5 * sizeof(float);
constexpr double kMeshBytesPerNode = 6 * sizeof(float) + sizeof(NodeRecord) + sizeof(double);
constexpr double kInputBytesPerElement = 8 * sizeof(int);
constexpr double kMeshBytesPerElement = 27 * sizeof(int) + 6;

// Points (N, 3) and hexahedra (E, 8) with optional nodal fields, converted for the mesh
// builder, which checks the values themselves. The sizes are checked from the shapes,
// before any copy: a broadcast or lazily zeroed array can stand for far more memory than
// the conversion could take.
HexMeshInput meshInput(const std::string& source, py::handle points, py::handle hexahedra, py::handle refractiveIndex,
                       py::handle absorptivity)
{
    const py::array pointsIn = numbers(source, "points", points, false);
    if (pointsIn.ndim() != 2 || pointsIn.shape(1) != 3) {
        throw std::runtime_error(source + ": points must be an array of shape (N, 3), not " + shapeText(pointsIn));
    }
    const py::array hexahedraIn = numbers(source, "hexahedra", hexahedra, true);
    if (hexahedraIn.ndim() != 2 || hexahedraIn.shape(1) != 8) {
        throw std::runtime_error(source + ": hexahedra must be an array of shape (E, 8), not " +
                                 shapeText(hexahedraIn));
    }
    const py::ssize_t n = pointsIn.shape(0), elements = hexahedraIn.shape(0);
    const double perNode = kInputBytesPerNode + (hostHoldsDeviceMemory() ? kMeshBytesPerNode : 0.0);
    const double perElement = kInputBytesPerElement + (hostHoldsDeviceMemory() ? kMeshBytesPerElement : 0.0);
    requireCount(source + ": points", n, "nodes", perNode);
    requireCount(source + ": hexahedra", elements, "elements", perElement);
    const std::string mesh = "a mesh of " + std::to_string(n) + " nodes and " + std::to_string(elements) + " elements";
    requireMemory(source + ": " + mesh, static_cast<double>(n) * perNode + static_cast<double>(elements) * perElement);

    return allocating(source + ": " + mesh, [&] {
        const auto p = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(pointsIn);
        const auto h = py::array_t<long long, py::array::c_style | py::array::forcecast>::ensure(hexahedraIn);
        HexMeshInput input;
        input.points.resize(static_cast<std::size_t>(3 * n));
        for (py::ssize_t i = 0; i < 3 * n; ++i) {
            input.points[static_cast<std::size_t>(i)] = static_cast<float>(p.data()[i]);
        }
        input.hexahedra.resize(static_cast<std::size_t>(h.size()));
        for (py::ssize_t i = 0; i < h.size(); ++i) {
            const long long id = h.data()[i];
            // Ids beyond int are out of range for any mesh; the builder names the rest.
            const bool fits = id >= std::numeric_limits<int>::min() && id <= std::numeric_limits<int>::max();
            if (!fits) {
                throw std::runtime_error(source + ": hexahedron " + std::to_string(i / 8) + " refers to node " +
                                         std::to_string(id) + ", outside [0, " + std::to_string(n) + ")");
            }
            input.hexahedra[static_cast<std::size_t>(i)] = static_cast<int>(id);
        }
        input.refrIndex = nodalValues(source, "refractive_index", refractiveIndex, n);
        input.absorptivity = nodalValues(source, "absorptivity", absorptivity, n);
        return input;
    });
}

// Builds the mesh; a failed allocation on the way names the mesh it was for.
void buildMesh(Lumetra& e, HexMeshInput& input, const HexMeshSource& source)
{
    const std::string mesh = "a mesh of " + std::to_string(input.points.size() / 3) + " nodes and " +
                             std::to_string(input.hexahedra.size() / 8) + " elements";
    allocating(source.name + ": " + mesh, [&] { e.load_mesh_arrays(input, source); });
}

// Watches a trace from Python between its batches of rays: Ctrl-C, the script's progress
// function, or a tqdm bar for a trace long enough to want one.
class TraceWatch {
public:
    explicit TraceWatch(py::object progress) : progress_(std::move(progress)) {}

    // Called without the interpreter lock; takes it for the length of the call.
    void update(int done, int total)
    {
        py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (PyCallable_Check(progress_.ptr())) {
            progress_(done, total);
        } else if (progress_.is_none() || (py::isinstance<py::bool_>(progress_) && progress_.cast<bool>())) {
            autoBar(done, total, !progress_.is_none());
        }
    }

    void finish()
    {
        if (!bar_.is_none()) bar_.attr("close")();
    }

    ~TraceWatch()
    {
        if (!bar_.is_none()) {
            try {
                bar_.attr("close")();
            } catch (...) {
            }
        }
    }

private:
    // always: progress=True asks for a bar whatever the trace's length.
    void autoBar(int done, int total, bool always)
    {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        if (bar_.is_none()) {
            // Worth a bar when the whole trace will take more than about three seconds.
            const bool worth = always || (done > 0 && elapsed >= 1.0 && elapsed * total / done >= 3.0);
            if (triedBar_ || !worth) return;
            triedBar_ = true;
            try {
                bar_ = py::module_::import("tqdm").attr("tqdm")(py::arg("total") = total, py::arg("unit") = "rays",
                                                                py::arg("desc") = "trace");
            } catch (const py::error_already_set&) {
                return; // tqdm is optional
            }
            shown_ = 0;
        }
        bar_.attr("update")(done - shown_);
        shown_ = done;
    }

    py::object progress_;
    py::object bar_ = py::none();
    bool triedBar_ = false;
    int shown_ = 0;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

// Names of appended fields: one point array each in the file beside the engine's own, so
// none may repeat or take an engine field's name (readers would keep only one of them).
void checkFieldNames(const std::vector<std::string>& names)
{
    static const char* const engineFields[] = {"Volumetric absorbed power Q", "RefractiveIndex", "Absorptivity"};
    if (names.size() > static_cast<std::size_t>(LightTransport::kMaxFieldNames)) {
        fail("write_result_append: at most " + std::to_string(LightTransport::kMaxFieldNames) + " named fields, not " +
             std::to_string(names.size()));
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (const char* taken : engineFields) {
            if (names[i] == taken) {
                fail("write_result_append: field_names[" + std::to_string(i) + "] '" + names[i] +
                     "' is a field the engine writes itself; choose another name");
            }
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (names[j] == names[i]) {
                fail("write_result_append: field_names[" + std::to_string(i) + "] '" + names[i] +
                     "' repeats field_names[" + std::to_string(j) + "]");
            }
        }
    }
}

// Paths arrive as str or os.PathLike (pathlib.Path).
using Path = std::filesystem::path;

// The first half of lumetra.Lumetra.load_mesh: the checks every reader would otherwise
// report in a format of its own, then the native reader for the files it reads (legacy
// ASCII VTK). False, after saying so, for a file it leaves to meshio: the Python method
// then reads it with lumetra.meshes.read and hands the arrays to loadMeshRead.
bool loadMeshNative(Lumetra& e, const Path& file)
{
    const std::string path = file.string();
    // Every reader would fail on these with a message of its own format: say what is wrong.
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (path.empty()) fail("load_mesh: the mesh file name is empty");
    if (!std::filesystem::exists(status)) fail("Mesh file " + path + ": no such file");
    if (std::filesystem::is_directory(status)) fail("Mesh file " + path + ": is a folder, not a file");
    if (std::FILE* probe = std::fopen(path.c_str(), "rb")) std::fclose(probe);
    else fail("Mesh file " + path + ": cannot be read: " + std::strerror(errno));
    if (readsAsLegacyAsciiVtk(path)) {
        allocating("Mesh file " + path, [&] { e.load_mesh(path); });
        return true;
    }
    msg::out("Reading mesh file through meshio: %s\n", path.c_str());
    return false;
}

// The second half: the arrays read from the file, built as the file's mesh (messages and
// refusals name the file).
void loadMeshRead(Lumetra& e, const Path& file, py::handle points, py::handle hexahedra, py::handle refractiveIndex,
                  py::handle absorptivity)
{
    const std::string source = "Mesh file " + file.string();
    HexMeshInput input = meshInput(source, points, hexahedra, refractiveIndex, absorptivity);
    buildMesh(e, input, {source, "in the file", "Mesh file loaded"});
}

py::dict traceSummary(const TraceStats& s)
{
    py::dict d;
    d["rays_missed"] = s.raysMissed;
    d["rays_refused"] = s.raysRefused;
    d["rays_entered"] = s.raysEntered;
    d["power_missed"] = s.powerMissed;
    d["power_incident"] = s.powerIncident;
    d["power_entered"] = s.powerEntered;
    d["power_absorbed"] = s.powerAbsorbed;
    d["power_left"] = s.powerLeft;
    d["power_stopped"] = s.powerStopped;
    d["element_visits"] = s.elementVisits;
    d["stopped_by_visit_limit"] = s.stoppedByVisitLimit;
    d["stopped_by_power_floor"] = s.stoppedByPowerFloor;
    d["stopped_without_exit"] = s.stoppedWithoutExit;
    d["unfinished_visits"] = s.unfinishedVisits;
    return d;
}

// A numeric array argument of `call` as float64, refused (ValueError, naming it) unless it
// holds numbers and has `rows` rows (-1: any) of `columns` values (0: a 1-D array).
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
DoubleArray numericArgument(const char* call, const char* name, py::handle value, py::ssize_t rows, int columns)
{
    const py::array a = py::module_::import("numpy").attr("asarray")(value);
    const char kind = a.dtype().kind();
    if (kind != 'i' && kind != 'u' && kind != 'f') {
        throw py::value_error(std::string(call) + ": " + name + " must hold numbers, not values of dtype " +
                              std::string(py::str(a.dtype())));
    }
    const bool shaped = columns == 0 ? a.ndim() == 1 : a.ndim() == 2 && a.shape(1) == columns;
    if (!shaped || (rows >= 0 && a.shape(0) != rows)) {
        const std::string n = rows >= 0 ? std::to_string(rows) : "n";
        throw py::value_error(std::string(call) + ": " + name + " must have shape (" + n +
                              (columns == 0 ? ",)" : ", " + std::to_string(columns) + ")") + ", not " + shapeText(a));
    }
    return DoubleArray::ensure(a);
}

// One of the per-ray results of the last trace; empty (after the engine's message) without one.
enum class ExitPart { Positions, Directions, Power };
Array rayExitArray(Lumetra& e, ExitPart part)
{
    if (!e.hasTrace()) {
        if (part == ExitPart::Power) return Array(py::ssize_t(0));
        return Array(std::vector<py::ssize_t>{0, 3});
    }
    const py::ssize_t n = e.get_ray_count();
    std::vector<double> positions(3 * static_cast<std::size_t>(n)), directions(positions.size());
    Array power(n);
    e.get_ray_exits(positions.data(), directions.data(), power.mutable_data());
    if (part == ExitPart::Power) return power;
    return rowsFromPlanes(part == ExitPart::Positions ? positions : directions, n);
}

const char* kClassDoc = "Main class for GPU-accelerated ray tracing and volumetric absorption calculations.\n\n"
                        "Typical workflow:\n"
                        "  1. Create engine: engine = Lumetra()\n"
                        "  2. Load mesh: engine.load_mesh('mesh.vtk')\n"
                        "  3. Load rays: engine.load_rays('rays.ry')\n"
                        "  4. Set solver type: engine.set_solver_type('RK4')  # or 'FE'\n"
                        "  5. Configure: engine.config()\n"
                        "  6. Name the output: engine.configure_outfilename('output.vtu')\n"
                        "  7. Compute absorption: engine.compute_volumetric_absorption()\n"
                        "  8. Get results: absorbed_power = engine.get_absorbed_power()\n"
                        "  9. Write output: engine.write_result()  # output_0.vtu";

// Every method holds the engine for its length. A trace releases the interpreter lock, so
// another thread (or the trace's own progress callback) could otherwise load a mesh or
// free rays under it: such a call is refused as busy instead.
class EngineUse {
public:
    EngineUse(const Lumetra& e, const char* method) : flag_(e.inUse)
    {
        if (flag_.exchange(true)) {
            throw std::runtime_error(std::string("Lumetra.") + method +
                                     ": the engine is busy with another call (a trace runs in another thread, or this "
                                     "is its progress callback); wait for it to end, or use another engine");
        }
    }
    ~EngineUse() { flag_.store(false); }
    EngineUse(const EngineUse&) = delete;
    EngineUse& operator=(const EngineUse&) = delete;

private:
    std::atomic<bool>& flag_;
};

template <typename Signature>
struct Guarded;

template <typename R, typename Self, typename... A>
struct Guarded<R(Self, A...)> {
    template <typename F>
    static auto wrap(const char* name, F f)
    {
        return [name, f](Self self, A... args) -> R {
            EngineUse use(self, name);
            return std::invoke(f, std::forward<Self>(self), std::forward<A>(args)...);
        };
    }
};

template <typename T>
struct MemberSignature;
template <typename R, typename... A>
struct MemberSignature<R (Lumetra::*)(A...)> {
    using type = R(Lumetra&, A...);
};
template <typename R, typename... A>
struct MemberSignature<R (Lumetra::*)(A...) const> {
    using type = R(const Lumetra&, A...);
};

template <typename F>
auto guarded(const char* name, F&& f)
{
    using D = std::decay_t<F>;
    if constexpr (std::is_member_function_pointer_v<D>) {
        return Guarded<typename MemberSignature<D>::type>::wrap(name, D(f));
    } else {
        return Guarded<py::detail::function_signature_t<D>>::wrap(name, D(std::forward<F>(f)));
    }
}

// The engine's class: every named method goes through EngineUse.
class EngineClass : public py::class_<Lumetra> {
public:
    using Base = py::class_<Lumetra>;
    using Base::Base;

    template <typename F, typename... Extra>
    EngineClass& def(const char* name, F&& f, const Extra&... extra)
    {
        Base::def(name, guarded(name, std::forward<F>(f)), extra...);
        return *this;
    }

    // A helper of a method written in Python: a busy engine is reported under the method's name.
    template <typename F, typename... Extra>
    EngineClass& defAs(const char* name, const char* method, F&& f, const Extra&... extra)
    {
        Base::def(name, guarded(method, std::forward<F>(f)), extra...);
        return *this;
    }

    template <typename... Args, typename... Extra>
    EngineClass& def(const py::detail::initimpl::constructor<Args...>& init, const Extra&... extra)
    {
        Base::def(init, extra...);
        return *this;
    }
};

// An address handed out to the curing modules, recorded with its kind (lumetra._addresses,
// through the register_address hook).
std::uintptr_t handOut(const Lumetra& e, const char* kind, std::uintptr_t address)
{
    if (address != 0) hook("register_address")(py::cast(&e, py::return_value_policy::reference), kind, address);
    return address;
}

} // namespace

void bindEngine(py::module_& m)
{
    EngineClass(m, "Lumetra", kClassDoc)
        .def(py::init<>(), "Initialize a new Lumetra instance\n\n"
                           "Creates an engine with no mesh, no rays and no tracers. Call order problems are\n"
                           "reported as printed messages, not exceptions.")
        .def("config", &Lumetra::config,
             "Configure the engine.\n\n"
             "Creates the finite-element tracer for the chosen solver and the surface tracer with its\n"
             "face grid. Must be called after loading the mesh and before computing; configuration\n"
             "comes from the mesh and the solver type, whose parameters are set through\n"
             "set_solver_type() and the other setters beforehand.\n\n"
             "Notes\n-----\n"
             "Calling it again creates a new tracer; a configured output name and its file counter\n"
             "carry over, and the absorbed power starts again from zero.\n\n"
             "Example\n-------\n"
             ">>> engine.load_mesh('mesh.vtk')\n>>> engine.set_solver_type('RK4')\n>>> engine.config()")
        .def("set_solver_type", &Lumetra::set_solver_type, py::arg("solver_type"),
             "Set the ray tracing solver type.\n\n"
             "Parameters\n----------\n"
             "solver_type : str\n"
             "    Options depend on the objective:\n"
             "    - 'FE': First-order explicit Euler method\n"
             "    - 'RK4': Fourth-order Runge-Kutta method (GRIN media)\n"
             "    Names are case-sensitive.\n\n"
             "Raises\n------\n"
             "ValueError\n"
             "    For any other name (after the message \"Solver type not recognized: ...; the\n"
             "    solver stays ...\"); the solver stays as it was, so a typo such as 'rk4' cannot\n"
             "    silently run Euler.\n\n"
             "Notes\n-----\nTakes effect at the next config().\n\n"
             "Example\n-------\n>>> engine.set_solver_type('RK4')")
        .defAs("_load_mesh_native", "load_mesh", &loadMeshNative, py::arg("mesh_file"),
               "The checks and the native reader of load_mesh(); False for a file left to meshio.")
        .defAs("_load_mesh_read", "load_mesh", &loadMeshRead, py::arg("mesh_file"), py::arg("points"),
               py::arg("hexahedra"), py::arg("refractive_index"), py::arg("absorptivity"),
               "Builds the mesh lumetra.meshes.read read from mesh_file (load_mesh()).")
        .def("set_constant_matprops", &Lumetra::set_constant_matprops, py::arg("refractive_index"),
             py::arg("absorptivity"),
             "Set constant material properties for all nodes.\n\n"
             "Parameters\n----------\n"
             "refractive_index : float\n    Refractive index n at every node.\n"
             "absorptivity : float\n    Absorptivity alpha at every node (absorptivity range [0, 1]).\n\n"
             "Example\n-------\n>>> engine.set_constant_matprops(1.5, 0.3)")
        .def("set_boundary_conditions", &Lumetra::set_boundary_conditions, py::arg("boundary_conditions"),
             "Assign face-based optical boundary conditions.\n\n"
             "Parameters\n----------\n"
             "boundary_conditions : list[OpticalBoundaryCondition]\n"
             "    Each record defines roughness, interaction mode, outside refractive index and a\n"
             "    list of global boundary-face ids. The records are copied.\n\n"
             "Notes\n-----\n"
             "Calling this replaces any previously assigned boundary conditions. A face named by\n"
             "several conditions takes the last one; invalid face ids are skipped with a warning.\n\n"
             "Example\n-------\n"
             ">>> bc = OpticalBoundaryCondition()\n>>> bc.faces = engine.select_boundary_faces_bbox(0, 1, 0, 1, 1, 1)\n"
             ">>> bc.refractive_index_real = 1.0\n>>> engine.set_boundary_conditions([bc])")
        .def("clear_boundary_conditions", &Lumetra::clear_boundary_conditions,
             "Remove all optical boundary conditions and reset face assignments.\n\n"
             "Example\n-------\n>>> engine.clear_boundary_conditions()")
        .def("get_boundary_condition_count", &Lumetra::get_boundary_condition_count,
             "Get the number of currently assigned optical boundary conditions.\n\n"
             "Returns\n-------\nint\n\n"
             "Example\n-------\n>>> engine.get_boundary_condition_count()")
        .def(
            "select_boundary_faces_bbox",
            [](Lumetra& e, double xMin, double xMax, double yMin, double yMax, double zMin, double zMax,
               bool requireAll, double tolerance) {
                return e.select_boundary_faces_bbox(requireAll, xMin, xMax, yMin, yMax, zMin, zMax, tolerance);
            },
            py::arg("x_min"), py::arg("x_max"), py::arg("y_min"), py::arg("y_max"), py::arg("z_min"), py::arg("z_max"),
            py::arg("require_all_nodes") = true, py::arg("tolerance") = 1e-9,
            "Select boundary face ids whose nodes lie inside an axis-aligned bounding box.\n\n"
            "Parameters\n----------\n"
            "x_min, x_max, y_min, y_max, z_min, z_max : float\n    Box limits (swapped limits are put in order).\n"
            "require_all_nodes : bool, optional\n"
            "    True (default): all 4 face nodes must be inside the box; False: any node suffices.\n"
            "tolerance : float, optional\n    Added to the bounds on every side (default 1e-9).\n\n"
            "Returns\n-------\nlist[int]\n    The selected global boundary-face ids, ascending.\n\n"
            "Example\n-------\n>>> top = engine.select_boundary_faces_bbox(0, 1, 0, 1, 1, 1)")
        .def(
            "select_boundary_faces_radial",
            [](Lumetra& e, double radiusMin, double radiusMax, bool requireAll, double tolerance) {
                return e.select_boundary_faces_radial(requireAll, radiusMin, radiusMax, tolerance);
            },
            py::arg("radius_min"), py::arg("radius_max"), py::arg("require_all_nodes") = true,
            py::arg("tolerance") = 1e-9,
            "Select boundary face ids whose nodes lie inside a cylindrical radial band.\n\n"
            "Parameters\n----------\n"
            "radius_min, radius_max : float\n"
            "    Radial band, with r = sqrt(x^2 + y^2), i.e. distance to the Z axis.\n"
            "require_all_nodes : bool, optional\n"
            "    True (default): all 4 face nodes must satisfy the radial range; False: any node.\n"
            "tolerance : float, optional\n    Added to the bounds (default 1e-9).\n\n"
            "Returns\n-------\nlist[int]\n    The selected global boundary-face ids, ascending.\n\n"
            "Example\n-------\n>>> wall = engine.select_boundary_faces_radial(0.99, 1.01)")
        .def(
            "write_boundary_face_groups_vtu",
            [](Lumetra& e, const Path& path, const std::vector<std::vector<int>>& groups, bool includeUnassigned) {
                e.write_boundary_face_groups_vtu(path.string(), groups, includeUnassigned);
            },
            py::arg("output_file"), py::arg("face_groups"), py::arg("include_unassigned_faces") = true,
            "Write boundary faces to VTU with integer GroupId cell data for visualization.\n\n"
            "Parameters\n----------\n"
            "output_file : str or os.PathLike\n    Path of the VTU file.\n"
            "face_groups : list[list[int]]\n    The group index in face_groups becomes GroupId.\n"
            "include_unassigned_faces : bool, optional\n"
            "    When True (default) faces in no group are written with GroupId=-1.\n\n"
            "Example\n-------\n>>> engine.write_boundary_face_groups_vtu('groups.vtu', [top, wall])")
        .def(
            "write_boundary_condition_groups_vtu",
            [](Lumetra& e, const Path& path, bool includeUnassigned) {
                e.write_boundary_condition_groups_vtu(path.string(), includeUnassigned);
            },
            py::arg("output_file"), py::arg("include_unassigned_faces") = true,
            "Write currently assigned boundary-condition groups to VTU for validation.\n\n"
            "Parameters\n----------\n"
            "output_file : str or os.PathLike\n    Path of the VTU file.\n"
            "include_unassigned_faces : bool, optional\n"
            "    When True (default) faces without a condition are written with GroupId=-1.\n\n"
            "Notes\n-----\nGroupId is the boundary-condition index.\n\n"
            "Example\n-------\n>>> engine.write_boundary_condition_groups_vtu('bcs.vtu')")
        .def(
            "load_rays",
            [](Lumetra& e, const Path& path) {
                allocating("Ray file " + path.string(), [&] { e.load_rays(path.string()); });
            },
            py::arg("rays_file"),
            "Load ray data from file.\n\n"
            "Parameters\n----------\n"
            "rays_file : str or os.PathLike\n"
            "    A .ry format file with ray origins, directions and power values: a count line,\n"
            "    then px py pz dx dy dz power for every ray.\n\n"
            "Raises\n------\n"
            "RuntimeError\n    If the file cannot be opened, holds fewer or more rays than it declares or\n"
            "    declares more than the engine holds (about 7.2e8); the previous rays stay loaded.\n"
            "MemoryError\n    If the rays do not fit in memory (the message names the file).\n\n"
            "Example\n-------\n>>> engine.load_rays('rays.ry')")
        .def(
            "set_rays",
            [](Lumetra& e, py::handle positions, py::handle directions, py::handle powers) {
                const DoubleArray p = numericArgument("set_rays", "positions", positions, -1, 3);
                const py::ssize_t n = p.shape(0);
                const DoubleArray d = numericArgument("set_rays", "directions", directions, n, 3);
                const DoubleArray w = numericArgument("set_rays", "powers", powers, n, 0);
                allocating("set_rays: " + std::to_string(n) + " rays",
                           [&] { e.set_rays(p.data(), d.data(), w.data(), static_cast<std::size_t>(n)); });
            },
            py::arg("positions"), py::arg("directions"), py::arg("powers"),
            "Replace the rays by rays given as arrays.\n\n"
            "The rays become exactly those load_rays() reads from a file holding the same values:\n"
            "single precision, directions normalised, placed on the mesh surface by the next trace.\n\n"
            "Parameters\n----------\n"
            "positions : array_like\n    Shape (n, 3), n >= 1: where each ray starts.\n"
            "directions : array_like\n    Shape (n, 3): non-zero; normalised here.\n"
            "powers : array_like\n    Shape (n,): non-negative.\n\n"
            "Raises\n------\n"
            "ValueError\n"
            "    Naming the argument (and its first bad row): a shape that does not fit, no rays,\n"
            "    values that are not numbers, not finite or beyond single precision, a zero\n"
            "    direction, a negative power. The previous rays stay loaded.\n"
            "MemoryError\n    If the rays do not fit in memory.\n\n"
            "Example\n-------\n"
            ">>> engine.set_rays([[0, 0, 5]], [[0, 0, -1]], [1.0])")
        .def(
            "configure_outfilename", [](Lumetra& e, const Path& path) { e.configure_outfilename(path.string()); },
            py::arg("output_file"),
            "Set the output filename for result data.\n\n"
            "Parameters\n----------\n"
            "output_file : str or os.PathLike\n"
            "    Path of the output VTU files, used by write_result() and write_result_append();\n"
            "    each written file gets _0, _1, ... before the extension of the file name (a name\n"
            "    without extension gets .vtu first; dots in directory names are left alone).\n\n"
            "Raises\n------\n"
            "RuntimeError\n"
            "    From write_result(), after the message \"Error: Cannot open file ... for writing\", when\n"
            "    a file cannot be written; the counter does not advance then.\n\n"
            "Notes\n-----\nThe absorbed-power storage is zeroed; its device address stays the same while the\n"
            "node count does.\n\n"
            "Example\n-------\n>>> engine.configure_outfilename('results/run.vtu')")
        .def(
            "compute_volumetric_absorption",
            [](Lumetra& e, const py::object& progress) {
                TraceWatch watch(progress);
                {
                    py::gil_scoped_release release;
                    e.compute_volumetric_absorption([&watch](int done, int total) { watch.update(done, total); });
                }
                watch.finish();
            },
            py::arg("progress") = py::none(),
            "Compute volumetric absorption by tracing rays through the mesh.\n\n"
            "GPU ray tracing of absorbed power at each node; results via get_absorbed_power() or\n"
            "write_result(). Requires config(), load_mesh(), load_rays() and material properties;\n"
            "missing configuration steps are completed with defaults and announced.\n\n"
            "Parameters\n----------\n"
            "progress : None, bool or callable, optional\n"
            "    None (default): a tqdm progress bar on standard error for a trace that takes more\n"
            "    than a few seconds, when tqdm is installed. True: a bar for any trace. False:\n"
            "    none. A callable is called as\n"
            "    progress(done, total) with the rays traced so far, between batches of rays.\n\n"
            "Raises\n------\n"
            "KeyboardInterrupt\n"
            "    On Ctrl-C (checked between batches of rays, about four times a second); the\n"
            "    absorbed power is then as it was before the call and the engine stays usable.\n"
            "RuntimeError\n"
            "    When rays start inside the mesh (the message counts them and gives the first):\n"
            "    nothing is traced and the rays stay where they were.\n\n"
            "Notes\n-----\nResults accumulate over computations until reset_absorbed_power(). The trace runs\n"
            "without holding the interpreter lock, so other Python threads keep running; a call on\n"
            "the same engine meanwhile (from another thread or from the progress callback) raises\n"
            "RuntimeError: the engine is busy.\n\n"
            "Example\n-------\n>>> engine.compute_volumetric_absorption()")
        .def(
            "trace_adjoint",
            [](Lumetra& e, py::handle field, const py::object& progress) {
                const DoubleArray g = numericArgument("trace_adjoint", "field", field, e.get_node_count(), 0);
                Array out(e.get_ray_count());
                TraceWatch watch(progress);
                bool traced;
                {
                    py::gil_scoped_release release;
                    traced = e.trace_adjoint(g.data(), out.mutable_data(),
                                             [&watch](int done, int total) { watch.update(done, total); });
                }
                watch.finish();
                if (!traced) fail("trace_adjoint: the engine cannot trace yet (see its message)");
                return out;
            },
            py::arg("field"), py::arg("progress") = py::none(),
            "The transpose of the trace: per ray, its deposits per unit power weighed by a nodal field.\n\n"
            "A trace of ray powers p adds the absorbed power A p (get_absorbed_power()); this gives\n"
            "A^T g, so that dot(A p, g) == dot(p, A^T g): the gradient of any function of the absorbed\n"
            "power with respect to the ray powers, for g its gradient with respect to the power.\n"
            "Element i is the sum, over every deposit ray i makes, of the deposit per unit initial\n"
            "ray power times g at that node, through the same placement, boundary optics, graded\n"
            "index and attenuation as the next compute_volumetric_absorption(). It costs about one\n"
            "trace.\n\n"
            "Parameters\n----------\n"
            "field : array_like\n    Shape (nNodes,), finite.\n"
            "progress : None, bool or callable, optional\n"
            "    As for compute_volumetric_absorption(): None (default) a progress bar for a trace\n"
            "    that takes more than a few seconds, True always, False never, or a callable\n"
            "    progress(done, total).\n\n"
            "Returns\n-------\nnumpy.ndarray\n    Shape (nRays,): 0 for a ray that misses the mesh.\n\n"
            "Raises\n------\n"
            "ValueError\n    If field does not have one finite number per node.\n"
            "RuntimeError\n    If the engine cannot trace yet (no mesh or no rays; after its message).\n"
            "KeyboardInterrupt\n    On Ctrl-C, checked between batches of rays.\n\n"
            "Notes\n-----\n"
            "The absorbed power, the last trace's per-ray results and the rays' seeds are left as they\n"
            "were: a rough face draws the same microfacet normals in the next forward trace, whose\n"
            "map this is (a forward trace advances the seeds, so each trace on rough faces applies\n"
            "a map of its own).\n\n"
            "Example\n-------\n"
            ">>> gradient = engine.trace_adjoint(2 * (engine.get_absorbed_power() - target))")
        .def(
            "record_deposits",
            [](Lumetra& e) {
                std::vector<int> nodes, rays;
                std::vector<float> values;
                bool traced;
                {
                    py::gil_scoped_release release;
                    traced = allocating("record_deposits", [&] { return e.record_deposits(nodes, rays, values); });
                }
                if (!traced) fail("record_deposits: the engine cannot trace yet (see its message)");
                const py::ssize_t n = static_cast<py::ssize_t>(values.size());
                py::array_t<std::int32_t> nodeIds(n), rayIds(n);
                Array deposits(n);
                for (py::ssize_t i = 0; i < n; ++i) {
                    nodeIds.mutable_data()[i] = nodes[static_cast<std::size_t>(i)];
                    rayIds.mutable_data()[i] = rays[static_cast<std::size_t>(i)];
                    deposits.mutable_data()[i] = values[static_cast<std::size_t>(i)];
                }
                return py::make_tuple(nodeIds, rayIds, deposits);
            },
            "Every deposit of one trace: the matrix of the map from ray powers to absorbed power.\n\n"
            "Returns\n-------\ntuple of numpy.ndarray\n"
            "    (nodes, rays, values): deposit values[k] per unit power of ray rays[k] at node\n"
            "    nodes[k], in absorbed power per unit volume; pairs repeat (one entry per element\n"
            "    visit) and are summed. lumetra.optics_map.record_matrix builds the sparse matrix.\n\n"
            "Raises\n------\nRuntimeError\n    If the engine cannot trace yet (after its message).\n\n"
            "Notes\n-----\n"
            "The trace is that of trace_adjoint(): the rays of the next forward trace, with power 1,\n"
            "seeds left as they were; nothing in the engine changes. It holds one entry per node per\n"
            "element visit (about 8 times the element visits): for small problems.\n\n"
            "Example\n-------\n>>> nodes, rays, values = engine.record_deposits()")
        .def("get_ray_count", &Lumetra::get_ray_count,
             "Get the number of rays currently loaded in the engine.\n\n"
             "Returns\n-------\nint\n    0 before rays are loaded.\n\n"
             "Example\n-------\n>>> engine.get_ray_count()")
        .def("get_node_count", &Lumetra::get_node_count,
             "Get the number of nodes in the loaded mesh.\n\n"
             "Returns\n-------\nint\n    0 before a mesh is loaded.\n\n"
             "Example\n-------\n>>> engine.get_node_count()")
        .def(
            "get_mesh_data_devlink_ptr",
            [](Lumetra& e) { return handOut(e, "devlink", e.get_mesh_data_devlink_ptr()); },
            "Get the host pointer address of mesh.h_mdata_devlink.\n\n"
            "Returns\n-------\nint\n"
            "    Host address (not a device pointer) that can be passed to exposa.Exposa.reaction_step().\n"
            "    0 (after a message) before a mesh is loaded.\n\n"
            "Notes\n-----\nValid while the engine lives: load_mesh refills the record in place. The arrays it\n"
            "names are read afresh on every use, so a curing model needs no new address after\n"
            "load_mesh (but a new nodal grid: Curalis.initialize_accelerator).\n\n"
            "Example\n-------\n>>> link = engine.get_mesh_data_devlink_ptr()")
        .def(
            "get_mesh_ptr", [](Lumetra& e) { return handOut(e, "mesh", e.get_mesh_ptr()); },
            "Get the host pointer address of the Mesh object.\n\n"
            "Returns\n-------\nint\n"
            "    Host address (not a device pointer) that can be passed to\n"
            "    curalis.Curalis.initialize_accelerator(). 0 (after a message) before a mesh is loaded.\n\n"
            "Notes\n-----\nValid while the engine lives; load_mesh replaces the mesh's contents in place.\n\n"
            "Example\n-------\n>>> mesh_address = engine.get_mesh_ptr()")
        .def(
            "get_result_array_device_ptr",
            [](Lumetra& e) { return handOut(e, "result", e.get_result_array_device_ptr()); },
            "Get the device pointer address of fert->getResultArrayDevicePtr().\n\n"
            "Returns\n-------\nint\n"
            "    CUDA device address that can be passed to exposa.Exposa.reaction_step(). 0 (after a\n"
            "    message) before the objective is configured.\n\n"
            "Notes\n-----\nThe address stays valid (its contents zeroed) across configure_outfilename, a\n"
            "second config() and load_mesh of a mesh with the same node count. Only load_mesh of a\n"
            "mesh with another node count moves it, and it dies with the engine.\n\n"
            "Example\n-------\n>>> power = engine.get_result_array_device_ptr()")
        .def(
            "get_absorbed_power",
            [](Lumetra& e) {
                Array out(e.get_node_count());
                if (!e.get_absorbed_power(out.mutable_data())) return Array(0);
                return out;
            },
            "Get absorbed power at each mesh node.\n\n"
            "Returns\n-------\nnumpy.ndarray\n"
            "    Shape (nNodes,), absorbed power in W per unit volume at each node; an empty array\n"
            "    (after a message) before the tracer and its result exist.\n\n"
            "Example\n-------\n>>> q = engine.get_absorbed_power()")
        .def(
            "set_absorbed_power",
            [](Lumetra& e, const Array& q) {
                if (q.ndim() != 1) fail("Input must be a 1-D array");
                if (q.shape(0) != e.get_node_count()) fail("Array size must match node count");
                if (!e.set_absorbed_power(q.data())) fail("set_absorbed_power: no light_transport result yet");
            },
            py::arg("absorbed_power"),
            "Replace the absorbed power at each mesh node: the array that get_absorbed_power() reads\n"
            "and get_result_array_device_ptr() points to, so the next curing step sees these values.\n\n"
            "Parameters\n----------\nabsorbed_power : array_like\n"
            "    Shape (nNodes,), non-negative, in W per unit volume.\n\n"
            "Raises\n------\nRuntimeError\n"
            "    If the array is not 1-D, its size does not match the node count, a value is negative\n"
            "    or not finite, or there is no light_transport result yet (config() first).\n\n"
            "Notes\n-----\nFor runs over several processes: each traces a share of the rays, the shares are\n"
            "summed (an MPI all-reduce) and written back before the curing step.\n\n"
            "Example\n-------\n>>> engine.set_absorbed_power(2 * engine.get_absorbed_power())")
        .def(
            "get_ray_payloads",
            [](Lumetra& e) {
                Array out(e.get_ray_count());
                if (!e.get_ray_payloads(out.mutable_data())) return Array(0);
                return out;
            },
            "Get per-ray payload/intensity values as a NumPy array.\n\n"
            "Returns\n-------\nnumpy.ndarray\n    Shape (nRays,); empty (after a message) before rays are loaded.\n\n"
            "Example\n-------\n>>> p = engine.get_ray_payloads()")
        .def(
            "get_absorptivity", [](Lumetra& e) { return nodeArray(e, &Lumetra::get_absorptivity); },
            "Get absorptivity values at each mesh node.\n\n"
            "Returns\n-------\nnumpy.ndarray\n    Shape (nNodes,), absorptivity in [0-1].\n\n"
            "Example\n-------\n>>> a = engine.get_absorptivity()")
        .def(
            "get_refractive_index", [](Lumetra& e) { return nodeArray(e, &Lumetra::get_refractive_index); },
            "Get refractive index values at each mesh node.\n\n"
            "Returns\n-------\nnumpy.ndarray\n    Shape (nNodes,).\n\n"
            "Example\n-------\n>>> n = engine.get_refractive_index()")
        .def(
            "get_node_positions",
            [](Lumetra& e) {
                const py::ssize_t n = e.get_node_count();
                std::vector<double> planes(3 * static_cast<std::size_t>(n));
                e.get_node_positions(planes.data());
                return rowsFromPlanes(planes, n);
            },
            "Get mesh node positions.\n\n"
            "Returns\n-------\nnumpy.ndarray\n    Shape (nNodes, 3); row i is x_i, y_i, z_i.\n\n"
            "Example\n-------\n>>> xyz = engine.get_node_positions()")
        .def(
            "set_absorptivity", [](Lumetra& e, const Array& a) { setNodeArray(e, a, &Lumetra::set_absorptivity); },
            py::arg("absorptivity"),
            "Set absorptivity values for all mesh nodes.\n\n"
            "Parameters\n----------\nabsorptivity : array_like\n    Shape (nNodes,).\n\n"
            "Raises\n------\nRuntimeError\n    If the array is not 1-D or its size does not match the node count.\n\n"
            "Example\n-------\n>>> engine.set_absorptivity(np.full(engine.get_node_count(), 0.2))")
        .def(
            "set_ray_payloads",
            [](Lumetra& e, const Array& p) {
                if (p.ndim() != 1) fail("Input must be a 1-D array");
                if (p.shape(0) != e.get_ray_count()) fail("Array size must match ray count");
                e.set_ray_payloads(p.data());
            },
            py::arg("payloads"),
            "Set per-ray payload/intensity values from a NumPy array.\n\n"
            "Parameters\n----------\npayloads : array_like\n    Shape (nRays,).\n\n"
            "Raises\n------\nRuntimeError\n    If the array is not 1-D or its size does not match the ray count.\n\n"
            "Example\n-------\n>>> engine.set_ray_payloads(np.ones(engine.get_ray_count()))")
        .def(
            "set_refractive_index",
            [](Lumetra& e, const Array& n) { setNodeArray(e, n, &Lumetra::set_refractive_index); },
            py::arg("refractive_index"),
            "Set refractive index values for all mesh nodes.\n\n"
            "Parameters\n----------\nrefractive_index : array_like\n    Shape (nNodes,).\n\n"
            "Raises\n------\nRuntimeError\n    If the array is not 1-D or its size does not match the node count.\n\n"
            "Example\n-------\n>>> engine.set_refractive_index(1.5 + 0.01 * engine.get_node_positions()[:, 0])")
        .def(
            "set_node_positions",
            [](Lumetra& e, const Array& p) {
                if (p.ndim() != 2 || p.shape(1) != 3) fail("Input must be a (nNodes, 3) array");
                const py::ssize_t n = e.get_node_count();
                if (p.shape(0) != n) fail("Array size must match node count");
                std::vector<double> planes(3 * static_cast<std::size_t>(n));
                for (py::ssize_t i = 0; i < n; ++i)
                    for (int c = 0; c < 3; ++c) planes[static_cast<std::size_t>(c * n + i)] = p.at(i, c);
                e.set_node_positions(planes.data());
            },
            py::arg("positions"),
            "Set mesh node positions.\n\n"
            "Parameters\n----------\npositions : array_like\n"
            "    Shape (nNodes, 3); meant for deforming the mesh in coupled simulations.\n\n"
            "Raises\n------\nRuntimeError\n"
            "    If the array is not 2-D with shape (nNodes, 3), or if the new positions would\n"
            "    invert, flatten or tangle an element (the positions are then left unchanged).\n\n"
            "Notes\n-----\n"
            "Face normals, nodal volumes and the surface grid follow the new positions: they are\n"
            "rebuilt before the next computation, write or get_nodal_volumes(), and the rays are\n"
            "placed on the moved surface again.\n\n"
            "Example\n-------\n>>> engine.set_node_positions(engine.get_node_positions() * 1.01)")
        .def("reset_absorbed_power", &Lumetra::reset_absorbed_power,
             "Reset absorbed power to zero for all nodes.\n\n"
             "For repeated simulations without reloading mesh and rays.\n\n"
             "Example\n-------\n>>> engine.reset_absorbed_power()")
        .def(
            "rotate_reset_rays",
            [](Lumetra& e, const Array& axis, double angle) {
                if (axis.ndim() != 1 || axis.shape(0) != 3) fail("Axis must be a 3-element array [x, y, z]");
                e.rotate_reset_rays(axis.at(0), axis.at(1), axis.at(2), angle);
            },
            py::arg("axis"), py::arg("angle"),
            "Rotate rays around an axis and reset their surface flags.\n\n"
            "Parameters\n----------\n"
            "axis : array_like\n    A 3-element array or list [x, y, z], automatically normalized.\n"
            "angle : float\n    In radians; positive angles follow the right-hand rule.\n\n"
            "Raises\n------\nRuntimeError\n    If axis does not have exactly three elements.\n\n"
            "Notes\n-----\n"
            "Every ray first moves back 10 length units along its direction. The surface flag\n"
            "reset lets rays re-enter the domain at the next computation.\n\n"
            "Example\n-------\n>>> engine.rotate_reset_rays([0, 0, 1], np.pi / 8)")
        .def("write_result", &Lumetra::write_result,
             "Write simulation results to a VTU file.\n\n"
             "Writes absorbed power, absorptivity and refractive index fields, readable by ParaView\n"
             "and other VTK tools. The output name must be set with configure_outfilename().\n\n"
             "Example\n-------\n>>> engine.write_result()")
        .def(
            "write_result_append",
            [](Lumetra& e, const Array& fields, py::object fieldNames) {
                const py::ssize_t N = e.get_node_count();
                if (N == 0) {
                    // No mesh: the engine says so; nothing to divide by.
                    e.write_result_append(nullptr, 0);
                    return;
                }
                py::ssize_t nFields = 0;
                if (fields.ndim() == 1) {
                    if (fields.shape(0) % N != 0) fail("1D array size must be a multiple of node count");
                    nFields = fields.shape(0) / N;
                } else if (fields.ndim() == 2) {
                    if (fields.shape(1) != N) fail("Second dimension must match node count");
                    nFields = fields.shape(0);
                } else {
                    fail("Input must be a 1D or 2D array");
                }
                if (fieldNames.is_none()) {
                    e.write_result_append(fields.data(), static_cast<int>(nFields));
                    return;
                }
                const auto names = fieldNames.cast<std::vector<std::string>>();
                if (static_cast<py::ssize_t>(names.size()) != nFields)
                    fail("field_names length must match number of fields");
                for (const std::string& name : names)
                    if (name.empty()) fail("field_names entries must be non-empty");
                checkFieldNames(names);
                e.write_result_append(fields.data(), static_cast<int>(nFields), names);
            },
            py::arg("fields"), py::arg("field_names") = py::none(),
            "Write simulation results with additional custom fields to VTU file.\n\n"
            "Parameters\n----------\n"
            "fields : array_like\n"
            "    Either a 1-D array of nNodes x nFields values stored field after field, or a 2-D\n"
            "    array of shape (nFields, nNodes).\n"
            "field_names : list[str], optional\n"
            "    One non-empty name per field. If omitted, legacy naming is used (Field for 1 field,\n"
            "    Field_0..N for many).\n\n"
            "Raises\n------\nRuntimeError\n    If the shape or the names do not match.\n\n"
            "Example\n-------\n"
            ">>> engine.write_result_append(np.stack([T, X]), field_names=['Temperature', 'Conversion'])")
        .def(
            "set_objective",
            [](Lumetra& e, const std::string& kind, const py::object& config) {
                const ObjectiveKind k = objectiveKindArgument(kind);
                std::optional<ConfigTable> table;
                if (!config.is_none()) table = configTableFrom(config);
                e.set_objective(k, std::move(table));
            },
            py::arg("kind"), py::arg("config") = py::none(),
            "Choose what the next tracer computes.\n\n"
            "Parameters\n----------\n"
            "kind : str\n"
            "    'light_transport' (the default: absorbed power per node, VTU files), 'render'\n"
            "    (a picture of the mesh surface coloured by face normal, BMP files) or\n"
            "    'optical_path' (exit point, path length and power of ray 0 after every element,\n"
            "    CSV files).\n"
            "config : dict or str or os.PathLike, optional\n"
            "    The objective's settings, or the path of a TOML file holding them:\n"
            "    render: pixel_width, pixel_height (int), pixel_size (float), output_file (str);\n"
            "    optical_path: output_file (str), datapoints_amount (int, samples kept);\n"
            "    light_transport: output_file (str), or None for the default behaviour.\n\n"
            "Raises\n------\n"
            "RuntimeError\n"
            "    For an unknown kind, a missing configuration, or a key that is missing or of the\n"
            "    wrong type (the message names the key and the type expected); nothing changes then.\n"
            "TypeError\n    If config is neither a dict nor a path.\n\n"
            "Notes\n-----\n"
            "The next config() (or the first computation, if config() was not called) builds the\n"
            "tracer with this objective; compute_volumetric_absorption() then traces with it and\n"
            "write_result() writes its file, named output_file with _0, _1, ... before the last dot.\n"
            "get_absorbed_power() and get_result_array_device_ptr() answer only for light_transport;\n"
            "use get_image() and get_optical_path() for the others. A render paints pixel i with\n"
            "ray i: generate the rays with generate_camera_rays() of the same size.\n\n"
            "Example\n-------\n"
            ">>> engine.set_objective('render', {'pixel_width': 64, 'pixel_height': 48,\n"
            "...                                 'pixel_size': 0.05, 'output_file': 'view.bmp'})\n"
            ">>> engine.generate_camera_rays([0.5, 0.5, 3], [0, 0, -1], 48, 64, 0.05)\n"
            ">>> engine.config()\n>>> engine.compute_volumetric_absorption()\n>>> engine.write_result()")
        .def(
            "generate_camera_rays",
            [](Lumetra& e, const Array& position, const Array& direction, long long height, long long width,
               double pixelSize) {
                e.generate_camera_rays(vec3Argument(position, "position"), vec3Argument(direction, "direction"), height,
                                       width, pixelSize);
            },
            py::arg("position"), py::arg("direction"), py::arg("height"), py::arg("width"), py::arg("pixel_size"),
            "Replace the rays by a camera's: one ray per pixel, in raster order.\n\n"
            "Parameters\n----------\n"
            "position : array_like\n    Centre of the pixel grid [x, y, z]; place it outside the mesh.\n"
            "direction : array_like\n    Viewing direction [x, y, z]; normalised.\n"
            "height, width : int\n    Rows and pixels per row.\n"
            "pixel_size : float\n    Pixel pitch in mesh length units.\n\n"
            "Raises\n------\n"
            "RuntimeError\n"
            "    If position or direction is not a 3-element array, the direction is zero, the pixel\n"
            "    size is not positive, or the image is empty or too large; the rays stay as they were.\n\n"
            "Notes\n-----\n"
            "All rays are parallel to the direction, with power 1. Ray r * width + c is column c of\n"
            "row r; row 0 is the bottom row. The grid's row axis is direction x (0, 0, 1) and its\n"
            "column axis (up) is row axis x direction; looking along the z axis the row axis is\n"
            "direction x (0, 1, 0) instead, so looking down -z shows x to the right and y up.\n\n"
            "Example\n-------\n>>> engine.generate_camera_rays([0.5, 0.5, 3], [0, 0, -1], 48, 64, 0.05)")
        .def(
            "get_image",
            [](Lumetra& e) {
                std::vector<double> planes;
                int rows = 0, columns = 0;
                if (!e.get_image(planes, rows, columns)) return Array(std::vector<py::ssize_t>{0, 0, 3});
                Array out(std::vector<py::ssize_t>{rows, columns, 3});
                double* o = out.mutable_data();
                const std::size_t P = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
                for (int r = 0; r < rows; ++r) {
                    const std::size_t top = static_cast<std::size_t>(rows - 1 - r); // pictures start at the top
                    for (int c = 0; c < columns; ++c) {
                        const std::size_t i = static_cast<std::size_t>(r) * columns + c;
                        double* px = o + 3 * (top * columns + c);
                        for (int p = 0; p < 3; ++p) px[p] = planes[p * P + i];
                    }
                }
                return out;
            },
            "Get the rendered picture.\n\n"
            "Returns\n-------\nnumpy.ndarray\n"
            "    Shape (height, width, 3): red, green, blue in [0, 1], top row first, as\n"
            "    matplotlib's imshow shows it; pixels no ray painted are 0. Shape (0, 0, 3), after a\n"
            "    message, when the active objective is not 'render'.\n\n"
            "Notes\n-----\n"
            "The colour shows the normal n of the face the ray entered, turned against the ray:\n"
            "red = (1 - n_z) / 2, green = (1 - n_x) / 2, blue = (1 - n_y) / 2.\n\n"
            "Example\n-------\n>>> import matplotlib.pyplot as plt\n>>> plt.imshow(engine.get_image())")
        .def(
            "get_optical_path",
            [](Lumetra& e) {
                std::vector<double> samples;
                const bool ok = e.get_optical_path(samples);
                const py::ssize_t n = ok ? static_cast<py::ssize_t>(samples.size() / 5) : 0;
                Array flat(std::vector<py::ssize_t>{n, 5});
                std::copy(samples.begin(), samples.begin() + 5 * n, flat.mutable_data());
                const py::module_ np = py::module_::import("numpy");
                py::list fields;
                for (const char* name : {"x", "y", "z", "s", "E"}) fields.append(py::make_tuple(name, "f8"));
                return py::module_::import("numpy.lib.recfunctions")
                    .attr("unstructured_to_structured")(flat, np.attr("dtype")(fields));
            },
            "Get the sampled path of ray 0.\n\n"
            "Returns\n-------\nnumpy.ndarray\n"
            "    A structured array with fields x, y, z (the exit point of each element the ray\n"
            "    crossed, in order), s (path length so far) and E (remaining power): the numbers of\n"
            "    the CSV file write_result() writes. Empty, after a message, when the active\n"
            "    objective is not 'optical_path'.\n\n"
            "Example\n-------\n>>> path = engine.get_optical_path()\n>>> plt.plot(path['x'], path['z'])")
        .def(
            "load_mesh_arrays",
            [](Lumetra& e, py::handle points, py::handle hexahedra, py::handle refractiveIndex,
               py::handle absorptivity) {
                const std::string source = "load_mesh_arrays";
                HexMeshInput input = meshInput(source, points, hexahedra, refractiveIndex, absorptivity);
                buildMesh(e, input, {source, "given", "Mesh loaded from arrays"});
            },
            py::arg("points"), py::arg("hexahedra"), py::arg("refractive_index") = py::none(),
            py::arg("absorptivity") = py::none(),
            "Load a hexahedral mesh from arrays.\n\n"
            "The mesh is built exactly as load_mesh() builds a file: connectivity, boundary faces\n"
            "and normals, the constant-index check and the nodal volumes, with the same messages.\n\n"
            "Parameters\n----------\n"
            "points : array_like\n    Node coordinates, shape (N, 3).\n"
            "hexahedra : array_like of int\n"
            "    Node ids of each element, shape (E, 8), in VTK's hexahedron order (nodes 0-3 one\n"
            "    face counter-clockwise seen from inside, 4-7 the opposite face in the same order).\n"
            "refractive_index, absorptivity : array_like, optional\n"
            "    Nodal values, shape (N,); index 1 and absorptivity 0 (with a warning) when omitted.\n\n"
            "Raises\n------\n"
            "RuntimeError\n"
            "    If a shape is wrong, the values are not numbers (node ids not integers), a\n"
            "    coordinate or field value is not finite, a node id is outside [0, N), there are no\n"
            "    elements, or an element is degenerate or tangled. The previous mesh stays loaded.\n"
            "MemoryError\n"
            "    If N or E is more than the engine holds (about 7.2e8 nodes, 2.7e8 elements) or the\n"
            "    mesh would need more memory than is available; the message names the array and\n"
            "    the memory. Checked from the shapes, before anything is copied.\n\n"
            "Notes\n-----\n"
            "Elements with mirrored node order are reordered to positive volume (one warning line\n"
            "counts them). Clears the boundary conditions, as load_mesh() does.\n\n"
            "Example\n-------\n"
            ">>> from lumetra import meshes\n>>> engine.load_mesh_arrays(*meshes.box(4, 4, 8, size=(1, 1, 2)))")
        .def(
            "get_nodal_volumes",
            [](Lumetra& e) {
                Array out(e.get_node_count());
                e.get_nodal_volumes(out.mutable_data());
                return out;
            },
            "Get the lumped volume of each mesh node.\n\n"
            "Returns\n-------\nnumpy.ndarray\n"
            "    Shape (nNodes,): one eighth of the volume of every element that uses the node,\n"
            "    summed. get_absorbed_power() * get_nodal_volumes() is the power absorbed at each\n"
            "    node in W.\n\n"
            "Example\n-------\n>>> watts = (engine.get_absorbed_power() * engine.get_nodal_volumes()).sum()")
        .def(
            "get_trace_summary",
            [](Lumetra& e) { return e.hasTrace() ? traceSummary(e.lastTraceStats()) : py::dict(); },
            "Get the counters and the power balance of the last computation.\n\n"
            "Returns\n-------\ndict\n"
            "    rays_missed, power_missed : rays without a start face (they miss the mesh).\n"
            "    power_incident : power of the rays that reach a start face.\n"
            "    rays_refused : rays reflected at their start face (their power does not enter).\n"
            "    rays_entered, power_entered : rays and power that crossed their start face.\n"
            "    power_absorbed : power absorbed in the elements (the sum of\n"
            "        get_absorbed_power() * get_nodal_volumes() for one computation).\n"
            "    power_left : power that left through the boundary: through faces without a\n"
            "        condition, transmitted by a condition (with the share it reflects, which the\n"
            "        walk does not follow), or not reflected by a reflecting condition.\n"
            "    power_stopped : power still in flight when a walk was stopped.\n"
            "    stopped_by_visit_limit, stopped_by_power_floor, stopped_without_exit : walks\n"
            "        stopped after 100000 element visits, below 1e-9 of the power they entered\n"
            "        with, or where the mesh gives no way on.\n"
            "    element_visits : element visits of all rays.\n"
            "    power_entered = power_absorbed + power_left + power_stopped to float accuracy.\n"
            "    Empty (after a message) before a computation with the current mesh and rays.\n\n"
            "Example\n-------\n>>> s = engine.get_trace_summary()\n>>> s['power_absorbed'] / s['power_entered']")
        .def(
            "get_ray_start_faces",
            [](Lumetra& e) {
                if (!e.hasTrace()) return py::array_t<int>(0);
                py::array_t<int> out(e.get_ray_count());
                e.get_ray_start_faces(out.mutable_data());
                return out;
            },
            "Get the boundary face each ray entered through in the last computation.\n\n"
            "Returns\n-------\nnumpy.ndarray\n"
            "    Shape (nRays,), int32 boundary-face ids; -1 for rays that miss the mesh. Empty\n"
            "    (after a message) before a computation.\n\n"
            "Example\n-------\n>>> missed = (engine.get_ray_start_faces() < 0).sum()")
        .def(
            "get_ray_exit_positions", [](Lumetra& e) { return rayExitArray(e, ExitPart::Positions); },
            "Get where each ray ended in the last computation.\n\n"
            "Returns\n-------\nnumpy.ndarray\n"
            "    Shape (nRays, 3): the point where the ray left the mesh (within 0.001 of an\n"
            "    element in local coordinates), where its walk stopped, its start point when it was\n"
            "    refused there, or its position when it missed the mesh. Empty (after a message)\n"
            "    before a computation.\n\n"
            "Example\n-------\n>>> ends = engine.get_ray_exit_positions()")
        .def(
            "get_ray_exit_directions", [](Lumetra& e) { return rayExitArray(e, ExitPart::Directions); },
            "Get the direction of each ray where it ended in the last computation.\n\n"
            "Returns\n-------\nnumpy.ndarray\n"
            "    Shape (nRays, 3), unit vectors: refracted for rays a transmitting condition let\n"
            "    out, reflected for rays refused at their start face. Empty (after a message)\n"
            "    before a computation.\n\n"
            "Example\n-------\n>>> d = engine.get_ray_exit_directions()")
        .def(
            "get_ray_exit_power", [](Lumetra& e) { return rayExitArray(e, ExitPart::Power); },
            "Get the power each ray carried where it ended in the last computation.\n\n"
            "Returns\n-------\nnumpy.ndarray\n"
            "    Shape (nRays,): the power that left with the ray (the transmitted share at a\n"
            "    transmitting condition), still in flight where its walk stopped, or its whole\n"
            "    power when it was refused or missed the mesh. Empty (after a message) before a\n"
            "    computation.\n\n"
            "Example\n-------\n>>> out = engine.get_ray_exit_power()");
}
