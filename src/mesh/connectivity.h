#pragma once

#include <cstdint>
#include <vector>

class Mesh;

// Derives boundary faces (ids, outward node order, owning element, local index, normals),
// element neighbours across faces, the neighbour's matching face and the orientation code
// of every interior face, from the mesh's elementNodes. Prints the boundary-face count.
void buildConnectivity(Mesh& mesh);

// The code t (0-7) for which face fB of element B is face fA of element A with its
// in-plane coordinates mapped by T_t; 255 when the faces do not coincide.
std::uint8_t faceOrientationCode(const std::vector<int>& elementNodes, int A, int fA, int B, int fB);
