#pragma once

#include <memory>
#include <string>

class Mesh;

// Reads a legacy VTK unstructured grid (ASCII) of hexahedra into `mesh`: nodes, elements,
// nodal RefractiveIndex and Absorptivity, then connectivity, the constant-index check and
// the nodal volume. The file is read and checked whole before the mesh is touched, so a
// refused file leaves the mesh as it was. Throws std::runtime_error ("Cannot open VTK
// file." or a text naming the problem).
void readVTK(const std::string& path, Mesh& mesh);
std::unique_ptr<Mesh> readVTK(const std::string& path);

// Whether readVTK is the reader for this file: a ".vtk" file in the ASCII layout of legacy
// versions below 5, or a file that cannot be opened (readVTK then says so). BINARY and
// version 5 files, and every other extension, are for a general reader.
bool readsAsLegacyAsciiVtk(const std::string& path);

// Reads a Wavefront OBJ file of quadrilaterals into a surface-only mesh (one unfilled
// element, no connectivity). Throws std::runtime_error.
std::unique_ptr<Mesh> readOBJ(const std::string& path);
