#include "grid/spatial_grid.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/messages.h"
#include "mesh/mesh.h"

namespace {

struct Box {
    Vec3 lo{floatInfinity(), floatInfinity(), floatInfinity()};
    Vec3 hi{-floatInfinity(), -floatInfinity(), -floatInfinity()};
    void add(Vec3 p)
    {
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p[a]);
            hi[a] = std::max(hi[a], p[a]);
        }
    }
};

std::vector<Vec3> nodePositions(const MeshDataFlat& m)
{
    const std::size_t n = static_cast<std::size_t>(m.nNodes);
    dev::PinnedArray<float> coords(3 * n, "node coordinates staging");
    dev::download(m.nodeCoords, coords.data(), coords.size());
    std::vector<Vec3> p(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = Vec3(coords.data()[i], coords.data()[n + i], coords.data()[2 * n + i]);
    return p;
}

} // namespace

void SpatialGrid::buildFaceGrid(Mesh& mesh)
{
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    const std::vector<Vec3> nodes = nodePositions(m);
    const std::size_t nFaces = static_cast<std::size_t>(m.nFaces);
    dev::PinnedArray<int> faceNodes(4 * nFaces, "face nodes staging");
    dev::download(m.faceNodes, faceNodes.data(), faceNodes.size());

    Box all;
    Vec3 largest(0.0f, 0.0f, 0.0f);
    std::vector<Vec3> centres(nFaces), boxLo(nFaces), boxHi(nFaces);
    for (std::size_t f = 0; f < nFaces; ++f) {
        Box box;
        for (int k = 0; k < 4; ++k) box.add(nodes[faceNodes.data()[4 * f + k]]);
        boxLo[f] = box.lo;
        boxHi[f] = box.hi;
        all.add(box.lo);
        all.add(box.hi);
        for (int a = 0; a < 3; ++a) {
            largest[a] = std::max(largest[a], box.hi[a] - box.lo[a]);
            centres[f][a] = box.lo[a] + 0.5f * (box.hi[a] - box.lo[a]);
        }
    }
    // Faces without extent along an axis (a flat surface, or degenerate faces) would give
    // a zero cell size: use the largest cell size of the other axes there, so the cells are
    // no smaller than the faces, and 1 when every face is a point.
    const float widest = std::max(largest.x, std::max(largest.y, largest.z));
    for (int a = 0; a < 3; ++a) {
        if (largest[a] <= 0.0f) largest[a] = widest > 0.0f ? widest : 1.0f;
    }
    if (nFaces == 0) all.lo = all.hi = Vec3(0.0f, 0.0f, 0.0f);
    // A large part made of small faces would need more cells than memory (and int cell
    // indices) allow: cells grow uniformly until there are at most kMaxCells. Cells larger
    // than every face keep each face within the 3x3x3 block of its centre's cell.
    constexpr double kMaxCells = 1 << 24;
    for (int attempt = 0; attempt < 2; ++attempt) {
        grid_.cellSize = largest;
        for (int a = 0; a < 3; ++a) grid_.origin[a] = all.lo[a] - 0.5f * largest[a];
        grid_.nx = static_cast<int>(std::ceil((all.hi.x - all.lo.x) / largest.x) + 1.0f);
        grid_.ny = static_cast<int>(std::ceil((all.hi.y - all.lo.y) / largest.y) + 1.0f);
        grid_.nz = static_cast<int>(std::ceil((all.hi.z - all.lo.z) / largest.z) + 1.0f);
        const double cells = static_cast<double>(grid_.nx) * grid_.ny * grid_.nz;
        if (cells <= kMaxCells) break;
        largest = largest * static_cast<float>(std::cbrt(cells / kMaxCells) * 1.01);
    }
    grid_.cellNodes = nullptr; // faces have no node runs
    grid_.nodeCount = 0;
    cellNodes_.release();
    build(centres, "Face grid");
    // Faces are listed in every cell their box reaches into, enlarged by a thousandth of a
    // cell plus a few float steps of the coordinates: the walk locates its cells in single
    // precision, and a face whose box ends on a cell boundary must be found from either side.
    float magnitude = 0.0f;
    for (int a = 0; a < 3; ++a) magnitude = std::max({magnitude, std::fabs(all.lo[a]), std::fabs(all.hi[a])});
    buildFaceLists(boxLo, boxHi, 1e-6f * magnitude);
}

void SpatialGrid::buildFaceLists(const std::vector<Vec3>& lo, const std::vector<Vec3>& hi, float pad)
{
    const GridView g = grid_;
    const std::size_t cells = static_cast<std::size_t>(g.nx) * g.ny * g.nz;
    const std::size_t faces = lo.size();
    // The cell range of each face's enlarged box, clamped to the grid.
    std::vector<int> range(6 * faces);
    for (std::size_t f = 0; f < faces; ++f) {
        for (int a = 0; a < 3; ++a) {
            const float margin = 1e-3f * g.cellSize[a] + pad;
            range[6 * f + a] = g.clampedCellAlong(a, lo[f][a] - margin);
            range[6 * f + 3 + a] = g.clampedCellAlong(a, hi[f][a] + margin);
        }
    }
    // Two passes, counting then filling in face order, so every cell's list is ascending.
    std::vector<int> start(cells + 1, 0);
    const auto forCells = [&](std::size_t f, auto&& visit) {
        const int* r = &range[6 * f];
        for (int iz = r[2]; iz <= r[5]; ++iz)
            for (int iy = r[1]; iy <= r[4]; ++iy)
                for (int ix = r[0]; ix <= r[3]; ++ix) visit(static_cast<std::size_t>(g.cellIndex(ix, iy, iz)));
    };
    for (std::size_t f = 0; f < faces; ++f) forCells(f, [&](std::size_t c) { ++start[c + 1]; });
    for (std::size_t c = 0; c < cells; ++c) start[c + 1] += start[c];
    std::vector<int> fill(start.begin(), start.end() - 1), list(static_cast<std::size_t>(start[cells]));
    for (std::size_t f = 0; f < faces; ++f) forCells(f, [&](std::size_t c) { list[fill[c]++] = static_cast<int>(f); });

    cellStart_.allocate(start.size(), "cellStart");
    cellStart_.upload(start.data(), start.size());
    cellFaces_.allocate(std::max<std::size_t>(list.size(), 1), "cellFaces");
    if (!list.empty()) cellFaces_.upload(list.data(), list.size());
    grid_.cellStart = cellStart_.data();
    grid_.cellFaces = cellFaces_.data();
}

void SpatialGrid::buildNodalGrid(Mesh& mesh, Vec3 cellSize)
{
    if (!(cellSize.x > 0.0f && cellSize.y > 0.0f && cellSize.z > 0.0f)) {
        throw std::invalid_argument("the nodal grid's cell size must be positive on every axis");
    }
    const std::vector<Vec3> nodes = nodePositions(mesh.h_mdata_devlink);
    Box all;
    for (const Vec3& p : nodes) all.add(p);
    if (nodes.empty()) all.lo = all.hi = Vec3(0.0f, 0.0f, 0.0f);
    grid_.cellSize = cellSize;
    for (int a = 0; a < 3; ++a) grid_.origin[a] = all.lo[a] - 0.5f * cellSize[a];
    grid_.nx = static_cast<int>(std::ceil((all.hi.x - all.lo.x) / cellSize.x) + 1.0f);
    grid_.ny = static_cast<int>(std::ceil((all.hi.y - all.lo.y) / cellSize.y) + 1.0f);
    grid_.nz = static_cast<int>(std::ceil((all.hi.z - all.lo.z) / cellSize.z) + 1.0f);
    grid_.cellFaces = nullptr; // nodes have no face lists
    cellFaces_.release();
    build(nodes, "Nodal grid");
    buildNodeRuns(nodes);
}

void SpatialGrid::buildNodeRuns(const std::vector<Vec3>& positions)
{
    const std::size_t cells = static_cast<std::size_t>(grid_.nx) * grid_.ny * grid_.nz;
    const std::size_t items = positions.size();
    // A counting sort in node order: each run is ascending, as the cell's list is. Nodes in
    // no cell go last, so that every node still has its place (and its thread).
    std::vector<int> cellOf(items);
    std::vector<int> start(cells + 2, 0);
    for (std::size_t i = 0; i < items; ++i) {
        const int c = grid_.cellOf(positions[i]);
        cellOf[i] = c < 0 ? static_cast<int>(cells) : c;
        ++start[static_cast<std::size_t>(cellOf[i]) + 1];
    }
    for (std::size_t c = 0; c <= cells; ++c) start[c + 1] += start[c];
    std::vector<int> fill(start.begin(), start.end() - 1);
    std::vector<CellNode> sorted(std::max<std::size_t>(items, 1));
    for (std::size_t i = 0; i < items; ++i) {
        const Vec3 p = positions[i];
        sorted[static_cast<std::size_t>(fill[static_cast<std::size_t>(cellOf[i])]++)] = {p.x, p.y, p.z,
                                                                                         static_cast<int>(i)};
    }
    start.pop_back(); // the end of the unplaced nodes is nodeCount
    cellStart_.allocate(start.size(), "node cell starts");
    cellStart_.upload(start.data(), start.size());
    cellNodes_.allocate(sorted.size(), "nodes sorted by cell");
    cellNodes_.upload(sorted.data(), sorted.size());
    grid_.cellStart = cellStart_.data();
    grid_.cellNodes = cellNodes_.data();
    grid_.nodeCount = static_cast<int>(items);
}

void SpatialGrid::build(const std::vector<Vec3>& positions, const char* label)
{
    const std::size_t cells = static_cast<std::size_t>(grid_.nx) * grid_.ny * grid_.nz;
    const std::size_t items = positions.size();
    dev::PinnedArray<int> head(cells, "cell heads staging"), next(items, "cell links staging");
    std::fill(head.data(), head.data() + cells, -1);
    std::fill(next.data(), next.data() + items, -1);
    GridView host = grid_;
    host.cellHead = head.data();
    host.cellNext = next.data();
    // Appending in item order keeps every cell's list ascending; the last item of each
    // cell is remembered so that appending stays cheap.
    std::vector<int> tail(cells, -1);
    for (std::size_t i = 0; i < items; ++i) {
        const int cell = host.cellOf(positions[i]);
        if (cell < 0) {
            msg::out("ERROR: cell not found\n\n");
            continue;
        }
        if (tail[cell] < 0) head.data()[cell] = static_cast<int>(i);
        else next.data()[tail[cell]] = static_cast<int>(i);
        tail[cell] = static_cast<int>(i);
    }

    cellHead_.allocate(cells, "cellHead");
    cellNext_.allocate(items, "cellNext");
    cellHead_.upload(head.data(), cells);
    cellNext_.upload(next.data(), items);
    grid_.cellHead = cellHead_.data();
    grid_.cellNext = cellNext_.data();

    const bool faces = std::string(label) == "Face grid";
    msg::out("%s:\n Grid: (%d, %d, %d)\n Cell dimensions (%f, %f, %f)\n",
             faces ? "Cell structure built" : "Nodal cell structure built", grid_.nx, grid_.ny, grid_.nz,
             grid_.cellSize.x, grid_.cellSize.y, grid_.cellSize.z);
    printOccupancy(static_cast<int>(items), std::vector<int>(head.data(), head.data() + cells),
                   std::vector<int>(next.data(), next.data() + items), label);
}

float occupancyPercentile(const std::vector<int>& v, float q)
{
    if (v.empty()) return 0.0f;
    const float r = static_cast<float>(v.size() - 1) * std::clamp(q, 0.0f, 1.0f);
    const std::size_t lo = static_cast<std::size_t>(std::floor(r)), hi = static_cast<std::size_t>(std::ceil(r));
    if (lo == hi) return static_cast<float>(v[lo]);
    const float w = r - static_cast<float>(lo);
    return static_cast<float>(v[hi]) * w + (1.0f - w) * static_cast<float>(v[lo]);
}

void SpatialGrid::printOccupancy(int itemCount, const std::vector<int>& head, const std::vector<int>& next,
                                 const char* label) const
{
    const int nx = grid_.nx, ny = grid_.ny, nz = grid_.nz;
    const long long N = static_cast<long long>(nx) * ny * nz;
    if (N < 1) {
        msg::out("%s occupancy: no cells were allocated.\n", label);
        return;
    }
    std::vector<int> counts(static_cast<std::size_t>(N), 0);
    long long linked = 0, sum = 0;
    int nonEmpty = 0, minCount = itemCount, maxCount = 0;
    for (long long c = 0; c < N; ++c) {
        int k = 0;
        for (int i = head[c]; i >= 0; i = next[i]) ++k;
        counts[c] = k;
        linked += k;
        sum += k;
        if (k > 0) {
            ++nonEmpty;
            minCount = std::min(minCount, k);
        }
        maxCount = std::max(maxCount, k);
    }
    if (nonEmpty == 0) minCount = 0;
    std::vector<int> sortedCounts = counts;
    std::sort(sortedCounts.begin(), sortedCounts.end());

    std::vector<int> stencil(static_cast<std::size_t>(N), 0);
    long long stencilSum = 0;
    int stencilMax = 0, stencilMin = 27 * minCount;
    const GridView g = grid_;
    for (int iz = 0; iz < nz; ++iz)
        for (int iy = 0; iy < ny; ++iy)
            for (int ix = 0; ix < nx; ++ix) {
                int s = 0;
                for (int k = 0; k < 27; ++k) {
                    const int cx = ix + k % 3 - 1, cy = iy + (k / 3) % 3 - 1, cz = iz + k / 9 - 1;
                    if (g.inside(cx, cy, cz)) s += counts[g.cellIndex(cx, cy, cz)];
                }
                stencil[g.cellIndex(ix, iy, iz)] = s;
                stencilSum += s;
                stencilMax = std::max(stencilMax, s);
                stencilMin = std::min(stencilMin, s);
            }
    std::sort(stencil.begin(), stencil.end());

    msg::out("\n%s occupancy:\n", label);
    msg::out("  cells total/non-empty/empty: %d / %d / %d\n", static_cast<int>(N), nonEmpty,
             static_cast<int>(N - nonEmpty));
    msg::out("  elements linked/check: %d / %d\n", static_cast<int>(linked), itemCount);
    msg::out("  per-cell count mean(all/non-empty): %.3f / %.3f\n",
             static_cast<double>(static_cast<float>(sum) / static_cast<float>(N)),
             nonEmpty ? static_cast<double>(static_cast<float>(sum) / static_cast<float>(nonEmpty)) : 0.0);
    msg::out("  per-cell count min/p50/p90/max: %d / %.1f / %.1f / %d\n", minCount,
             static_cast<double>(occupancyPercentile(sortedCounts, 0.5f)),
             static_cast<double>(occupancyPercentile(sortedCounts, 0.9f)), maxCount);
    msg::out("  27-cell stencil count mean: %.3f\n", static_cast<double>(stencilSum) / static_cast<double>(N));
    msg::out("  27-cell stencil count min/p10/p50/p90/max: %d / %.1f / %.1f / %.1f / %d\n", stencilMin,
             static_cast<double>(occupancyPercentile(stencil, 0.1f)),
             static_cast<double>(occupancyPercentile(stencil, 0.5f)),
             static_cast<double>(occupancyPercentile(stencil, 0.9f)), stencilMax);
}
