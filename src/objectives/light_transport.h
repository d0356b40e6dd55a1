// Absorbed power per mesh node, accumulated by every trace until reset, and written with
// the mesh and its material fields as a VTK XML unstructured grid (.vtu).
#pragma once

#include "device/buffer.h"
#include "objectives/objective.h"

// The deposits of consecutive element visits share the nodes of the face between them. On
// the CPU an atomic addition of a double is a locked compare-and-swap loop that stalls the
// core, so where several threads trace, each ray keeps its last visit's eight deposits back
// and adds them to the field only once the next visit shows which nodes it leaves behind: a
// node the ray's path keeps touching gets one addition for the run of visits. A trace on one
// thread adds plainly, and the window's matching would cost more than it saves. On a GPU the
// additions are fire-and-forget reductions and the window would cost a thread 24 registers,
// so there each visit adds its deposits at once.
#if defined(LUMETRA_BACKEND_CPU)
#define LUMETRA_DEPOSIT_WINDOW 1
#endif

struct NodeDepositWindow {
    int node[8];
    double value[8];
    bool held = false;

    // Holds this visit's deposits; the last visit's go into the field where their node is
    // not among this visit's, and are carried into this visit's deposits where it is.
    __device__ void pass(const int* nodes, const float* deposits, double* field)
    {
        double incoming[8];
        for (int k = 0; k < 8; ++k) incoming[k] = static_cast<double>(deposits[k]);
        if (held) {
            for (int j = 0; j < 8; ++j) {
                int k = 0;
                while (k < 8 && nodes[k] != node[j]) ++k;
                if (k < 8) incoming[k] += value[j];
                else if (value[j] != 0.0) dev::atomicAdd(&field[node[j]], value[j]);
            }
        }
        for (int k = 0; k < 8; ++k) {
            node[k] = nodes[k];
            value[k] = incoming[k];
        }
        held = true;
    }

    // Adds what the window holds (at the end of a ray's walk).
    __device__ void flush(double* field)
    {
        if (!held) return;
        for (int k = 0; k < 8; ++k)
            if (value[k] != 0.0) dev::atomicAdd(&field[node[k]], value[k]);
        held = false;
    }
};

struct LightTransportView : ObjectiveView {
    double* resultDevice = nullptr;
#if defined(LUMETRA_DEPOSIT_WINDOW)
    NodeDepositWindow window; // each thread's copy of the view holds its ray's
#endif

    __device__ void prepareElement(const int* nodes)
    {
        for (int k = 0; k < 8; ++k) dev::prefetchForWrite(&resultDevice[nodes[k]]);
    }

    // Adds the power absorbed in this element visit at its eight nodes.
    __device__ void interactElementLocal(StateVector* state, Vec3, const int* nodes)
    {
#if defined(LUMETRA_DEPOSIT_WINDOW)
        if (!dev::atomicsArePlain()) {
            window.pass(nodes, state->absorbed, resultDevice);
            return;
        }
#endif
        for (int k = 0; k < 8; ++k) dev::atomicAdd(&resultDevice[nodes[k]], static_cast<double>(state->absorbed[k]));
    }

#if defined(LUMETRA_DEPOSIT_WINDOW)
    __device__ void finishRay() { window.flush(resultDevice); }
#endif
};

class LightTransport : public Objective {
public:
    using View = LightTransportView;
    static constexpr int kMaxFieldNames = 16;

    // Output name (at most 255 characters) and a zeroed result of `size` values; storage
    // of an earlier configuration is kept when its size is right, else released.
    void config(const std::string& outputFile, int size) override;
    // Takes over the result storage of another objective (a tracer replacing an earlier
    // one), so that its device address outlives the old tracer.
    void adoptStorage(LightTransport& from) noexcept;
    // "output_file" from the table; the size is the mesh's node count.
    void config(const ConfigTable& table, Mesh& mesh) override;
    // The output name the table form reads; a missing or mistyped key raises.
    static std::string readConfig(const ConfigTable& table);

    void result(Mesh& mesh) override;
    void result(Mesh& mesh, const double* deviceField) override;
    void result(Mesh& mesh, const double* hostFields, int count) override;

    void setFieldNames(const std::vector<std::string>& names) override;
    void clearFieldNames() override;
    void getResult(double* host) override;
    void resetResult() override;
    double* getResultArrayDevicePtr() override { return resultDevice_.data(); }

    View view(const MeshDataFlat&) const
    {
        View v;
        v.resultDevice = resultDevice_.data();
        return v;
    }

    int resultSize() const { return resultSize_; }
    const std::string& outputFile() const { return outputFile_; }
    std::string outputName() const override { return outputFile_; }
    int fieldNameCount() const { return fieldNameCount_; }
    const std::string& fieldName(int i) const { return fieldNames_[i]; }
    // The name the next result file gets (without advancing the counter).
    std::string nextFileName() const { return Objective::nextFileName(outputFile_); }

private:
    void writeVTU(Mesh& mesh, const double* fields, int count);

    dev::DeviceArray<double> resultDevice_;
    dev::PinnedArray<double> resultHost_;
    int resultSize_ = 0;
    int fieldNameCount_ = 0;
    std::string fieldNames_[kMaxFieldNames];
    std::string outputFile_ = "output.vtu";
};
