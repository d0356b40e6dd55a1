// The tracer's use of the face grid (grid/spatial_grid.h): the boundary-face test and the
// walk of a ray through the grid's cells.
#pragma once

#include "common/vec3.h"
#include "grid/spatial_grid.h"
#include "mesh/mesh_data.h"
#include "rays/ray.h"
#include "tracing/watertight.h"

class Mesh;

// The boundary-face test: the face as the triangles (c0, c1, c2) and, when that misses,
// (c0, c2, c3); a nearer hit updates the ray's hitDistance, face and normal
// ((c1 - c0) x (c3 - c0), normalised).
__host__ __device__ inline void intersectBoundaryFace(Ray* ray, const MeshDataFlat* mesh, int face)
{
    const int* n = mesh->faceNodes + 4 * face;
    const Vec3 c0 = mesh->getNodeVec(n[0], mesh->nodeCoords);
    const Vec3 c1 = mesh->getNodeVec(n[1], mesh->nodeCoords);
    const Vec3 c2 = mesh->getNodeVec(n[2], mesh->nodeCoords);
    const Vec3 c3 = mesh->getNodeVec(n[3], mesh->nodeCoords);
    intersectQuad(ray, c0, c1, c2, c3, face);
}

// The face grid as the ray walk sees it.
struct FaceGridView : GridView {
    // Clips the ray to the grid's box (slab test): false when it misses the box or only
    // touches it behind its start. Otherwise *tEnter is the distance along the ray at which
    // it enters (0 when it starts inside) and idx the cell there. The cell is located from
    // the distance, clamped to the grid, rather than from a point nudged across the box's
    // face: far from the grid a fixed nudge is smaller than the rounding of the entry point
    // and the ray would find no cell at all.
    __host__ __device__ bool enterGrid(Vec3 p, Vec3 d, float* tEnter, int idx[3]) const
    {
        const int n[3] = {nx, ny, nz};
        float t0 = 0.0f, t1 = floatInfinity();
        for (int a = 0; a < 3; ++a) {
            const float lo = origin[a], hi = origin[a] + static_cast<float>(n[a]) * cellSize[a];
            if (fabsf(d[a]) < 1e-10f) {
                if (!(lo <= p[a] && p[a] < hi)) return false; // parallel to a slab it is outside of
                continue;
            }
            const float inv = 1.0f / d[a];
            float tLo = (lo - p[a]) * inv, tHi = (hi - p[a]) * inv;
            if (tLo > tHi) {
                const float swap = tLo;
                tLo = tHi;
                tHi = swap;
            }
            t0 = fmaxf(t0, tLo);
            t1 = fminf(t1, tHi);
        }
        if (!(t0 <= t1) || n[0] < 1 || n[1] < 1 || n[2] < 1) return false;
        for (int a = 0; a < 3; ++a) {
            idx[a] = clampedCellAlong(a, fmaf(t0, d[a], p[a]));
        }
        *tEnter = t0;
        return true;
    }

    // The cell in which the ray enters the grid, -1 if it does not; *entry receives the
    // entry point (the ray's position when it starts inside the grid).
    __host__ __device__ int findInitialCell(const Ray* ray, Vec3* entry = nullptr) const
    {
        float t;
        int idx[3];
        if (!enterGrid(ray->position, ray->direction, &t, idx)) return -1;
        if (entry) {
            for (int a = 0; a < 3; ++a) (*entry)[a] = fmaf(t, ray->direction[a], ray->position[a]);
        }
        return cellIndex(idx[0], idx[1], idx[2]);
    }

    __host__ __device__ void intersectFace(Ray* ray, const MeshDataFlat* mesh, int face) const
    {
        intersectBoundaryFace(ray, mesh, face);
    }

    // Walks the cells the ray passes through (3-D DDA from the cell where it enters the
    // grid), testing the faces listed in each; the nearest hit stays in the ray.
    //
    // Every face is listed in each cell its box (slightly enlarged, see buildFaceGrid)
    // reaches into, so when the walk is in a cell, every face the ray hits at a point of that
    // cell or of a cell before it has been tested. The walk can therefore stop as soon as
    // the nearest hit so far lies no farther than where the ray leaves the current cell:
    // any nearer hit would lie in a cell already walked.
    __host__ __device__ void findIntersection(Ray* ray, const MeshDataFlat* mesh) const
    {
        const Vec3 p = ray->position, d = ray->direction;
        float tEnter;
        int idx[3];
        if (!enterGrid(p, d, &tEnter, idx)) return;
        const int n[3] = {nx, ny, nz};
        int step[3];
        float tDelta[3], tMax[3];
        for (int a = 0; a < 3; ++a) {
            if (fabsf(d[a]) < 1e-10f) {
                step[a] = 0;
                tDelta[a] = floatInfinity();
                tMax[a] = floatInfinity();
            } else {
                const float inv = 1.0f / d[a];
                step[a] = inv < 0.0f ? -1 : 1;
                tDelta[a] = fabsf(cellSize[a] * inv);
                const float boundary = origin[a] + static_cast<float>(idx[a] + (step[a] > 0 ? 1 : 0)) * cellSize[a];
                tMax[a] = (boundary - p[a]) * inv;
            }
        }
        while (true) {
            const int cell = cellIndex(idx[0], idx[1], idx[2]);
            const int end = cellStart[cell + 1];
            for (int k = cellStart[cell]; k < end; ++k) intersectFace(ray, mesh, cellFaces[k]);
            const int a = (tMax[0] <= tMax[1] && tMax[0] <= tMax[2]) ? 0 : (tMax[1] <= tMax[2] ? 1 : 2);
            if (ray->hitDistance <= tMax[a]) return;
            idx[a] += step[a];
            if (idx[a] < 0 || idx[a] >= n[a]) return;
            tMax[a] += tDelta[a];
        }
    }
};

// The surface tracer's way of finding a ray's first boundary face: the face grid.
class GridAccelerator : public SpatialGrid {
public:
    FaceGridView view() const
    {
        FaceGridView v;
        static_cast<GridView&>(v) = SpatialGrid::view();
        return v;
    }
};
