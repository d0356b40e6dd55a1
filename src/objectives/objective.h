// What a trace computes. The host objects own result storage, configuration and output
// files; kernels receive a plain view of the device data (View), whose hooks the walk calls:
//   interactInterface(Ray*)                        once per ray with a start face
//   interactVolume(Ray*)                           never called by the walk
//   interactElementLocal(StateVector*, Vec3, int*) once per element visit
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

struct ObjectiveView {
    __device__ void interactInterface(Ray*) {}
    __device__ void interactVolume(Ray*) {}
    __device__ void interactElementLocal(StateVector*, Vec3, const int*) {}
};

class Objective {
public:
    using View = ObjectiveView;

    virtual ~Objective() = default;
    virtual void config(const ConfigTable&, Mesh&) { msg::out("Warning: using empty objective\n"); }
    virtual void config(const std::string& /*outputFile*/, int /*size*/) { msg::out("Warning: using empty objective\n"); }
    virtual void result(Mesh&) { msg::out("Objective result base class\n"); }
    virtual void result(Mesh&, const double* /*deviceField*/) { msg::out("Objective result base class\n"); }
    virtual void result(Mesh&, const double* /*hostFields*/, int /*count*/) { msg::out("Objective result base class\n"); }
    virtual void setFieldNames(const std::vector<std::string>&) {}
    virtual void clearFieldNames() {}
    virtual void getResult(double*) { msg::out("Warning: getResult not implemented for this objective\n"); }
    virtual void resetResult() { msg::out("Warning: resetResult not implemented for this objective\n"); }
    virtual double* getResultArrayDevicePtr() { return nullptr; }

    View view() const { return {}; }

    int writeCounter = 0; // result files written; part of the next file name
};

// The image renderer and the optical-path sampler; their own behaviour comes with their
// outputs. Until then they answer as the base objective does.
class Render : public Objective {};
class OpticalPath : public Objective {};
