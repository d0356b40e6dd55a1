// The curing model's kernels: one thread per node, a thread past the node count does
// nothing. Launched by MaterialState and the host functions in curing/material_state.h.
#pragma once

#include "curing/material_state_data.h"
#include "device/device.h"
#include "grid/spatial_grid.h"

__global__ void initializeStateKernel(MaterialStateDataFlat* s, MaterialStateVec v);
__global__ void solveRateEquations(MaterialStateDataFlat* s, const double* dU, int n);
__global__ void updateMaterialProperties(MaterialStateDataFlat* s, float* absorptivity, float* refractiveIndex, int n);
__global__ void applyDirichletBoundaryKernel(double* field, const int* mask, double value, int n);
// Reads the node positions from the grid's cell-sorted copy.
__global__ void diffuseKernelAccelerated(double* out, const double* in, double D, double dt, int n, GridView grid,
                                         const double* gel, int useGel, double gelPoint, const int* mask, int applyMask,
                                         double value);
