// The optics engine a script drives: it owns the mesh, the rays and both tracers, checks
// the order of calls against what it holds (EngineState; a wrong order prints a fixed
// message and returns), and completes a missing configuration with defaults on the first
// computation or write.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "IO/config_table.h"
#include "IO/mesh_build.h"
#include "mesh/mesh.h"
#include "objectives/light_transport.h"
#include "rays/ray_collection.h"
#include "tracing/base_ray_tracer.h"
#include "tracing/surface_tracer.h"

// What the engine holds and has set up; the order rules read nothing else.
struct EngineState {
    bool meshLoaded = false;          // load_mesh, load_mesh_arrays
    bool raysLoaded = false;          // load_rays, set_rays, generate_camera_rays
    bool solverChosen = false;        // set_solver_type
    bool tracerBuilt = false;         // the volume tracer (config(), or the defaults)
    bool surfaceTracerBuilt = false;  // the tracer that places rays on their start faces
    bool faceGridBuilt = false;       // its face grid, over the current mesh
    bool objectiveConfigured = false; // the objective has its output name or table
    bool ready = false;               // everything a trace needs was there at the last check
    bool raysPlaced = false;          // the rays sit on their start faces of the current surface
    bool geometryStale = false;       // node positions moved since normals, volumes and grid were built
    bool traced = false;              // a trace ran for the current mesh and rays
};

class Lumetra {
public:
    Lumetra() = default;
    ~Lumetra();
    Lumetra(const Lumetra&) = delete;
    Lumetra& operator=(const Lumetra&) = delete;

    void set_solver_type(const std::string& name);
    void config();
    void load_mesh(const std::string& path);
    // A mesh handed over as arrays, built exactly as a file is (see buildHexMesh); the
    // source names it in messages and refusals.
    void load_mesh_arrays(HexMeshInput& input, const HexMeshSource& source);
    void load_rays(const std::string& path);
    // n rays from arrays (rows of position and direction, component after component, and a
    // power each), built as a ray file is: the rays load_rays gives for a file holding these
    // values in single precision. Refuses (std::invalid_argument, naming the argument and its
    // first bad row, the previous rays kept) no rays, too many, a value that is not finite
    // in single precision, a zero direction and a negative power.
    void set_rays(const double* positions, const double* directions, const double* powers, std::size_t n);
    void configure_outfilename(const std::string& outputFile);

    // progress (optional): called between batches of rays with (done, total); it may throw
    // to stop the trace, which then leaves the absorbed power as it was.
    void compute_volumetric_absorption(BaseRayTracer::Progress progress = {});
    // The transpose of the trace: for the field g (node count values, finite) and each ray i,
    // (A^T g)_i = the sum over the ray's deposits of its deposit per unit power times g at
    // the node, where A p is the absorbed power a trace of ray powers p adds. One trace of
    // the current rays, mesh and solver, as the next compute_volumetric_absorption traces
    // them; the absorbed power, the last trace's per-ray results and the rays' seeds stay
    // as they were. `out` takes ray count doubles; false (after the engine's message) when
    // the engine cannot trace yet. progress as for compute_volumetric_absorption; a stopped
    // trace leaves `out` unwritten.
    bool trace_adjoint(const double* field, double* out, BaseRayTracer::Progress progress = {});
    // The matrix A itself, recorded in one trace like trace_adjoint's: every deposit as (node,
    // ray, deposit per unit power), duplicates to be summed; nothing else changes. One
    // triplet per node per element visit, so for small problems. False (after the engine's
    // message) when the engine cannot trace yet.
    bool record_deposits(std::vector<int>& nodes, std::vector<int>& rayIds, std::vector<float>& values);
    void write_result();
    void write_result_append(const double* fields, int count);
    void write_result_append(const double* fields, int count, const std::vector<std::string>& names);
    void reset_absorbed_power();
    void rotate_reset_rays(double axisX, double axisY, double axisZ, double angle);

    void set_constant_matprops(double refractiveIndex, double absorptivity);
    void set_boundary_conditions(const std::vector<OpticalBoundaryCondition>& conditions);
    void clear_boundary_conditions();
    std::vector<int> select_boundary_faces_bbox(bool requireAll, double xMin, double xMax, double yMin, double yMax,
                                                double zMin, double zMax, double tolerance);
    std::vector<int> select_boundary_faces_radial(bool requireAll, double radiusMin, double radiusMax,
                                                  double tolerance);
    void write_boundary_face_groups_vtu(const std::string& path, const std::vector<std::vector<int>>& groups,
                                        bool includeUnassigned);
    void write_boundary_condition_groups_vtu(const std::string& path, bool includeUnassigned);

    int get_node_count() const { return mesh.h_mdata_devlink.nNodes; }
    int get_boundary_condition_count() const { return mesh.h_mdata_devlink.nBC; }
    int get_ray_count() const { return rays ? rays->nRays : 0; }
    std::uintptr_t get_mesh_ptr();
    std::uintptr_t get_mesh_data_devlink_ptr();
    std::uintptr_t get_result_array_device_ptr();

    // Node-count doubles; false (after the engine's message) when there is nothing to copy.
    bool get_absorbed_power(double* out);
    // Replaces the result the curing models read (several processes each trace a share of
    // the rays and write the summed power back); false (after a message) like the getter.
    bool set_absorbed_power(const double* in);
    void get_absorptivity(double* out);
    void get_refractive_index(double* out);
    void get_node_positions(double* out); // all x, then all y, then all z
    void set_absorptivity(const double* in);
    void set_refractive_index(const double* in);
    // Refuses positions that would invert or tangle an element (std::runtime_error, the
    // mesh unchanged). Normals, nodal volumes and the face grid follow before the next use.
    void set_node_positions(const double* in);
    // Lumped nodal volumes (node count doubles), of the current node positions.
    void get_nodal_volumes(double* out);
    // Ray-count doubles; false after "Error: rays not loaded yet!" without rays.
    bool get_ray_payloads(double* out);
    bool set_ray_payloads(const double* in);

    // The objective the next tracer is built with (config(), or the first doing
    // operation), with its table form. Light transport
    // without a table is the default behaviour; render and optical_path need a table. The
    // table is checked here: a missing or mistyped key raises, naming it, and nothing
    // changes.
    void set_objective(ObjectiveKind kind, std::optional<ConfigTable> table);
    // Replaces the rays by one camera ray per pixel, in raster order (rays/ray_generator.h);
    // bad arguments raise and keep the previous rays.
    void generate_camera_rays(Vec3 position, Vec3 direction, long long height, long long width, double pixelSize);
    // The render's planes (3 * rows * columns doubles, row 0 at the bottom); false, after a
    // message, when the active tracer does not render.
    bool get_image(std::vector<double>& planes, int& rows, int& columns);
    // The optical path's samples (x, y, z, s, E each); false, after a message, when the
    // active tracer does not sample a path.
    bool get_optical_path(std::vector<double>& samples);
    ObjectiveKind active_objective() const { return activeObjective; }

    // Set while a method of the script's interface runs (see the bindings): a trace runs
    // without the interpreter lock, and another thread's call meanwhile is refused as busy.
    mutable std::atomic<bool> inUse{false};

    // The last trace's counters (element visits, stops, the power balance).
    TraceStats lastTraceStats() const { return fert ? fert->lastTraceStats() : TraceStats{}; }
    // Whether the last trace's summary and ray exits describe the current rays; prints
    // "Error: no trace computed yet!" when not.
    bool hasTrace() const;
    // Per ray of the last trace (call hasTrace first): the start face (-1: missed the mesh),
    // exit position and direction (all x, then all y, then all z) and remaining power.
    void get_ray_start_faces(int* out) const;
    void get_ray_exits(double* positions, double* directions, double* power) const;

private:
    // What a call needs: require() says whether the engine has it, and prints the fixed
    // message when it has not ("Error: mesh not loaded yet!", "Error: rays not loaded yet!",
    // "Error: FERT not initialized yet!").
    enum class Need { Mesh, Rays, Tracer };
    bool require(Need need) const;
    void initializeFERT();
    void initializeSRT();
    void initializeSRTAccelerator();
    bool ensureInitialized();
    bool doingChecks(const char* abortMessage);
    void sizeResultForMesh();
    void copyNodeField(const float* device, double* out, std::size_t count) const;
    void setNodeField(float* device, const double* in, std::size_t count);
    Objective* activeObjectiveFor(ObjectiveKind wanted, const char* what);
    void meshReplaced();
    // After the rays are placed on their start faces: refuses (std::runtime_error, counting
    // them) rays whose start face is one they leave through.
    void refuseRaysStartingInside(const char* caller) const;
    void refreshGeometry();
    void placeRays(const char* caller);

    std::unique_ptr<SurfaceRayTracer> srt;
    std::unique_ptr<BaseRayTracer> fert;
    std::unique_ptr<BaseRayTracer> adjoint; // the transpose of fert's trace, for adjointSolver
    SolverKind adjointSolver = SolverKind::ForwardEuler;
    SolverKind solverType = SolverKind::ForwardEuler;
    SolverKind tracerSolver = SolverKind::ForwardEuler;            // of fert: set_solver_type acts at config()
    ObjectiveKind objectiveKind = ObjectiveKind::LightTransport;   // for the next tracer
    std::optional<ConfigTable> objectiveTable;                     // its table form, if any
    ObjectiveKind activeObjective = ObjectiveKind::LightTransport; // of the tracer in use
    Mesh mesh;
    std::unique_ptr<RayCollection> rays;
    EngineState state;
    // The light-transport result storage while another objective is active (its device
    // address stays the one scripts took).
    LightTransport parkedResult;
};
