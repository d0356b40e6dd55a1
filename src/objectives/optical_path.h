// The path of one ray through the mesh: after every element it crosses, the exit point,
// the path length travelled so far and the remaining power, written as CSV. Only the ray
// of the launch's first thread (ray 0) is sampled; it shows how a ray bends in a
// graded-index region.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "device/buffer.h"
#include "mesh/hex8_geometry.h"
#include "mesh/mesh_data.h"
#include "objectives/objective.h"

struct OpticalPathView : ObjectiveView {
    double* samples = nullptr; // datapoints * stride: x, y, z, s, E
    int* flags = nullptr;      // one per slot: 1 filled, anything <= 0 free
    const float* nodeCoords = nullptr;
    int nNodes = 0;
    int stride = 5;
    int datapoints = 0;
    int firstRay = 0; // of the launch: a trace may run in batches of rays

    // Ray 0 takes the first free slot; with none left the sample is dropped.
    __device__ void interactElementLocal(StateVector* state, Vec3 exitPoint, const int* nodes)
    {
        if (firstRay + static_cast<long long>(dev::globalThreadIndex()) != 0) return;
        int i = 0;
        while (i < datapoints && flags[i] > 0) ++i;
        if (i >= datapoints) return;
        // The global exit point the walk continues from: the same float sums.
        Vec3 x(0.0f, 0.0f, 0.0f);
        for (int k = 0; k < 8; ++k) {
            const Hex8Corner c = hex8Corner(k);
            const float N =
                0.125f * (1.0f + c.xi * exitPoint.x) * (1.0f + c.eta * exitPoint.y) * (1.0f + c.zeta * exitPoint.z);
            x.x += N * nodeCoords[nodes[k]];
            x.y += N * nodeCoords[nNodes + nodes[k]];
            x.z += N * nodeCoords[2 * nNodes + nodes[k]];
        }
        double* s = samples + static_cast<std::size_t>(i) * static_cast<std::size_t>(stride);
        s[0] = x.x;
        s[1] = x.y;
        s[2] = x.z;
        s[3] = state->pathLength;
        s[4] = state->energy;
        flags[i] = 1;
    }
};

class OpticalPath : public Objective {
public:
    using View = OpticalPathView;
    static constexpr int kStride = 5;

    // The table form's keys, read and checked before anything changes: output_file (a
    // string) and datapoints_amount (an integer from 0 up to what an int index allows).
    struct Settings {
        std::string outputFile;
        int datapoints;
    };
    static Settings readConfig(const ConfigTable& table);

    // Empty slots for `datapoints` samples (earlier storage is released).
    void config(const ConfigTable& table, Mesh& mesh) override;
    void config(const std::string& outputFile, int size) override;
    // The next numbered CSV file: header "x,y,z,s,E", then the samples up to the first
    // empty slot.
    void result(Mesh& mesh) override;
    void result(Mesh& mesh, const double* deviceField) override;
    void result(Mesh& mesh, const double* hostFields, int count) override;
    // datapoints * 5 doubles, empty slots included.
    void getResult(double* host) override;
    double* getResultArrayDevicePtr() override { return data_.data(); }

    View view(const MeshDataFlat& mesh) const
    {
        View v;
        v.samples = data_.data();
        v.flags = flags_.data();
        v.nodeCoords = mesh.nodeCoords;
        v.nNodes = mesh.nNodes;
        v.stride = kStride;
        v.datapoints = datapoints_;
        return v;
    }

    // The samples up to the first empty slot, five values each.
    std::vector<double> samples();
    int datapoints() const { return datapoints_; }
    const std::string& outputFile() const { return outputFile_; }
    std::string outputName() const override { return outputFile_; }

private:
    void allocate(int datapoints);

    dev::DeviceArray<double> data_;
    dev::DeviceArray<int> flags_;
    dev::PinnedArray<double> dataHost_;
    dev::PinnedArray<int> flagsHost_;
    int datapoints_ = 0;
    std::string outputFile_ = "output.vtu";
};
