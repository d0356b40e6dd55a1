// The dose-threshold curing model (Python: exposa.Exposa): every node accumulates the
// absorbed energy, and its degree of curing ramps linearly from 0 at the threshold dose to
// 1 at the full-cure dose; the optics mesh's index and absorptivity follow it.
#pragma once

#include "device/buffer.h"
#include "mesh/mesh_data.h"

struct MatProps {
    double n0;
    double n1;
    double alpha0;
    double alpha1;
    double doseFull;
    double doseThreshold;
    double dt;
};

class Exposa {
public:
    // Raises std::invalid_argument for a negative node count, a time step that is not
    // positive, an index of 0 or below, a negative absorptivity, a non-finite number, and
    // for a full-cure dose not above the threshold (the ramp would divide by zero).
    Exposa(const MatProps& props, int nNodes);

    // Zero dose and curing for n nodes (earlier arrays released).
    void allocate(int n);
    // One exposure of length dt: both addresses as the optics engine hands them out. The
    // node count must match the mesh's (std::runtime_error naming both otherwise).
    void reactionStep(const double* power, const MeshDataFlat* meshDevlink);

    void copyDose(double* host) const { dose_.download(host, dose_.size()); }
    void copyDegreeOfCuring(double* host) const { degreeOfCuring_.download(host, degreeOfCuring_.size()); }
    int nodeCount() const { return n_; }
    const MatProps& props() const { return props_; }

private:
    dev::DeviceArray<double> dose_;
    dev::DeviceArray<double> degreeOfCuring_;
    int n_ = 0;
    MatProps props_;
};
