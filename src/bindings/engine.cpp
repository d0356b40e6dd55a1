#include "bindings/engine.h"

#include "IO/mesh_readers.h"
#include "common/messages.h"
#include "objectives/light_transport.h"
#include "IO/vtu_writer.h"
#include "mesh/hex8_geometry.h"

#include <stdexcept>

namespace {

const char* kAbortCompute = "Aborting: Can not solve optics before proper initialization.\n";
const char* kAbortWrite = "Aborting: Can not create output file before proper initialization.\n";
const char* kInitializingDefaults = "         -> initializing with default settings\n";

// Standard error, followed by a newline.
void report(const char* text) { msg::err("%s\n", text); }

} // namespace

Lumetra::~Lumetra()
{
    rays.reset();
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
        solverType = SolverKind::ForwardEuler;
        msg::out("Solver type not recognized using default: Forwar-Euler\n");
    }
    solverTypeSet = true;
}

void Lumetra::initializeFERT()
{
    if (!solverTypeSet) {
        report("Warning: Solver type not configured before FERt initialization, using default setting (FORWARD EULER).");
    }
    // A configured objective carries over to the new tracer: same output name, same file
    // counter (earlier files are not overwritten), fresh zeroed storage.
    std::string outputFile;
    int writeCounter = 0;
    const bool carryOver = objectiveConfigured && fert != nullptr;
    if (carryOver) {
        if (auto* lt = dynamic_cast<LightTransport*>(fert->getObjective())) outputFile = lt->outputFile();
        writeCounter = fert->getObjective()->writeCounter;
    }
    fert.reset();
    fert = makeTracer(solverType, ObjectiveKind::LightTransport);
    fertInitialized = true;
    if (carryOver) {
        fert->config(outputFile, get_node_count());
        fert->getObjective()->writeCounter = writeCounter;
    }
}

void Lumetra::initializeSRT()
{
    if (!meshLoaded) {
        report("Error: Mesh must be loaded before SRT initialization.");
        return;
    }
    srt.reset();
    srt = makeSurfaceRayTracer(SurfaceTracerKind::Grid);
    srtInitialized = true;
    srt->buildAccelerator(mesh);
    srtAcceleratorBuilt = true;
}

void Lumetra::initializeSRTAccelerator()
{
    if (!srtInitialized) {
        report("Error: SRT must be initialized before initializing its accelerator structure.");
        return;
    }
    srt->buildAccelerator(mesh);
    srtAcceleratorBuilt = true;
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
    mesh.clearBoundaryConditions();
    meshLoaded = true;
    srtAcceleratorBuilt = false;
    if (srtInitialized) initializeSRTAccelerator();
    else initialized = false;
    raysOnSurface = false;
    geometryStale = false;
    traced = false;
    sizeResultForMesh();
}

// Positions set by a script move faces and elements: what was derived from them is
// rebuilt, and the rays are placed on the moved surface again.
void Lumetra::refreshGeometry()
{
    if (!geometryStale) return;
    mesh.computeNormals();
    mesh.computeNodalMass();
    if (srtInitialized) initializeSRTAccelerator();
    raysOnSurface = false;
    geometryStale = false;
}

// A configured objective starts from zero for the new mesh, with storage for its node
// count (a trace never writes beyond it; the old mesh's power does not carry over). Storage
// of the right size is kept, so its device address stays valid.
void Lumetra::sizeResultForMesh()
{
    if (!objectiveConfigured || !fert) return;
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

void Lumetra::load_rays(const std::string& path)
{
    auto fresh = readRayFile(path);
    rays = std::move(fresh);
    raysLoaded = true;
    raysOnSurface = false;
    traced = false;
}

void Lumetra::configure_outfilename(const std::string& outputFile)
{
    if (!fertInitialized || !meshLoaded) {
        report("Error: FERT must be initialized and mesh must be loaded before configuring output file name in "
               "objective.");
        return;
    }
    fert->config(outputFile, get_node_count());
    objectiveConfigured = true;
}

bool Lumetra::ensureInitialized()
{
    if (!fertInitialized) {
        msg::out("Warning: FERT not initialized yet!\n");
        msg::out("%s", kInitializingDefaults);
        initializeFERT();
    }
    if (!srtInitialized) {
        msg::out("Warning: SRT not initialized yet!\n");
        msg::out("%s", kInitializingDefaults);
        initializeSRT();
    }
    if (!srtAcceleratorBuilt) {
        msg::out("Error: SRT accelerator structure not built yet!\n");
        return false;
    }
    if (!objectiveConfigured) {
        msg::out("Warning: objective not configured yet!\n");
        msg::out("         -> using default outfilename out.vtu\n");
        configure_outfilename("out.vtu");
    }
    initialized = true;
    return true;
}

bool Lumetra::doingChecks(const char* abortMessage)
{
    if (initialized) return true;
    if (!meshLoaded) {
        msg::out("Error: mesh not loaded yet!\n");
        msg::out("%s", abortMessage);
        return false;
    }
    if (!raysLoaded) {
        msg::out("Error: rays not loaded yet!\n");
        msg::out("%s", abortMessage);
        return false;
    }
    if (!solverTypeSet) msg::out("Warning: solver type not configured using default solver (Forward Euler)\n");
    if (!ensureInitialized()) {
        msg::out("%s", abortMessage);
        return false;
    }
    return true;
}

void Lumetra::compute_volumetric_absorption()
{
    if (!doingChecks(kAbortCompute)) return;
    refreshGeometry();
    if (!raysOnSurface) {
        if (rays->hasOrigins()) rays->restoreOrigins();
        else rays->rememberOrigins();
        srt->traceRays(*rays, mesh);
        raysOnSurface = true;
    }
    fert->traceRays(*rays, mesh);
    dev::synchronize();
    traced = true;
}

bool Lumetra::hasTrace() const
{
    if (traced && fert && rays && fert->lastRayExits().nRays == rays->nRays) return true;
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
    if (!fert) {
        msg::out("Error: FERT not initialized yet!\n");
        return;
    }
    fert->resetResult();
    dev::synchronize();
}

void Lumetra::rotate_reset_rays(double axisX, double axisY, double axisZ, double angle)
{
    if (!rays) {
        msg::out("Error: rays not loaded yet!\n");
        return;
    }
    rays->rotateRaysAroundAxis(Vec3(static_cast<float>(axisX), static_cast<float>(axisY), static_cast<float>(axisZ)),
                               static_cast<float>(angle));
    raysOnSurface = false;
}

void Lumetra::set_constant_matprops(double refractiveIndex, double absorptivity)
{
    mesh.setMaterialPropertiesConstant(static_cast<float>(refractiveIndex), static_cast<float>(absorptivity));
}

void Lumetra::set_boundary_conditions(const std::vector<OpticalBoundaryCondition>& conditions)
{
    if (!meshLoaded) {
        msg::out("Error: mesh not loaded yet!\n");
        return;
    }
    mesh.setBoundaryConditions(conditions);
    raysOnSurface = false;
}

void Lumetra::clear_boundary_conditions()
{
    if (!meshLoaded) {
        msg::out("Error: mesh not loaded yet!\n");
        return;
    }
    mesh.clearBoundaryConditions();
    raysOnSurface = false;
}

std::vector<int> Lumetra::select_boundary_faces_bbox(bool requireAll, double xMin, double xMax, double yMin,
                                                     double yMax, double zMin, double zMax, double tolerance)
{
    if (!meshLoaded) {
        msg::out("Error: mesh not loaded yet!\n");
        return {};
    }
    return mesh.selectBoundaryFacesBBox(requireAll, xMin, xMax, yMin, yMax, zMin, zMax, tolerance);
}

std::vector<int> Lumetra::select_boundary_faces_radial(bool requireAll, double radiusMin, double radiusMax,
                                                       double tolerance)
{
    if (!meshLoaded) {
        msg::out("Error: mesh not loaded yet!\n");
        return {};
    }
    return mesh.selectBoundaryFacesRadial(requireAll, radiusMin, radiusMax, tolerance);
}

void Lumetra::write_boundary_face_groups_vtu(const std::string& path, const std::vector<std::vector<int>>& groups,
                                             bool includeUnassigned)
{
    if (!meshLoaded) {
        msg::out("Error: mesh not loaded yet!\n");
        return;
    }
    writeBoundaryFaceGroupsVTU(mesh, path.c_str(), groups, includeUnassigned);
}

void Lumetra::write_boundary_condition_groups_vtu(const std::string& path, bool includeUnassigned)
{
    if (!meshLoaded) {
        msg::out("Error: mesh not loaded yet!\n");
        return;
    }
    writeBoundaryConditionGroupsVTU(mesh, path.c_str(), includeUnassigned);
}

std::uintptr_t Lumetra::get_mesh_ptr()
{
    if (!meshLoaded) {
        msg::out("Error: mesh not loaded yet!\n");
        return 0;
    }
    return reinterpret_cast<std::uintptr_t>(&mesh);
}

std::uintptr_t Lumetra::get_mesh_data_devlink_ptr()
{
    if (!meshLoaded) {
        msg::out("Error: mesh not loaded yet!\n");
        return 0;
    }
    return reinterpret_cast<std::uintptr_t>(&mesh.h_mdata_devlink);
}

std::uintptr_t Lumetra::get_result_array_device_ptr()
{
    if (!fertInitialized || !fert) {
        msg::out("Error: FERT not initialized yet!\n");
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
    setNodeField(mesh.h_mdata_devlink.absorptivity, in, static_cast<std::size_t>(get_node_count()));
}

void Lumetra::set_refractive_index(const double* in)
{
    setNodeField(mesh.h_mdata_devlink.refrIndex, in, static_cast<std::size_t>(get_node_count()));
}

void Lumetra::set_node_positions(const double* in)
{
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
    geometryStale = true;
}

void Lumetra::get_nodal_volumes(double* out)
{
    refreshGeometry();
    copyNodeField(mesh.h_mdata_devlink.nodalMass, out, static_cast<std::size_t>(get_node_count()));
}

bool Lumetra::get_ray_payloads(double* out)
{
    if (!raysLoaded || !rays) {
        msg::out("Error: rays not loaded yet!\n");
        return false;
    }
    copyNodeField(rays->h_rdata.power, out, static_cast<std::size_t>(rays->nRays));
    return true;
}

bool Lumetra::set_ray_payloads(const double* in)
{
    if (!raysLoaded || !rays) {
        msg::out("Error: rays not loaded yet!\n");
        return false;
    }
    setNodeField(rays->h_rdata.power, in, static_cast<std::size_t>(rays->nRays));
    return true;
}
