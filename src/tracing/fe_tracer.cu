#include "tracing/fe_tracer.h"

#include <algorithm>
#include <chrono>

#include "device/launch.h"

#include "common/messages.h"
#include "mesh/mesh.h"
#include "IO/config_table.h"
#include "rays/ray_collection.h"

#include <cstdlib>
#include <string>
#include <type_traits>

namespace {

// The step rule of the light-transport trace, from LUMETRA_STEP_RULE: a switch for
// comparisons (accuracy and speed measurements), not a setting of the model. "stepped"
// turns the exact straight crossing of uniform affine elements off, "fine" gives a
// reference with 16 times tighter step limits.
StepRule stepRuleFromEnvironment()
{
    const char* value = std::getenv("LUMETRA_STEP_RULE");
    if (!value || !*value) return StepRule::Aimed;
    const std::string rule(value);
    if (rule == "stepped") return StepRule::Stepped;
    if (rule == "fine") return StepRule::Fine;
    return StepRule::Aimed;
}

// Rays [first, end) in one launch, waited for.
template <typename S, typename View>
void launchTrace(RayCollection& rays, Mesh& mesh, const View& view, TraceStats* stats, RayExits exits, int first,
                 int end)
{
    View batch = view;
    if constexpr (requires { batch.firstRay; }) batch.firstRay = first; // views that follow one ray
    dev::launchItems(DEV_KERNEL(traceRaysKernel<View, S>), static_cast<std::size_t>(end - first), kTraceBlockSize,
                     dev::kDefaultStream, rays.d_rdata, mesh.d_mdata, batch, stats, exits, first, end);
    dev::synchronize();
}

} // namespace

template <typename O, typename S>
void FiniteElementRayTracer<O, S>::traceRays(RayCollection& rays, Mesh& mesh)
{
    mesh.packNodeRecords();
    dev::DeviceArray<TraceStats> stats(1, "trace counters");
    stats.zero();
    const std::size_t n = static_cast<std::size_t>(rays.nRays);
    if (exitPower_.size() != n) {
        exitPositions_.allocate(3 * n, "ray exit positions");
        exitDirections_.allocate(3 * n, "ray exit directions");
        exitPower_.allocate(n, "ray exit power");
    }
    const auto view = objective.view(mesh.h_mdata_devlink);
    const RayExits exits = lastRayExits();
    const auto launch = [&](int first, int end) {
        // Only the light-transport objective and the views that read its map (adjoint,
        // recorded deposits) get the comparison rules.
        if constexpr (std::is_same_v<O, LightTransport> || O::View::kUnitPower) {
            switch (stepRuleFromEnvironment()) {
            case StepRule::Stepped:
                launchTrace<typename S::template WithRule<StepRule::Stepped>>(rays, mesh, view, stats.data(), exits,
                                                                              first, end);
                return;
            case StepRule::Fine:
                launchTrace<typename S::template WithRule<StepRule::Fine>>(rays, mesh, view, stats.data(), exits, first,
                                                                           end);
                return;
            default: break;
            }
        }
        launchTrace<S>(rays, mesh, view, stats.data(), exits, first, end);
    };
    const int total = rays.nRays;
    if (!progress_) {
        launch(0, total);
    } else {
        // Batches sized to about a quarter of a second each, starting small: between them
        // the caller can report progress and stop the trace.
        int batch = 256;
        for (int first = 0; first < total;) {
            const int end = first + std::min(batch, total - first);
            const auto started = std::chrono::steady_clock::now();
            launch(first, end);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            const double scale = seconds > 0.0 ? std::clamp(0.25 / seconds, 0.5, 4.0) : 4.0;
            batch = std::max(256, static_cast<int>(std::min(batch * scale, 1e9)));
            first = end;
            progress_(first, total);
        }
    }
    stats.download(&stats_, 1);
    if (stats_.stoppedByVisitLimit > 0) {
        const int cycling = stats_.visitLimitWithoutReflection;
        if (cycling == 0) {
            msg::out("Warning: %d rays stopped after %d element visits (trapped by reflections)\n",
                     stats_.stoppedByVisitLimit, kMaxElementVisits);
        } else {
            msg::out("Warning: %d rays stopped after %d element visits (%d trapped by reflections, %d cycling "
                     "between elements without a reflection)\n",
                     stats_.stoppedByVisitLimit, kMaxElementVisits, stats_.stoppedByVisitLimit - cycling, cycling);
        }
    }
    if (stats_.unfinishedVisits > 0) {
        msg::out("Warning: %d rays stopped inside an element after %d integration steps without reaching a face "
                 "(their remaining power stays with them)\n",
                 stats_.unfinishedVisits, kMaxVisitSteps);
    }
}

template <typename O, typename S>
void FiniteElementRayTracer<O, S>::config(const ConfigTable& table, Mesh& mesh)
{
    msg::out("Attempt config\n");
    objective.config(table, mesh);
}

// Every objective with both solvers, each with its own kernel.
template class FiniteElementRayTracer<Render, ForwardEuler<>>;
template class FiniteElementRayTracer<Render, RungeKutta4<>>;
template class FiniteElementRayTracer<OpticalPath, ForwardEuler<>>;
template class FiniteElementRayTracer<OpticalPath, RungeKutta4<>>;
template class FiniteElementRayTracer<LightTransport, ForwardEuler<>>;
template class FiniteElementRayTracer<LightTransport, RungeKutta4<>>;
template class FiniteElementRayTracer<Adjoint, ForwardEuler<>>;
template class FiniteElementRayTracer<Adjoint, RungeKutta4<>>;
template class FiniteElementRayTracer<DepositRecord, ForwardEuler<>>;
template class FiniteElementRayTracer<DepositRecord, RungeKutta4<>>;

namespace {

template <typename O>
std::unique_ptr<BaseRayTracer> tracerFor(SolverKind solver)
{
    switch (solver) {
    case SolverKind::ForwardEuler: return std::make_unique<FiniteElementRayTracer<O, ForwardEuler<>>>();
    case SolverKind::RungeKutta4: return std::make_unique<FiniteElementRayTracer<O, RungeKutta4<>>>();
    }
    return nullptr;
}

} // namespace

std::unique_ptr<BaseRayTracer> makeAdjointTracer(SolverKind solver) { return tracerFor<Adjoint>(solver); }
std::unique_ptr<BaseRayTracer> makeDepositRecordTracer(SolverKind solver) { return tracerFor<DepositRecord>(solver); }

std::unique_ptr<BaseRayTracer> makeTracer(SolverKind solver, ObjectiveKind objective)
{
    switch (objective) {
    case ObjectiveKind::Render: return tracerFor<Render>(solver);
    case ObjectiveKind::OpticalPath: return tracerFor<OpticalPath>(solver);
    case ObjectiveKind::LightTransport: return tracerFor<LightTransport>(solver);
    }
    return nullptr;
}
