#include "engine/engine.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#if defined(__GLIBC__) // defined by the C++ headers above
#include <malloc.h>
#endif

#include "IO/mesh_readers.h"
#include "common/messages.h"
#include "objectives/adjoint.h"
#include "objectives/deposit_record.h"
#include "objectives/light_transport.h"
#include "objectives/optical_path.h"
#include "objectives/render.h"
#include "rays/ray_generator.h"
#include "IO/vtu_writer.h"
#include "mesh/hex8_geometry.h"

#include <stdexcept>

namespace {

enum class ValueRule { Finite, NonNegative, Positive };
// Where the values go: the engine's float arrays, or the absorbed power's doubles.
enum class Storage { Float, Double };

// Refuses, naming the item, a value the physics cannot take, or one that the float arrays
// would hold as infinity; nothing has changed yet.
void requireValues(const char* what, const double* in, std::size_t count, ValueRule rule,
                   Storage storage = Storage::Float)
{
    const double largest = storage == Storage::Float ? static_cast<double>(std::numeric_limits<float>::max())
                                                     : std::numeric_limits<double>::max();
    for (std::size_t i = 0; i < count; ++i) {
        const double v = in[i];
        if (std::isfinite(v) && std::fabs(v) > largest) {
            throw std::invalid_argument(msg::format("%s: item %zu is %g, beyond the engine's single precision "
                                                    "(at most %g)",
                                                    what, i, v, largest));
        }
        const bool ok =
            std::isfinite(v) && (rule == ValueRule::Finite || (rule == ValueRule::NonNegative && v >= 0.0) ||
                                 (rule == ValueRule::Positive && v > 0.0));
        if (!ok) {
            const char* expected = rule == ValueRule::Finite        ? "a finite number"
                                   : rule == ValueRule::NonNegative ? "a finite number >= 0"
                                                                    : "a finite number > 0";
            throw std::invalid_argument(msg::format("%s: item %zu is %g; it must be %s", what, i, v, expected));
        }
    }
}

const char* kAbortCompute = "Aborting: Can not solve optics before proper initialization.\n";
const char* kAbortWrite = "Aborting: Can not create output file before proper initialization.\n";
const char* kInitializingDefaults = "         -> initializing with default settings\n";

// Standard error, followed by a newline.
void report(const char* text) { msg::err("%s\n", text); }

} // namespace

bool Lumetra::require(Need need) const
{
    switch (need) {
    case Need::Mesh:
        if (state.meshLoaded) return true;
        msg::out("Error: mesh not loaded yet!\n");
        return false;
    case Need::Rays:
        if (state.raysLoaded && rays) return true;
        msg::out("Error: rays not loaded yet!\n");
        return false;
    case Need::Tracer:
        if (state.tracerBuilt && fert) return true;
        msg::out("Error: FERT not initialized yet!\n");
        return false;
    }
    return false;
}

Lumetra::~Lumetra()
{
    rays.reset();
    adjoint.reset();
    fert.reset();
    srt.reset();
}

void Lumetra::set_solver_type(const std::string& name)
{
    if (name == "FE") {
        solverType = SolverKind::ForwardEuler;
        msg::out("Solver is configured as forward euler\n");
    } else if (name == "RK4") {
        solverType = SolverKind::RungeKutta4;
        msg::out("Solver is configured as 4th order Runge-Kutta\n");
    } else {
        // Falling back to Euler silently would hide a typo such as "rk4": the call fails and
        // the solver stays as it was, which the message says.
        msg::out("Solver type not recognized: '%s'; the solver stays %s\n", name.c_str(),
                 solverType == SolverKind::RungeKutta4 ? "4th order Runge-Kutta" : "forward euler");
        throw std::invalid_argument("set_solver_type: unknown solver '" + name + "'; use \"FE\" or \"RK4\"");
    }
    state.solverChosen = true;
}

void Lumetra::initializeFERT()
{
    if (!state.solverChosen) {
        report(
            "Warning: Solver type not configured before FERt initialization, using default setting (FORWARD EULER).");
    }
    // A configured objective of the same kind carries its file counter over to the new
    // tracer while it writes under the same name (earlier files are not overwritten); the
    // default light transport also keeps its name.
    const bool sameKind = state.objectiveConfigured && fert != nullptr && activeObjective == objectiveKind;
    const bool carryOver = sameKind && objectiveKind == ObjectiveKind::LightTransport && !objectiveTable;
    const std::string outputFile = sameKind ? fert->getObjective()->outputName() : std::string();
    const int writeCounter = sameKind ? fert->getObjective()->writeCounter : 0;
    std::unique_ptr<BaseRayTracer> fresh = makeTracer(solverType, objectiveKind);
    // The light-transport result storage outlives the tracers, so the device address a
    // curing model took from get_result_array_device_ptr stays valid across config() and
    // objective switches (configuring keeps storage of the right size): the new tracer
    // takes it over, or it waits here while another objective is active.
    auto* from = fert ? dynamic_cast<LightTransport*>(fert->getObjective()) : nullptr;
    auto* to = dynamic_cast<LightTransport*>(fresh->getObjective());
    if (from && to) to->adoptStorage(*from);
    else if (from) parkedResult.adoptStorage(*from);
    else if (to) to->adoptStorage(parkedResult);
    fert = std::move(fresh);
    tracerSolver = solverType;
    activeObjective = objectiveKind;
    state.tracerBuilt = true;
    if (objectiveTable) {
        // Until the table configures the new objective, nothing may trace with it.
        const bool wasInitialized = state.ready;
        state.objectiveConfigured = false;
        state.ready = false;
        fert->config(*objectiveTable, mesh);
        state.objectiveConfigured = true;
        state.ready = wasInitialized;
    } else if (carryOver) {
        fert->config(outputFile, get_node_count());
    } else if (state.objectiveConfigured) {
        // Back from another objective to the default light transport: it is configured
        // again, with the default name, by the next doing operation.
        state.objectiveConfigured = false;
        state.ready = false;
    }
    if (sameKind && state.objectiveConfigured && fert->getObjective()->outputName() == outputFile) {
        fert->getObjective()->writeCounter = writeCounter;
    }
}

void Lumetra::initializeSRT()
{
    if (!state.meshLoaded) {
        report("Error: Mesh must be loaded before SRT initialization.");
        return;
    }
    srt.reset();
    srt = std::make_unique<SurfaceRayTracer>();
    state.surfaceTracerBuilt = true;
    srt->buildAccelerator(mesh);
    state.faceGridBuilt = true;
}

void Lumetra::initializeSRTAccelerator()
{
    if (!state.surfaceTracerBuilt) {
        report("Error: SRT must be initialized before initializing its accelerator structure.");
        return;
    }
    srt->buildAccelerator(mesh);
    state.faceGridBuilt = true;
}

void Lumetra::config()
{
    initializeFERT();
    initializeSRT();
}

void Lumetra::load_mesh(const std::string& path)
{
    readVTK(path, mesh); // throws, leaving everything as it was, for a file it cannot read
    meshReplaced();
}

void Lumetra::load_mesh_arrays(HexMeshInput& input, const HexMeshSource& source)
{
    buildHexMesh(mesh, input, source); // throws, leaving everything as it was
    meshReplaced();
}

void Lumetra::meshReplaced()
{
#if defined(__GLIBC__)
    // The reader's and the connectivity build's temporaries (over 300 bytes per element) are
    // freed by now, but glibc keeps freed blocks in its heap for reuse: without this a loaded
    // mesh holds three times the memory it uses for as long as the process runs.
    malloc_trim(0);
#endif
    mesh.clearBoundaryConditions();
    state.meshLoaded = true;
    state.faceGridBuilt = false;
    if (state.surfaceTracerBuilt) initializeSRTAccelerator();
    else state.ready = false;
    state.raysPlaced = false;
    state.geometryStale = false;
    state.traced = false;
    sizeResultForMesh();
}

// Positions set by a script move faces and elements: what was derived from them is
// rebuilt, and the rays are placed on the moved surface again.
void Lumetra::refreshGeometry()
{
    if (!state.geometryStale) return;
    mesh.computeNormals();
    mesh.computeNodalMass();
    if (state.surfaceTracerBuilt) initializeSRTAccelerator();
    state.raysPlaced = false;
    state.geometryStale = false;
}

// A configured objective starts from zero for the new mesh, with storage for its node
// count (a trace never writes beyond it; the old mesh's power does not carry over). Storage
// of the right size is kept, so its device address stays valid.
void Lumetra::sizeResultForMesh()
{
    if (!state.objectiveConfigured || !fert) return;
    auto* lt = dynamic_cast<LightTransport*>(fert->getObjective());
    if (lt == nullptr) return;
    if (lt->resultSize() == get_node_count()) {
        lt->resetResult();
        return;
    }
    const int counter = lt->writeCounter;
    fert->config(lt->outputFile(), get_node_count());
    lt->writeCounter = counter;
}

void Lumetra::set_objective(ObjectiveKind kind, std::optional<ConfigTable> table)
{
    switch (kind) {
    case ObjectiveKind::Render:
        if (!table)
            throw std::runtime_error(
                "the render objective needs a configuration (pixel_width, pixel_height, pixel_size, output_file)");
        Render::readConfig(*table);
        break;
    case ObjectiveKind::OpticalPath:
        if (!table)
            throw std::runtime_error(
                "the optical_path objective needs a configuration (output_file, datapoints_amount)");
        OpticalPath::readConfig(*table);
        break;
    case ObjectiveKind::LightTransport:
        if (table) LightTransport::readConfig(*table);
        break;
    default: throw std::runtime_error("unknown objective kind");
    }
    objectiveKind = kind;
    objectiveTable = std::move(table);
}

void Lumetra::generate_camera_rays(Vec3 position, Vec3 direction, long long height, long long width, double pixelSize)
{
    const RayGenSettings settings =
        makeCameraSettings(position, direction, height, width, static_cast<float>(pixelSize));
    auto fresh = std::make_unique<RayCollection>(settings.width * settings.height);
    generateCameraRays(*fresh, settings);
    rays = std::move(fresh);
    state.raysLoaded = true;
    state.raysPlaced = false;
    state.traced = false; // per-ray results describe the rays that were traced
}

Objective* Lumetra::activeObjectiveFor(ObjectiveKind wanted, const char* what)
{
    if (!require(Need::Tracer)) return nullptr;
    if (activeObjective != wanted) {
        msg::out("Error: %s belongs to the %s objective; the active objective is %s\n", what, objectiveKindName(wanted),
                 objectiveKindName(activeObjective));
        return nullptr;
    }
    return fert->getObjective();
}

bool Lumetra::get_image(std::vector<double>& planes, int& rows, int& columns)
{
    auto* render = static_cast<Render*>(activeObjectiveFor(ObjectiveKind::Render, "the image"));
    if (render == nullptr) return false;
    if (!render->image.allocated()) {
        msg::out("Error: the render objective has no image yet\n");
        return false;
    }
    rows = render->image.rows;
    columns = render->image.columns;
    planes.resize(render->image.values());
    render->getResult(planes.data());
    return true;
}

bool Lumetra::get_optical_path(std::vector<double>& samples)
{
    auto* path = static_cast<OpticalPath*>(activeObjectiveFor(ObjectiveKind::OpticalPath, "the optical path"));
    if (path == nullptr) return false;
    samples = path->samples();
    return true;
}

void Lumetra::load_rays(const std::string& path)
{
    auto fresh = readRayFile(path);
    rays = std::move(fresh);
    state.raysLoaded = true;
    state.raysPlaced = false;
    state.traced = false;
}

void Lumetra::set_rays(const double* positions, const double* directions, const double* powers, std::size_t n)
{
    if (n == 0) throw std::invalid_argument("set_rays: no rays; give at least one");
    if (n > static_cast<std::size_t>(kMaxRays)) {
        throw std::invalid_argument(
            msg::format("set_rays: %zu rays are more than the engine holds (at most %d)", n, kMaxRays));
    }
    // Single precision, as a ray file is read: a value beyond float's range is refused
    // there as not finite, and so it is here.
    std::vector<float> records(7 * n);
    const auto take = [&](const char* name, const double* values, int columns, int offset) {
        for (std::size_t i = 0; i < n; ++i) {
            for (int c = 0; c < columns; ++c) {
                const double v = values[i * columns + c];
                const float f = static_cast<float>(v);
                if (!std::isfinite(f)) {
                    throw std::invalid_argument(
                        msg::format("set_rays: %s row %zu holds %g, %s", name, i, v,
                                    std::isfinite(v) ? "beyond single precision" : "which is not finite"));
                }
                records[7 * i + offset + c] = f;
            }
        }
    };
    take("positions", positions, 3, 0);
    take("directions", directions, 3, 3);
    take("powers", powers, 1, 6);
    const RayCheck check = checkRayRecords(records.data(), n);
    if (check.fault == RayFault::ZeroDirection) {
        throw std::invalid_argument(
            msg::format("set_rays: directions row %zu is zero (in single precision)", check.ray));
    }
    if (check.fault == RayFault::NegativePower) {
        throw std::invalid_argument(
            msg::format("set_rays: powers row %zu is %g; a power must not be negative", check.ray, powers[check.ray]));
    }
    rays = raysFromRecords(records.data(), n);
    state.raysLoaded = true;
    state.raysPlaced = false;
    state.traced = false;
}

void Lumetra::configure_outfilename(const std::string& outputFile)
{
    if (outputFile.empty()) throw std::invalid_argument("configure_outfilename: the output file name is empty");
    if (!state.tracerBuilt || !state.meshLoaded) {
        report("Error: FERT must be initialized and mesh must be loaded before configuring output file name in "
               "objective.");
        return;
    }
    fert->config(outputFile, get_node_count());
    state.objectiveConfigured = true;
}

bool Lumetra::ensureInitialized()
{
    if (!state.tracerBuilt) {
        msg::out("Warning: FERT not initialized yet!\n");
        msg::out("%s", kInitializingDefaults);
        initializeFERT();
    }
    if (!state.surfaceTracerBuilt) {
        msg::out("Warning: SRT not initialized yet!\n");
        msg::out("%s", kInitializingDefaults);
        initializeSRT();
    }
    if (!state.faceGridBuilt) {
        msg::out("Error: SRT accelerator structure not built yet!\n");
        return false;
    }
    if (!state.objectiveConfigured) {
        msg::out("Warning: objective not configured yet!\n");
        msg::out("         -> using default outfilename out.vtu\n");
        configure_outfilename("out.vtu");
    }
    state.ready = true;
    return true;
}

bool Lumetra::doingChecks(const char* abortMessage)
{
    if (state.ready) return true;
    if (!require(Need::Mesh) || !require(Need::Rays)) {
        msg::out("%s", abortMessage);
        return false;
    }
    if (!state.solverChosen) msg::out("Warning: solver type not configured using default solver (Forward Euler)\n");
    if (!ensureInitialized()) {
        msg::out("%s", abortMessage);
        return false;
    }
    return true;
}

void Lumetra::compute_volumetric_absorption(BaseRayTracer::Progress progress)
{
    if (!doingChecks(kAbortCompute)) return;
    refreshGeometry();
    placeRays("compute_volumetric_absorption");
    if (activeObjective == ObjectiveKind::Render) {
        const BMPFile& image = static_cast<Render*>(fert->getObjective())->image;
        const long long pixels = image.allocated() ? static_cast<long long>(image.rows) * image.columns : 0;
        if (pixels != rays->nRays) {
            msg::out("Warning: %d rays for an image of %lld pixels (ray i paints pixel i)\n", rays->nRays, pixels);
        }
    }
    // A trace stopped between batches leaves the absorbed power as it was before the call
    // (the other objectives' results are partial then, like the per-ray results).
    auto* lightTransport = dynamic_cast<LightTransport*>(fert->getObjective());
    double* result = lightTransport ? lightTransport->getResultArrayDevicePtr() : nullptr;
    const std::size_t n = lightTransport ? static_cast<std::size_t>(std::max(lightTransport->resultSize(), 0)) : 0;
    dev::DeviceArray<double> before;
    if (progress && result != nullptr && n > 0) {
        before.allocate(n, "absorbed power before the trace");
        dev::copy(before.data(), result, before.bytes(), dev::CopyKind::DeviceToDevice);
    }
    fert->setProgress(std::move(progress));
    try {
        fert->traceRays(*rays, mesh);
    } catch (...) {
        fert->setProgress({});
        state.traced = false;
        if (!before.empty()) dev::copy(result, before.data(), before.bytes(), dev::CopyKind::DeviceToDevice);
        throw;
    }
    fert->setProgress({});
    dev::synchronize();
    state.traced = true;
}

// Rays are moved onto their start faces once, before the first trace that needs them; rays
// that start inside the mesh are refused and put back where they were.
void Lumetra::placeRays(const char* caller)
{
    if (state.raysPlaced) return;
    if (rays->hasOrigins()) rays->restoreOrigins();
    else rays->rememberOrigins();
    srt->traceRays(*rays, mesh);
    try {
        refuseRaysStartingInside(caller);
    } catch (...) {
        rays->restoreOrigins();
        throw;
    }
    state.raysPlaced = true;
}

bool Lumetra::trace_adjoint(const double* field, double* out, BaseRayTracer::Progress progress)
{
    if (!doingChecks(kAbortCompute)) return false;
    requireValues("trace_adjoint field", field, static_cast<std::size_t>(get_node_count()), ValueRule::Finite);
    refreshGeometry();
    placeRays("trace_adjoint");
    if (!adjoint || adjointSolver != tracerSolver) {
        adjoint = makeAdjointTracer(tracerSolver);
        adjointSolver = tracerSolver;
    }
    auto* objective = static_cast<Adjoint*>(adjoint->getObjective());
    objective->prepare(field, get_node_count(), rays->nRays);
    adjoint->setProgress(std::move(progress));
    try {
        adjoint->traceRays(*rays, mesh);
    } catch (...) {
        adjoint->setProgress({});
        throw;
    }
    adjoint->setProgress({});
    dev::synchronize();
    objective->getResult(out);
    return true;
}

bool Lumetra::record_deposits(std::vector<int>& nodes, std::vector<int>& rayIds, std::vector<float>& values)
{
    if (!doingChecks(kAbortCompute)) return false;
    refreshGeometry();
    placeRays("record_deposits");
    std::unique_ptr<BaseRayTracer> tracer = makeDepositRecordTracer(tracerSolver);
    auto* record = static_cast<DepositRecord*>(tracer->getObjective());
    // Room for 16 visits of every ray at first; when that is short, the count says how
    // much is needed, and the same trace (the seeds are kept) is run once more.
    record->prepare(std::max<unsigned long long>(8ull * 16ull * static_cast<unsigned long long>(rays->nRays), 1024ull));
    tracer->traceRays(*rays, mesh);
    dev::synchronize();
    if (record->count() > record->capacity()) {
        record->prepare(record->count());
        tracer->traceRays(*rays, mesh);
        dev::synchronize();
    }
    record->download(nodes, rayIds, values);
    return true;
}

void Lumetra::refuseRaysStartingInside(const char* caller) const
{
    // A ray placed on a face that it leaves through started inside the mesh: the walk would
    // begin at that face and count its power as entered with nothing absorbed.
    const std::size_t n = static_cast<std::size_t>(rays->nRays);
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    if (n == 0 || m.nFaces <= 0 || m.faceNormals == nullptr) return;
    const std::vector<int> faces = dev::download(rays->h_rdata.startFaces, n);
    const std::vector<float> directions = dev::download(rays->h_rdata.directions, 3 * n);
    const std::size_t F = static_cast<std::size_t>(m.nFaces);
    const std::vector<float> normals = dev::download(m.faceNormals, 3 * F);
    std::vector<std::size_t> leaving;
    for (std::size_t i = 0; i < n; ++i) {
        const int f = faces[i];
        if (f < 0 || static_cast<std::size_t>(f) >= F) continue;
        double along = 0.0;
        for (int c = 0; c < 3; ++c) along += double(normals[c * F + f]) * double(directions[c * n + i]);
        // Rays in a face's plane (along = 0 to rounding) enter through another face.
        if (along > 1e-6) leaving.push_back(i);
    }
    if (leaving.empty()) return;
    // The face normal is one for the whole face: on a warped face a grazing ray may enter
    // against it. Only a ray that leaves through all four corner triangles of its face
    // counts as starting inside.
    const std::vector<int> faceNodes = dev::download(m.faceNodes, 4 * F);
    const std::size_t N = static_cast<std::size_t>(m.nNodes);
    const std::vector<float> coords = dev::download(m.nodeCoords, 3 * N);
    const auto corner = [&](int f, int k) {
        const std::size_t id = static_cast<std::size_t>(faceNodes[4 * static_cast<std::size_t>(f) + k]);
        return std::array<double, 3>{coords[id], coords[N + id], coords[2 * N + id]};
    };
    std::size_t inside = 0, first = 0;
    for (const std::size_t i : leaving) {
        const int f = faces[i];
        bool all = true;
        for (int skip = 0; skip < 4 && all; ++skip) {
            std::array<double, 3> p[3];
            for (int k = 0, j = 0; k < 4; ++k)
                if (k != skip) p[j++] = corner(f, k);
            const double u[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
            const double v[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
            const double t[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
            double outward = 0.0, along = 0.0;
            for (int c = 0; c < 3; ++c) {
                outward += t[c] * double(normals[c * F + f]);
                along += t[c] * double(directions[c * n + i]);
            }
            all = outward * along > 0.0;
        }
        if (all && inside++ == 0) first = i;
    }
    if (inside == 0) return;
    const std::vector<float> origins = dev::download(rays->storage.origins.data(), 3 * n);
    throw std::runtime_error(
        msg::format("%s: %zu of %zu rays start inside the mesh (the first, ray %zu, at (%g, %g, %g)); "
                    "start every ray outside the mesh, so that it enters through a boundary face. Nothing was traced.",
                    caller, inside, n, first, origins[first], origins[n + first], origins[2 * n + first]));
}

bool Lumetra::hasTrace() const
{
    if (state.traced && fert && rays && fert->lastRayExits().nRays == rays->nRays) return true;
    msg::out("Error: no trace computed yet!\n");
    return false;
}

void Lumetra::get_ray_start_faces(int* out) const
{
    dev::download(rays->h_rdata.startFaces, out, static_cast<std::size_t>(rays->nRays));
}

void Lumetra::get_ray_exits(double* positions, double* directions, double* power) const
{
    const RayExits exits = fert->lastRayExits();
    const std::size_t n = static_cast<std::size_t>(exits.nRays);
    copyNodeField(exits.positions, positions, 3 * n);
    copyNodeField(exits.directions, directions, 3 * n);
    copyNodeField(exits.power, power, n);
}

void Lumetra::write_result()
{
    if (!doingChecks(kAbortWrite)) return;
    refreshGeometry();
    fert->result(mesh);
}

void Lumetra::write_result_append(const double* fields, int count)
{
    if (!doingChecks(kAbortWrite)) return;
    refreshGeometry();
    if (Objective* obj = fert->getObjective()) obj->clearFieldNames();
    fert->result(mesh, fields, count);
}

void Lumetra::write_result_append(const double* fields, int count, const std::vector<std::string>& names)
{
    if (!doingChecks(kAbortWrite)) return;
    refreshGeometry();
    Objective* obj = fert->getObjective();
    if (obj) obj->setFieldNames(names);
    fert->result(mesh, fields, count);
    if (obj) obj->clearFieldNames();
}

void Lumetra::reset_absorbed_power()
{
    if (!require(Need::Tracer)) return;
    fert->resetResult();
    dev::synchronize();
}

void Lumetra::rotate_reset_rays(double axisX, double axisY, double axisZ, double angle)
{
    if (!require(Need::Rays)) return;
    const double axis[3] = {axisX, axisY, axisZ};
    requireValues("rotate_reset_rays axis", axis, 3, ValueRule::Finite);
    requireValues("rotate_reset_rays angle", &angle, 1, ValueRule::Finite);
    if (axisX == 0.0 && axisY == 0.0 && axisZ == 0.0) {
        throw std::invalid_argument("rotate_reset_rays: the axis has zero length");
    }
    rays->rotateRaysAroundAxis(Vec3(static_cast<float>(axisX), static_cast<float>(axisY), static_cast<float>(axisZ)),
                               static_cast<float>(angle));
    state.raysPlaced = false;
}

void Lumetra::set_constant_matprops(double refractiveIndex, double absorptivity)
{
    requireValues("set_constant_matprops refractive_index", &refractiveIndex, 1, ValueRule::Positive);
    requireValues("set_constant_matprops absorptivity", &absorptivity, 1, ValueRule::NonNegative);
    mesh.setMaterialPropertiesConstant(static_cast<float>(refractiveIndex), static_cast<float>(absorptivity));
}

void Lumetra::set_boundary_conditions(const std::vector<OpticalBoundaryCondition>& conditions)
{
    if (!require(Need::Mesh)) return;
    mesh.setBoundaryConditions(conditions);
    state.raysPlaced = false;
}

void Lumetra::clear_boundary_conditions()
{
    if (!require(Need::Mesh)) return;
    mesh.clearBoundaryConditions();
    state.raysPlaced = false;
}

std::vector<int> Lumetra::select_boundary_faces_bbox(bool requireAll, double xMin, double xMax, double yMin,
                                                     double yMax, double zMin, double zMax, double tolerance)
{
    if (!require(Need::Mesh)) return {};
    return mesh.selectBoundaryFacesBBox(requireAll, xMin, xMax, yMin, yMax, zMin, zMax, tolerance);
}

std::vector<int> Lumetra::select_boundary_faces_radial(bool requireAll, double radiusMin, double radiusMax,
                                                       double tolerance)
{
    if (!require(Need::Mesh)) return {};
    return mesh.selectBoundaryFacesRadial(requireAll, radiusMin, radiusMax, tolerance);
}

void Lumetra::write_boundary_face_groups_vtu(const std::string& path, const std::vector<std::vector<int>>& groups,
                                             bool includeUnassigned)
{
    if (!require(Need::Mesh)) return;
    writeBoundaryFaceGroupsVTU(mesh, path.c_str(), groups, includeUnassigned);
}

void Lumetra::write_boundary_condition_groups_vtu(const std::string& path, bool includeUnassigned)
{
    if (!require(Need::Mesh)) return;
    writeBoundaryConditionGroupsVTU(mesh, path.c_str(), includeUnassigned);
}

std::uintptr_t Lumetra::get_mesh_ptr()
{
    if (!require(Need::Mesh)) return 0;
    return reinterpret_cast<std::uintptr_t>(&mesh);
}

std::uintptr_t Lumetra::get_mesh_data_devlink_ptr()
{
    if (!require(Need::Mesh)) return 0;
    return reinterpret_cast<std::uintptr_t>(&mesh.h_mdata_devlink);
}

std::uintptr_t Lumetra::get_result_array_device_ptr()
{
    if (!require(Need::Tracer)) return 0;
    if (activeObjective != ObjectiveKind::LightTransport) {
        msg::out("Error: absorbed power belongs to the light_transport objective; the active objective is %s\n",
                 objectiveKindName(activeObjective));
        return 0;
    }
    double* p = fert->getResultArrayDevicePtr();
    if (p == nullptr) {
        msg::out("Error: FERT result array pointer is null. Configure objective first.\n");
        return 0;
    }
    return reinterpret_cast<std::uintptr_t>(p);
}

bool Lumetra::get_absorbed_power(double* out)
{
    if (get_result_array_device_ptr() == 0) return false;
    dev::download(fert->getResultArrayDevicePtr(), out, static_cast<std::size_t>(get_node_count()));
    return true;
}

bool Lumetra::set_absorbed_power(const double* in)
{
    if (get_result_array_device_ptr() == 0) return false;
    requireValues("absorbed power", in, static_cast<std::size_t>(get_node_count()), ValueRule::NonNegative,
                  Storage::Double);
    dev::upload(fert->getResultArrayDevicePtr(), in, static_cast<std::size_t>(get_node_count()));
    dev::synchronize();
    return true;
}

void Lumetra::copyNodeField(const float* device, double* out, std::size_t count) const
{
    const std::vector<float> values = dev::download(device, count);
    for (std::size_t i = 0; i < count; ++i) out[i] = values[i];
}

void Lumetra::setNodeField(float* device, const double* in, std::size_t count)
{
    std::vector<float> values(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<float>(in[i]);
    dev::upload(device, values);
}

void Lumetra::get_absorptivity(double* out)
{
    copyNodeField(mesh.h_mdata_devlink.absorptivity, out, static_cast<std::size_t>(get_node_count()));
}

void Lumetra::get_refractive_index(double* out)
{
    copyNodeField(mesh.h_mdata_devlink.refrIndex, out, static_cast<std::size_t>(get_node_count()));
}

void Lumetra::get_node_positions(double* out)
{
    copyNodeField(mesh.h_mdata_devlink.nodeCoords, out, 3 * static_cast<std::size_t>(get_node_count()));
}

void Lumetra::set_absorptivity(const double* in)
{
    requireValues("absorptivity", in, static_cast<std::size_t>(get_node_count()), ValueRule::NonNegative);
    setNodeField(mesh.h_mdata_devlink.absorptivity, in, static_cast<std::size_t>(get_node_count()));
}

void Lumetra::set_refractive_index(const double* in)
{
    requireValues("refractive index", in, static_cast<std::size_t>(get_node_count()), ValueRule::Positive);
    setNodeField(mesh.h_mdata_devlink.refrIndex, in, static_cast<std::size_t>(get_node_count()));
}

void Lumetra::set_node_positions(const double* in)
{
    requireValues("node positions", in, 3 * static_cast<std::size_t>(get_node_count()), ValueRule::Finite);
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    const std::size_t n = static_cast<std::size_t>(m.nNodes);
    std::vector<float> planes(3 * n);
    for (std::size_t i = 0; i < 3 * n; ++i) planes[i] = static_cast<float>(in[i]);
    const std::vector<int> elements = dev::download(m.elementNodes, 8 * static_cast<std::size_t>(m.nElements));
    const auto position = [&](int id) { return Vec3(planes[id], planes[n + id], planes[2 * n + id]); };
    for (int e = 0; e < m.nElements; ++e) {
        if (hex8OrientationOf(elements.data() + 8 * static_cast<std::size_t>(e), position) != 1) {
            throw std::runtime_error("set_node_positions: hexahedron " + std::to_string(e) +
                                     " would be inverted, degenerate or tangled; the positions are unchanged");
        }
    }
    dev::upload(m.nodeCoords, planes);
    state.geometryStale = true;
}

void Lumetra::get_nodal_volumes(double* out)
{
    refreshGeometry();
    copyNodeField(mesh.h_mdata_devlink.nodalMass, out, static_cast<std::size_t>(get_node_count()));
}

bool Lumetra::get_ray_payloads(double* out)
{
    if (!require(Need::Rays)) return false;
    copyNodeField(rays->h_rdata.power, out, static_cast<std::size_t>(rays->nRays));
    return true;
}

bool Lumetra::set_ray_payloads(const double* in)
{
    if (!require(Need::Rays)) return false;
    requireValues("ray payloads", in, static_cast<std::size_t>(rays->nRays), ValueRule::NonNegative);
    setNodeField(rays->h_rdata.power, in, static_cast<std::size_t>(rays->nRays));
    return true;
}
