// The optics engine a script drives: it owns the mesh, the rays and both tracers, checks
// the order of calls with flags (a wrong order prints a fixed message and returns), and
// completes a missing configuration with defaults on the first computation or write.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mesh/mesh.h"
#include "rays/ray_collection.h"
#include "tracing/base_ray_tracer.h"
#include "tracing/surface_tracer.h"

class Lumetra {
public:
    Lumetra() = default;
    ~Lumetra();
    Lumetra(const Lumetra&) = delete;
    Lumetra& operator=(const Lumetra&) = delete;

    void set_solver_type(const std::string& name);
    void config();
    void load_mesh(const std::string& path);
    void load_rays(const std::string& path);
    void configure_outfilename(const std::string& outputFile);

    void compute_volumetric_absorption();
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
    void get_absorptivity(double* out);
    void get_refractive_index(double* out);
    void get_node_positions(double* out); // all x, then all y, then all z
    void set_absorptivity(const double* in);
    void set_refractive_index(const double* in);
    void set_node_positions(const double* in);
    // Ray-count doubles; false after "Error: rays not loaded yet!" without rays.
    bool get_ray_payloads(double* out);
    bool set_ray_payloads(const double* in);

    // The last trace's counters (element visits, rays stopped at the visit limit).
    TraceStats lastTraceStats() const { return fert ? fert->lastTraceStats() : TraceStats{}; }

private:
    void initializeFERT();
    void initializeSRT();
    void initializeSRTAccelerator();
    bool ensureInitialized();
    bool doingChecks(const char* abortMessage);
    void sizeResultForMesh();
    void copyNodeField(const float* device, double* out, std::size_t count) const;
    void setNodeField(float* device, const double* in, std::size_t count);

    std::unique_ptr<SurfaceRayTracerBase> srt;
    std::unique_ptr<BaseRayTracer> fert;
    SolverKind solverType = SolverKind::ForwardEuler;
    Mesh mesh;
    std::unique_ptr<RayCollection> rays;
    bool raysLoaded = false;
    bool meshLoaded = false;
    bool solverTypeSet = false;
    bool fertInitialized = false;
    bool srtInitialized = false;
    bool objectiveConfigured = false;
    bool srtAcceleratorBuilt = false;
    bool initialized = false;
    bool raysOnSurface = false;
};
