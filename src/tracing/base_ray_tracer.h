// The finite-element tracer as the engine drives it: host operations only, so plain C++
// sources can use it.
#pragma once

#include <memory>
#include <string>

class ConfigTable;
class Mesh;
class Objective;
class RayCollection;

// Counters of one trace.
struct TraceStats {
    unsigned long long elementVisits;
    int stoppedByVisitLimit;
    int unfinishedVisits; // rays stopped inside an element whose visit ran out of steps
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
    // Counters of the last trace: element visits, rays stopped at the visit limit, and rays
    // stopped inside an element whose visit could not reach a face.
    virtual TraceStats lastTraceStats() const = 0;
};

// The numbers are those of the configuration tables and the test hooks.
enum class SolverKind : int { ForwardEuler = 0, RungeKutta4 = 1 };
enum class ObjectiveKind : int { Render = 0, OpticalPath = 1, LightTransport = 2 };
enum class TracerFamily : int { FiniteElement = 0 };

// The tracer of this objective and solver; nullptr for a combination that does not exist.
std::unique_ptr<BaseRayTracer> makeTracer(SolverKind solver, ObjectiveKind objective,
                                          TracerFamily family = TracerFamily::FiniteElement);
