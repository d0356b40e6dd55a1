// A uniform grid over the mesh's boundary faces (to place rays on the surface) or over its
// nodes (the curing module's neighbour search). Each item sits in the cell of its centre;
// the cell edge is as long as the largest face along each axis, so a face reaches at most
// into the 3x3x3 block of cells around its own.
//
// Kernels receive GridView, a plain copy of the grid's counts and device addresses; the
// polymorphic host classes own the memory and build it.
#pragma once

#include <vector>

#include "common/vec3.h"
#include "device/buffer.h"
#include "mesh/mesh_data.h"
#include "rays/ray.h"
#include "tracing/watertight.h"

class Mesh;

// The boundary-face test shared by the grid walk and the brute-force tracer: the face as
// the triangles (c0, c1, c2) and, when that misses, (c0, c2, c3); a nearer hit updates the
// ray's hitDistance, face and normal ((c1 - c0) x (c3 - c0), normalised).
__host__ __device__ inline void intersectBoundaryFace(Ray* ray, const MeshDataFlat* mesh, int face)
{
    const int* n = mesh->faceNodes + 4 * face;
    const Vec3 c0 = mesh->getNodeVec(n[0], mesh->nodeCoords);
    const Vec3 c1 = mesh->getNodeVec(n[1], mesh->nodeCoords);
    const Vec3 c2 = mesh->getNodeVec(n[2], mesh->nodeCoords);
    const Vec3 c3 = mesh->getNodeVec(n[3], mesh->nodeCoords);
    intersectQuad(ray, c0, c1, c2, c3, face);
}

struct GridView {
    int* cellHead = nullptr; // first item of each cell, -1 empty
    int* cellNext = nullptr; // next item in the same cell, -1 at the end
    int nx = 0, ny = 0, nz = 0;
    Vec3 cellSize;
    Vec3 origin;

    __host__ __device__ int cellIndex(int ix, int iy, int iz) const { return ix + nx * (iy + ny * iz); }
    __host__ __device__ bool inside(int ix, int iy, int iz) const
    {
        return ix >= 0 && ix < nx && iy >= 0 && iy < ny && iz >= 0 && iz < nz;
    }

    // The cell holding p (indices truncated toward zero), -1 outside the grid.
    __host__ __device__ int cellOf(Vec3 p) const
    {
        const int ix = static_cast<int>((p.x - origin.x) / cellSize.x);
        const int iy = static_cast<int>((p.y - origin.y) / cellSize.y);
        const int iz = static_cast<int>((p.z - origin.z) / cellSize.z);
        return inside(ix, iy, iz) ? cellIndex(ix, iy, iz) : -1;
    }

    // Appends the item to the end of the cell's list.
    __host__ __device__ void insertElement(int cell, int item)
    {
        if (cellHead[cell] < 0) {
            cellHead[cell] = item;
            return;
        }
        int last = cellHead[cell];
        while (cellNext[last] >= 0) last = cellNext[last];
        cellNext[last] = item;
    }

    // The cell in which the ray enters the grid, -1 if it does not; *entry receives the
    // point the cell was located by (the ray's position when it starts inside the grid).
    __host__ __device__ int findInitialCell(const Ray* ray, Vec3* entry = nullptr) const
    {
        const Vec3 p = ray->position, d = ray->direction;
        const int n[3] = {nx, ny, nz};
        bool insideBox = true;
        for (int a = 0; a < 3; ++a) insideBox = insideBox && origin[a] <= p[a] && p[a] < origin[a] + n[a] * cellSize[a];
        if (insideBox) {
            if (entry) *entry = p;
            return cellOf(p);
        }
        float t = -1e20f;
        for (int a = 0; a < 3; ++a) {
            const float lo = origin[a], hi = origin[a] + n[a] * cellSize[a];
            if (lo <= p[a] && p[a] < hi) continue; // inside this slab: no constraint
            if (fabsf(d[a]) < 1e-10f) return -1;
            const float distance = d[a] > 0.0f ? (lo - p[a]) / d[a] : (hi - p[a]) / d[a];
            t = fmaxf(t, distance);
        }
        // Nudged into the grid by 1e-5 of its extent, per axis.
        Vec3 q;
        for (int a = 0; a < 3; ++a) q[a] = p[a] + (t + 1e-5f * n[a] * cellSize[a]) * d[a];
        if (entry) *entry = q;
        return cellOf(q);
    }

    __host__ __device__ void intersectFace(Ray* ray, const MeshDataFlat* mesh, int face) const
    {
        intersectBoundaryFace(ray, mesh, face);
    }

    // Walks the grid along the ray until it leaves, testing the faces of the 3x3x3 block
    // around every visited cell; the nearest hit stays in the ray.
    //
    // The walk visits exactly the cells the ray passes through: each axis's first crossing
    // is the distance from the entry point to that cell's boundary. (Starting every axis at
    // a whole cell's crossing distance instead walks a line shifted by up to a cell, which
    // can pass two cells away from a face's own cell and miss the nearest face.)
    __host__ __device__ void findIntersection(Ray* ray, const MeshDataFlat* mesh) const
    {
        Vec3 entry;
        const int cell = findInitialCell(ray, &entry);
        if (cell < 0) return;
        int idx[3] = {cell % nx, (cell / nx) % ny, cell / (nx * ny)};
        int step[3];
        float tDelta[3], tMax[3];
        for (int a = 0; a < 3; ++a) {
            const float dir = ray->direction[a];
            if (fabsf(dir) < 1e-10f) {
                step[a] = 1;
                tDelta[a] = 1e20f;
                tMax[a] = 1e20f;
            } else {
                const float s = cellSize[a] / dir;
                step[a] = s < 0.0f ? -1 : 1;
                tDelta[a] = fabsf(s);
                const float boundary = origin[a] + static_cast<float>(idx[a] + (step[a] > 0 ? 1 : 0)) * cellSize[a];
                tMax[a] = fmaxf((boundary - entry[a]) / dir, 0.0f);
            }
        }
        while (true) {
            for (int k = 0; k < 27; ++k) {
                const int cx = idx[0] + k % 3 - 1, cy = idx[1] + (k / 3) % 3 - 1, cz = idx[2] + k / 9 - 1;
                if (!inside(cx, cy, cz)) continue;
                for (int f = cellHead[cellIndex(cx, cy, cz)]; f >= 0; f = cellNext[f]) intersectFace(ray, mesh, f);
            }
            const int a = (tMax[0] <= tMax[1] && tMax[0] <= tMax[2]) ? 0 : (tMax[1] <= tMax[2] ? 1 : 2);
            tMax[a] += tDelta[a];
            idx[a] += step[a];
            if (!inside(idx[0], idx[1], idx[2])) return;
        }
    }
};

// What the brute-force tracer's kernel receives: it tests every face in order.
struct BruteForceView {
    __host__ __device__ void findIntersection(Ray* ray, const MeshDataFlat* mesh) const
    {
        for (int f = 0; f < mesh->nFaces; ++f) intersectBoundaryFace(ray, mesh, f);
    }
};

class Accelerator {
public:
    virtual ~Accelerator() = default;
    virtual void buildFaceGrid(Mesh& /*mesh*/) {}
    virtual void buildNodalGrid(Mesh& /*mesh*/, Vec3 /*cellSize*/) {}
    BruteForceView view() const { return {}; }
};

class GridAccelerator : public Accelerator {
public:
    void buildFaceGrid(Mesh& mesh) override;
    void buildNodalGrid(Mesh& mesh, Vec3 cellSize) override;

    GridView view() const { return grid_; }

    // Prints every cell's items, then the totals.
    void printCells(int itemCount) const;
    // The occupancy report of a build (cells, items per cell, 27-cell stencil sums).
    void printOccupancy(int itemCount, const std::vector<int>& head, const std::vector<int>& next,
                        const char* label) const;

private:
    void build(const std::vector<Vec3>& positions, const char* label);

    GridView grid_;
    dev::DeviceArray<int> cellHead_, cellNext_;
};

// Percentile of an ascending list at fraction q, interpolating between neighbours.
float occupancyPercentile(const std::vector<int>& sorted, float q);
