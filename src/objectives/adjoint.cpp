#include "objectives/adjoint.h"

#include <stdexcept>

void Adjoint::prepare(const double* field, int nodes, int rays)
{
    if (nodes < 0 || rays < 0) throw std::invalid_argument("the adjoint's sizes must not be negative");
    if (field_.size() != static_cast<std::size_t>(nodes))
        field_.allocate(static_cast<std::size_t>(nodes), "adjoint field");
    if (perRay_.size() != static_cast<std::size_t>(rays))
        perRay_.allocate(static_cast<std::size_t>(rays), "adjoint per ray");
    field_.upload(field, field_.size());
    perRay_.zero();
}

void Adjoint::getResult(double* host) { perRay_.download(host, perRay_.size()); }
