#include "curing/exposa.h"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "common/messages.h"
#include "device/launch.h"

namespace exposa {

__global__ void updateMaterialProperties(const double* power, double* dose, double* degreeOfCuring, float* absorptivity,
                                         float* refractiveIndex, MatProps p, int n)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    dose[i] = dose[i] + p.dt * power[i];
    double x = (dose[i] - p.doseThreshold) / (p.doseFull - p.doseThreshold);
    if (x > 1.0) x = 1.0;
    if (x < 0.0) x = 0.0;
    degreeOfCuring[i] = x;
    refractiveIndex[i] = static_cast<float>(p.n0 * (1.0 - x) + p.n1 * x);
    absorptivity[i] = static_cast<float>(p.alpha0 * (1.0 - x) + p.alpha1 * x);
}

} // namespace exposa

Exposa::Exposa(const MatProps& props, int nNodes) : props_(props)
{
    if (nNodes < 0) throw std::invalid_argument(msg::format("Exposa: n_nodes must not be negative (got %d)", nNodes));
    const std::pair<const char*, double> numbers[] = {{"n0", props.n0},
                                                      {"n1", props.n1},
                                                      {"alpha0", props.alpha0},
                                                      {"alpha1", props.alpha1},
                                                      {"dose_full", props.doseFull},
                                                      {"dose_threshold", props.doseThreshold},
                                                      {"dt", props.dt}};
    for (const auto& [name, value] : numbers) {
        if (!std::isfinite(value)) throw std::invalid_argument(msg::format("Exposa: %s must be a finite number", name));
    }
    // The degree of curing ramps from the threshold up to the full dose: equal doses divide
    // by zero, and a full dose below the threshold would start every node fully cured.
    if (!(props.doseFull > props.doseThreshold)) {
        throw std::invalid_argument(msg::format(
            "Exposa: dose_full (%g) must be greater than dose_threshold (%g): the degree of curing ramps between them",
            props.doseFull, props.doseThreshold));
    }
    // A step of no time adds no dose, and a negative one would take dose away.
    if (!(props.dt > 0.0)) throw std::invalid_argument(msg::format("Exposa: dt must be positive (got %g)", props.dt));
    // The optics engine refuses such values; the model would write them into its mesh.
    for (const auto& [name, value] : {std::pair{"n0", props.n0}, std::pair{"n1", props.n1}}) {
        if (!(value > 0.0)) {
            throw std::invalid_argument(msg::format("Exposa: %s must be positive (got %g)", name, value));
        }
    }
    for (const auto& [name, value] : {std::pair{"alpha0", props.alpha0}, std::pair{"alpha1", props.alpha1}}) {
        if (value < 0.0) {
            throw std::invalid_argument(msg::format("Exposa: %s must not be negative (got %g)", name, value));
        }
    }
    allocate(nNodes);
}

void Exposa::allocate(int n)
{
    const std::size_t count = static_cast<std::size_t>(n < 0 ? 0 : n);
    dose_.release();
    degreeOfCuring_.release();
    n_ = n;
    dose_.allocate(count, "dose");
    degreeOfCuring_.allocate(count, "degree of curing");
    dose_.zero();
    degreeOfCuring_.zero();
}

void Exposa::reactionStep(const double* power, const MeshDataFlat* meshDevlink)
{
    if (power == nullptr) throw std::runtime_error("result_device_ptr is null");
    if (meshDevlink == nullptr) throw std::runtime_error("mesh_devlink_ptr is null");
    if (meshDevlink->nNodes != n_) {
        throw std::runtime_error(msg::format(
            "reaction_step: the model has %d nodes but the mesh has %d; the kernel would run past the end of the "
            "mesh's arrays",
            n_, meshDevlink->nNodes));
    }
    dev::launchItems(DEV_KERNEL(exposa::updateMaterialProperties), static_cast<std::size_t>(n_), 128,
                     dev::kDefaultStream, power, dose_.data(), degreeOfCuring_.data(), meshDevlink->absorptivity,
                     meshDevlink->refrIndex, props_, n_);
    dev::synchronize();
}
