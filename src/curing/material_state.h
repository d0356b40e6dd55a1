// The reaction-diffusion model of the resin (Python: curalis.Curalis). It owns its state
// on the device, its nodal grid, its boundary masks, two streams and two events; it reads
// and writes the optics engine's mesh and result arrays only through the addresses a
// script passes, and never frees them.
//
// One step is split around the diffusion: half a reaction step driven by the absorbed
// power, the radical and oxygen diffusions (two streams), half a reaction step driven by
// the diffused radicals, then the optics mesh's index and absorptivity follow the new
// degree of curing.
#pragma once

#include <string>
#include <vector>

#include "curing/fem_diffusion.h"
#include "curing/material_state_data.h"
#include "device/buffer.h"
#include "mesh/mesh_data.h"
#include "grid/spatial_grid.h"

class Mesh;

struct CuralisProps {
    double kpropagation = 0.0;
    double koxygen = 0.0;
    double diffusion_oxygen = 0.0;
    double diffusion_radical = 0.0;
    int diffusion_bc = 0;
    int diffusion_bc_radical = 0;
    int diffusion_bc_oxygen = 0;
    double dirichlet_radical = 0.0;
    double dirichlet_oxygen = 0.0;
    double oxygen_gel_point = 1.0;
    bool oxygen_dirichlet_all_boundary = true;
    std::vector<int> oxygen_dirichlet_bc_groups;
    std::vector<int> oxygen_dirichlet_face_ids;
    double dt = 0.0;
    double n0 = 0.0, n1 = 0.0;
    double alpha0 = 0.0, alpha1 = 0.0;
    double c_monomer0 = 0.0, c_radical0 = 0.0, c_oxygen0 = 0.0, degree_of_curing0 = 0.0;
    // "kernel": the Gaussian smoothing over the nodes within the cut-off; "fem": finite
    // elements with an implicit step (curing/fem_diffusion.h).
    std::string diffusion_scheme = "kernel";
    // What the "fem" scheme's conjugate gradients are preconditioned with: "multigrid" or
    // "diagonal" (curing/fem_diffusion.h).
    std::string fem_preconditioner = "multigrid";
    // With "multigrid", the stiffness of a step (D dt times the mean row sum of the stiffness
    // over the mass) from which it uses the levels; 0: every step.
    double fem_multigrid_from = FemDiffusion::kMultigridFrom;
};

enum class DiffusionScheme { Kernel, Fem };

// Only neighbours with exp(-r^2 / (4 D dt)) >= 0.001 take part in a diffusion step; this is
// the distance where that weight falls to 0.001, sqrt(4 D dt ln 1000) (0 without diffusion).
double diffusionCutoffRadius(double D, double dt);

// Host launches of the diffusion kernels (128 threads per node block, on `stream`). A
// diffusion reads `in` while other nodes' `out` are written, so the two must be different
// arrays: aliasing is refused (std::invalid_argument). The grid walk reads the node
// positions from the grid's own copy (as the grid was built from the mesh), so it ignores
// `coords`, and refuses a grid built over another number of nodes than n.
void diffuseAccelerated(double* out, const double* in, const float* coords, double D, double dt, int n,
                        const GridView& grid, const double* gel, int useGel, double gelPoint, const int* mask,
                        int applyMask, double value, dev::StreamHandle stream = dev::kDefaultStream);
void applyDirichletBoundary(double* field, const int* mask, double value, int n,
                            dev::StreamHandle stream = dev::kDefaultStream);

class MaterialState {
public:
    // Raises std::invalid_argument naming the field for a negative node count and for
    // values without physical meaning: a time step that is not positive, a non-finite
    // number, a negative rate constant, diffusion coefficient, concentration or
    // absorptivity, an index of 0 or below, a degree of curing (initial or gel point)
    // outside [0, 1], a boundary switch other than 0 or 1.
    MaterialState(const CuralisProps& props, int nNodes);
    MaterialState(const MaterialState&) = delete;
    MaterialState& operator=(const MaterialState&) = delete;

    // Builds the nodal grid (the finite-element operator with that scheme) and the boundary
    // masks from the engine's mesh (its address as get_mesh_ptr hands it out); again after
    // every change of the mesh.
    void initializeAccelerator(const Mesh* mesh);
    // One step of length dt: the optics mesh's refractive index and absorptivity are
    // rewritten from the new degree of curing. Both addresses as the engine hands them out.
    void reactionStep(const double* absorbedPower, const MeshDataFlat* meshDevlink);

    void copyDegreeOfCuring(double* host) const;
    void copyOxygen(double* host) const;
    void copyMonomer(double* host) const;
    void copyRadical(double* host) const;
    // Replaces one node field (nodeCount() values from the host): "monomer", "radical",
    // "oxygen" or "degree_of_curing". Refuses values the model cannot hold
    // (std::invalid_argument naming the field and the node).
    void setField(const std::string& field, const double* host);
    static void checkField(const std::string& field, const double* host, int n);
    double dt() const { return h_state_.dtDiff; }
    int nodeCount() const { return h_state_.nNodes; }
    bool acceleratorReady() const { return gridReady_; }
    // The nodal grid's cell edge, and the nodes each boundary mask holds (after
    // initializeAccelerator).
    float cellEdge() const { return cellEdge_; }
    int allBoundaryNodeCount() const { return allBoundaryCount_; }
    int oxygenBoundaryNodeCount() const { return oxygenBoundaryCount_; }
    // Conjugate-gradient iterations of the last step's radical and oxygen solves ("fem"
    // scheme; 0 otherwise), and the multigrid levels of the mesh (0 without multigrid).
    int radicalIterations() const { return radicalIterations_; }
    int oxygenIterations() const { return oxygenIterations_; }
    int multigridLevels() const { return scheme_ == DiffusionScheme::Fem ? fem_.levels() : 0; }
    bool diffusionExtruded() const { return scheme_ == DiffusionScheme::Fem && fem_.extruded(); }

    // The record as kernels see it (array members are device addresses), and its device copy.
    const MaterialStateDataFlat& record() const { return h_state_; }
    MaterialStateDataFlat* deviceRecord() const { return d_state_.data(); }
    GridView grid() const { return grid_.view(); }

    // The record operations: node arrays for n nodes (and the record uploaded), the record
    // uploaded, every node set to v, the node arrays released.
    void allocate(int n);
    void upload();
    void initialize(MaterialStateVec v);
    void release() noexcept;

    // The kernels one at a time, each followed by a device-wide wait.
    void solveRate(const double* dU);
    void updateProperties(float* absorptivity, float* refractiveIndex);

private:
    void buildMasks(const MeshDataFlat& mesh);

    dev::DeviceArray<MaterialStateDataFlat> d_state_;
    MaterialStateDataFlat h_state_{};
    SpatialGrid grid_;
    DiffusionScheme scheme_ = DiffusionScheme::Kernel;
    FemDiffusion fem_;
    FemPreconditioner preconditioner_ = FemPreconditioner::Diagonal;
    double multigridFrom_ = FemDiffusion::kMultigridFrom;
    int radicalIterations_ = 0, oxygenIterations_ = 0;
    bool gridReady_ = false;
    float cellEdge_ = 0.0f;
    dev::DeviceArray<int> allBoundaryMask_, oxygenMask_;
    int allBoundaryCount_ = 0, oxygenBoundaryCount_ = 0;
    bool oxygenAllBoundary_ = true;
    std::vector<int> oxygenBcGroups_, oxygenFaceIds_;
    dev::Stream streamRadical_, streamOxygen_;
    dev::DeviceArray<double> monomer_, radical_, radicalSource_, oxygen_, oxygenSource_, degreeOfCuring_;
    // The four fields as they were before a step of the finite-element scheme (reactionStep).
    dev::DeviceArray<double> kept_;
};
