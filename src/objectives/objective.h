// What a trace computes. The host objects own result storage, configuration and output
// files; kernels receive a plain view of the device data (View), whose hooks the walk calls:
//   interactInterface(Ray*)                        once per ray with a start face
//   interactVolume(Ray*)                           never called by the walk
//   prepareElement(const int*)                      at the start of each element visit
//   interactElementLocal(StateVector*, Vec3, int*) once per element visit, at its end
//   finishRay()                                    once per ray, when its walk has ended
#pragma once

#include <string>
#include <vector>

#include "common/messages.h"
#include "common/vec3.h"
#include "device/device.h"
#include "rays/ray.h"
#include "rays/state_vector.h"

class ConfigTable;
class Mesh;
struct MeshDataFlat;

struct ObjectiveView {
    // A view that reads the map from ray powers to deposits rather than applying it traces
    // every ray with power 1 (kUnitPower) and leaves the rays' seeds for the next trace
    // (kKeepsSeeds).
    static constexpr bool kUnitPower = false;
    static constexpr bool kKeepsSeeds = false;

    // Called at the start of each element visit with its nodes: a view that writes per node
    // at the visit's end may prefetch there.
    __device__ void prepareElement(const int*) {}
    __device__ void interactInterface(Ray*) {}
    __device__ void interactVolume(Ray*) {}
    __device__ void interactElementLocal(StateVector*, Vec3, const int*) {}
    __device__ void finishRay() {}
};

class Objective {
public:
    using View = ObjectiveView;

    virtual ~Objective() = default;
    virtual void config(const ConfigTable&, Mesh&) { msg::out("Warning: using empty objective\n"); }
    virtual void config(const std::string& /*outputFile*/, int /*size*/)
    {
        msg::out("Warning: using empty objective\n");
    }
    virtual void result(Mesh&) { msg::out("Objective result base class\n"); }
    virtual void result(Mesh&, const double* /*deviceField*/) { msg::out("Objective result base class\n"); }
    virtual void result(Mesh&, const double* /*hostFields*/, int /*count*/)
    {
        msg::out("Objective result base class\n");
    }
    virtual void setFieldNames(const std::vector<std::string>&) {}
    virtual void clearFieldNames() {}
    virtual void getResult(double*) { msg::out("Warning: getResult not implemented for this objective\n"); }
    virtual void resetResult() { msg::out("Warning: resetResult not implemented for this objective\n"); }
    virtual double* getResultArrayDevicePtr() { return nullptr; }
    // The configured base name of the result files (empty for the base objective).
    virtual std::string outputName() const { return {}; }

    // What the kernel receives, built at every launch from the mesh being traced.
    View view(const MeshDataFlat&) const { return {}; }

    // The name of the next result file: "stem_N.ext" when the file name has an extension,
    // "name_N" otherwise, N = writeCounter; at most 511 characters. The counter advances
    // only once a file is written.
    std::string nextFileName(const std::string& outputFile) const;
    // A result file that could not be written: the engine's message, then an exception
    // (the counter stays, so the next attempt reuses the name).
    [[noreturn]] static void failedWrite(const std::string& name);

    int writeCounter = 0; // result files written; part of the next file name
};

// An objective whose result goes back to the caller alone: nothing to configure, no file to
// write.
class CallerObjective : public Objective {
public:
    void config(const ConfigTable&, Mesh&) override {}
    void config(const std::string&, int) override {}
    void result(Mesh&) override {}
    void result(Mesh&, const double*) override {}
    void result(Mesh&, const double*, int) override {}
};
