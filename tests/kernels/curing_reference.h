// The curing model's Gaussian average over every node, without the nodal grid: the
// reference the grid walk (diffuseAccelerated) must equal whatever its cell size.
#pragma once

#include "device/device.h"

namespace curing::selftest {

// out[i] = the weighted average of the finite values of `in` over all nodes within the
// cut-off of node i (coords: all x, then all y, then all z). Waits for the result.
void diffuseAllNodes(double* out, const double* in, const float* coords, double D, double dt, int n);

} // namespace curing::selftest
