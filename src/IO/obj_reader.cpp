#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "IO/mesh_readers.h"
#include "common/messages.h"
#include "mesh/mesh.h"

namespace {

// Three floats of a "v" or "vn" line; a number that cannot be read counts as 0.
void readTriple(std::istringstream& line, std::vector<float>& out)
{
    for (int c = 0; c < 3; ++c) {
        float value = 0.0f;
        if (!(line >> value)) {
            value = 0.0f;
            line.clear();
            std::string skip;
            line >> skip;
        }
        out.push_back(value);
    }
}

std::vector<float> componentMajor(const std::vector<float>& triples, int count)
{
    std::vector<float> out(3 * static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        for (int c = 0; c < 3; ++c)
            out[static_cast<std::size_t>(c) * count + i] = triples[3 * static_cast<std::size_t>(i) + c];
    return out;
}

} // namespace

std::unique_ptr<Mesh> readOBJ(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Cannot open OBJ file " + path + ": " + std::strerror(errno));

    std::vector<float> vertices, normals;
    std::vector<int> faceNodes;
    std::string text;
    int lineNumber = 0;
    while (std::getline(in, text)) {
        ++lineNumber;
        std::istringstream line(text);
        std::string word;
        if (!(line >> word)) continue;
        if (word == "v") {
            readTriple(line, vertices);
        } else if (word == "vn") {
            readTriple(line, normals);
        } else if (word == "f") {
            // Only quadrilaterals: anything else would shift every later face by its length.
            std::vector<int> ids;
            std::string token;
            while (ids.size() < 5 && line >> token) {
                try {
                    ids.push_back(std::stoi(token.substr(0, token.find('/'))) - 1);
                } catch (const std::logic_error& e) {
                    throw std::runtime_error(e.what());
                }
            }
            if (ids.size() != 4) {
                throw std::runtime_error("OBJ file " + path + ", line " + std::to_string(lineNumber) +
                                         ": only quadrilateral faces can be read");
            }
            faceNodes.insert(faceNodes.end(), ids.begin(), ids.end());
        }
    }

    const int vertexCount = static_cast<int>(vertices.size() / 3);
    const int faceCount = static_cast<int>(faceNodes.size() / 4);
    for (std::size_t i = 0; i < faceNodes.size(); ++i) {
        if (faceNodes[i] < 0 || faceNodes[i] >= vertexCount) {
            throw std::runtime_error("OBJ file " + path + ": face " + std::to_string(i / 4) + " refers to vertex " +
                                     std::to_string(faceNodes[i] + 1) + ", outside 1.." + std::to_string(vertexCount));
        }
    }

    auto mesh = std::make_unique<Mesh>(vertexCount, 1, faceCount);
    MeshDataFlat& m = mesh->h_mdata_devlink;
    dev::upload(m.nodeCoords, componentMajor(vertices, vertexCount));
    dev::upload(m.faceNodes, faceNodes);
    mesh->uploadMeshData();
    msg::out("\nFinished reading obj file, summary:\n - Faces: %d\n - Nodes: %d\n", faceCount, vertexCount);

    // Faces get the "vn" normals in order, unchanged; faces beyond the last one given get
    // their normal computed from their nodes.
    const int given = std::min(faceCount, static_cast<int>(normals.size() / 3));
    if (given < faceCount) mesh->computeNormals();
    if (given > 0) {
        for (int c = 0; c < 3; ++c) {
            std::vector<float> component(static_cast<std::size_t>(given));
            for (int i = 0; i < given; ++i) component[i] = normals[3 * static_cast<std::size_t>(i) + c];
            dev::upload(m.faceNormals + static_cast<std::size_t>(c) * faceCount, component);
        }
    }
    return mesh;
}
