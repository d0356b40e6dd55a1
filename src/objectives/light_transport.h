// Absorbed power per mesh node, accumulated by every trace until reset, and written with
// the mesh and its material fields as a VTK XML unstructured grid (.vtu).
#pragma once

#include "device/buffer.h"
#include "objectives/objective.h"

struct LightTransportView : ObjectiveView {
    double* resultDevice = nullptr;

    __device__ void prepareElement(const int* nodes)
    {
        for (int k = 0; k < 8; ++k) dev::prefetchForWrite(&resultDevice[nodes[k]]);
    }

    // Adds the power absorbed in this element visit at its eight nodes.
    __device__ void interactElementLocal(StateVector* state, Vec3, const int* nodes)
    {
        for (int k = 0; k < 8; ++k) dev::atomicAdd(&resultDevice[nodes[k]], static_cast<double>(state->absorbed[k]));
    }
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
