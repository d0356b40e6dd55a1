// The state of a ray inside one element, as the path solvers advance it and the objectives
// receive it at the end of each element visit.
#pragma once

#include "common/host_device.h"
#include "common/vec3.h"

struct StateVector {
    Vec3 pos;               // local position in the current element
    Vec3 dir;               // global optical direction vector; |dir| is the local index
    float pathLength = 0;   // arc length travelled
    float energy = 0;       // remaining power
    float absorbed[8] = {}; // power absorbed in this element per node; per unit nodal volume
                            // once the visit hands it to the objective

    __host__ __device__ StateVector operator*(float f) const
    {
        StateVector r;
        r.pos = pos * f;
        r.dir = dir * f;
        r.pathLength = pathLength * f;
        r.energy = energy * f;
        for (int i = 0; i < 8; ++i) r.absorbed[i] = absorbed[i] * f;
        return r;
    }

    __host__ __device__ StateVector operator+(const StateVector& o) const
    {
        StateVector r;
        r.pos = pos + o.pos;
        r.dir = dir + o.dir;
        r.pathLength = pathLength + o.pathLength;
        r.energy = energy + o.energy;
        for (int i = 0; i < 8; ++i) r.absorbed[i] = absorbed[i] + o.absorbed[i];
        return r;
    }
};

__host__ __device__ inline StateVector operator*(float f, const StateVector& s) { return s * f; }
