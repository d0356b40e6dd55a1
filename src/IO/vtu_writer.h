// VTK XML unstructured-grid files (ASCII), the form ParaView, VTK's reader and meshio read:
// the mesh's hexahedra with nodal fields, and groups of boundary faces.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class Mesh;

// Writes one piece of an unstructured grid, section by section, in the order VTK expects:
// begin, points, cells, then point and cell data arrays, end.
class VtuXmlWriter {
public:
    explicit VtuXmlWriter(std::FILE* file) : file_(file) {}

    void begin(std::size_t points, std::size_t cells);
    // Component-major coordinates: x of point i at i, y at n + i, z at 2n + i.
    void points(const float* coords, std::size_t n);
    // `cells` cells of `nodesPerCell` nodes each, node(c, k) giving node k of cell c.
    void cells(std::size_t cells, int nodesPerCell, int vtkCellType, const std::function<int(std::size_t, int)>& node);
    void beginPointData();
    void endPointData();
    void beginCellData();
    void endCellData();
    void float64Array(const char* name, std::size_t n, const std::function<double(std::size_t)>& value);
    void int32Array(const char* name, std::size_t n, const std::function<int(std::size_t)>& value);
    void end();
    // Closes the file; false when any write or the close failed.
    bool close();

private:
    std::FILE* file_;
};

// A nodal field of the result file.
struct NodalField {
    std::string name;
    std::function<double(std::size_t)> value;
};

// The mesh's hexahedra with these nodal fields, in this order. False when the file cannot
// be opened or written whole.
bool writeHexahedraVTU(const std::string& path, const Mesh& mesh, const std::vector<NodalField>& fields);

// Boundary faces with their FaceId and GroupId (the position of the group in the list;
// the condition index for the second form). Problems with the arguments are reported as
// messages; a file that cannot be written raises std::runtime_error after its message.
void writeBoundaryFaceGroupsVTU(const Mesh& mesh, const char* path, const std::vector<std::vector<int>>& groups,
                                bool includeUnassigned);
void writeBoundaryConditionGroupsVTU(const Mesh& mesh, const char* path, bool includeUnassigned);
