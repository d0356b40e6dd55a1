// The one way a hexahedral mesh is built, whatever it was read from: validation, node
// order of mirrored elements, upload, connectivity, the constant-index check and the nodal
// volume. The file readers and the array entry of the engine both end here.
#pragma once

#include <string>
#include <vector>

class Mesh;

// A nodal field as a source gives it: `given` false when the source has none; a given
// field of the wrong length is kept (with a warning) as the default.
struct NodalValues {
    std::vector<float> values;
    bool given = false;
};

struct HexMeshInput {
    std::vector<float> points;  // x, y, z of each node
    std::vector<int> hexahedra; // 8 node ids per element, VTK's hexahedron order
    NodalValues refrIndex, absorptivity;
};

// How the messages of a build name its source.
struct HexMeshSource {
    std::string name;        // refusals read "<name>: <problem>"
    std::string fieldOrigin; // "in the file": "Warning: no Absorptivity data in the file; ..."
    std::string loaded;      // "VTK file loaded": "<loaded>: %d elements, %d nodes"
};

// Checks the input whole (at least one element, node ids in range, finite coordinates and
// fields, no degenerate or tangled element) and only then replaces the mesh, so a refused
// input leaves it as it was. Elements with mirrored node order are reordered to positive
// volume, counted in one warning line. Throws std::runtime_error naming the item.
void buildHexMesh(Mesh& mesh, HexMeshInput& input, const HexMeshSource& source);
