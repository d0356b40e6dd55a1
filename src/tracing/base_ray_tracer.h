// The finite-element tracer as the engine drives it: host operations only, so plain C++
// sources can use it.
#pragma once

#include <functional>
#include <memory>
#include <string>

class ConfigTable;
class Mesh;
class Objective;
class RayCollection;

// Counters and the power balance of one trace, summed on the device. Every ray that has a
// start face brings its power (incident); what crosses the face has entered, and ends
// absorbed in elements, left through the boundary or still in flight when its walk was
// stopped: entered = absorbed + left + stopped.
struct TraceStats {
    unsigned long long elementVisits;
    int stoppedByVisitLimit;
    int visitLimitWithoutReflection; // of those: never reflected, so cycling between elements
    int stoppedByPowerFloor;         // power below kMinPowerFraction of what entered
    int stoppedWithoutExit;          // no exit face, or a face whose neighbour is unknown
    int unfinishedVisits;            // of those: stopped inside an element whose visit ran out of steps
    int raysMissed;                  // no start face: the ray does not meet the mesh
    int raysRefused;                 // reflected at its start face
    int raysEntered;
    double powerMissed;
    double powerIncident;
    double powerEntered;
    double powerAbsorbed;
    double powerLeft;
    double powerStopped;
};

// Where each ray of the last trace ended: component-major positions and unit directions,
// and its remaining power (device arrays of the tracer; null before a trace).
struct RayExits {
    float* positions;
    float* directions;
    float* power;
    int nRays;
};

// The tracer interface the engine drives.
class BaseRayTracer {
public:
    virtual ~BaseRayTracer() = default;
    virtual void traceRays(RayCollection& rays, Mesh& mesh) = 0;
    virtual void config(const ConfigTable& table, Mesh& mesh) = 0;
    virtual void config(const std::string& outputFile, int size) = 0;
    virtual void result(Mesh& mesh) = 0;
    virtual void result(Mesh& mesh, const double* deviceField) = 0;
    virtual void result(Mesh& mesh, const double* hostFields, int count) = 0;
    virtual void getResult(double* host) = 0;
    virtual void resetResult() = 0;
    virtual double* getResultArrayDevicePtr() = 0;
    virtual Objective* getObjective() = 0;
    // Counters and power balance of the last trace, and where its rays ended.
    virtual TraceStats lastTraceStats() const = 0;
    virtual RayExits lastRayExits() const = 0;

    // Called between batches of rays with the rays done so far and the total: a trace with a
    // progress function runs in batches of about a quarter of a second each, so it can be
    // watched and stopped (the function throws to stop it). Without one, a trace is one launch.
    using Progress = std::function<void(int done, int total)>;
    void setProgress(Progress progress) { progress_ = std::move(progress); }

protected:
    Progress progress_;
};

// The numbers are those of the configuration tables and the test hooks.
enum class SolverKind : int { ForwardEuler = 0, RungeKutta4 = 1 };
enum class ObjectiveKind : int { Render = 0, OpticalPath = 1, LightTransport = 2 };

// The names scripts use for the objectives.
inline const char* objectiveKindName(ObjectiveKind kind)
{
    switch (kind) {
    case ObjectiveKind::Render: return "render";
    case ObjectiveKind::OpticalPath: return "optical_path";
    case ObjectiveKind::LightTransport: return "light_transport";
    }
    return "unknown";
}

// The tracer of this objective and solver; nullptr for a combination that does not exist.
std::unique_ptr<BaseRayTracer> makeTracer(SolverKind solver, ObjectiveKind objective);
// The transpose of the light-transport trace with this solver (objectives/adjoint.h).
std::unique_ptr<BaseRayTracer> makeAdjointTracer(SolverKind solver);
// A trace that records its deposits as triplets of the map's matrix (objectives/deposit_record.h).
std::unique_ptr<BaseRayTracer> makeDepositRecordTracer(SolverKind solver);
