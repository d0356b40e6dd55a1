// The mesh in the internal test module: readers, host operations and every array of the
// record, copied to NumPy.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "IO/mesh_readers.h"
#include "hooks/testing.h"
#include "mesh/connectivity.h"
#include "mesh/mesh.h"

namespace py = pybind11;

namespace {

std::size_t count(int n) { return n < 0 ? 0 : static_cast<std::size_t>(n); }

} // namespace

void bindTestingMesh(py::module_& m)
{
    using M = Mesh;
    auto data = [](const M& mesh) -> const MeshDataFlat& { return mesh.h_mdata_devlink; };
    py::class_<M>(m, "Mesh", "The host mesh and its device arrays.")
        .def(py::init<>())
        .def(py::init<int, int, int>(), py::arg("nodes"), py::arg("elements"), py::arg("faces"))
        .def(
            "read_vtk", [](M& mesh, const std::string& path) { readVTK(path, mesh); }, py::arg("path"))
        .def_property_readonly("n_nodes", [=](const M& x) { return data(x).nNodes; })
        .def_property_readonly("n_elements", [=](const M& x) { return data(x).nElements; })
        .def_property_readonly("n_faces", [=](const M& x) { return data(x).nFaces; })
        .def_property_readonly("n_bc", [=](const M& x) { return data(x).nBC; })
        .def_property_readonly("n_bc_faces", [=](const M& x) { return data(x).nBCFaces; })
        .def_property_readonly("address", [](const M& x) { return reinterpret_cast<std::uintptr_t>(&x); })
        .def_property_readonly("devlink_address",
                               [](const M& x) { return reinterpret_cast<std::uintptr_t>(&x.h_mdata_devlink); })
        .def_property_readonly("local_face_nodes",
                               [=](const M& x) {
                                   py::array_t<int> out({6, 4});
                                   std::memcpy(out.mutable_data(), data(x).localFaceNodes,
                                               sizeof data(x).localFaceNodes);
                                   return out;
                               })
        .def("node_coords", [=](const M& x) { return fetchDeviceArray(data(x).nodeCoords, 3, count(data(x).nNodes)); })
        .def("refr_index", [=](const M& x) { return fetchDeviceArray(data(x).refrIndex, 1, count(data(x).nNodes)); })
        .def("absorptivity",
             [=](const M& x) { return fetchDeviceArray(data(x).absorptivity, 1, count(data(x).nNodes)); })
        .def("nodal_mass", [=](const M& x) { return fetchDeviceArray(data(x).nodalMass, 1, count(data(x).nNodes)); })
        .def("face_element",
             [=](const M& x) { return fetchDeviceArray(data(x).faceElement, 1, count(data(x).nFaces)); })
        .def("face_local_index",
             [=](const M& x) { return fetchDeviceArray(data(x).faceLocalIndex, 1, count(data(x).nFaces)); })
        .def("face_nodes", [=](const M& x) { return fetchDeviceArray(data(x).faceNodes, count(data(x).nFaces), 4); })
        .def("face_normals",
             [=](const M& x) { return fetchDeviceArray(data(x).faceNormals, 3, count(data(x).nFaces)); })
        .def("face_bc", [=](const M& x) { return fetchDeviceArray(data(x).faceBC, 1, count(data(x).nFaces)); })
        .def("element_nodes",
             [=](const M& x) { return fetchDeviceArray(data(x).elementNodes, count(data(x).nElements), 8); })
        .def("element_neighbors",
             [=](const M& x) { return fetchDeviceArray(data(x).elementNeighbors, count(data(x).nElements), 6); })
        .def("element_neighbor_types",
             [=](const M& x) { return fetchDeviceArray(data(x).elementNeighborTypes, count(data(x).nElements), 6); })
        .def("element_neighbor_faces",
             [=](const M& x) { return fetchDeviceArray(data(x).elementNeighborFaces, count(data(x).nElements), 6); })
        .def("element_face_orientation",
             [=](const M& x) { return fetchDeviceArray(data(x).elementFaceOrientation, count(data(x).nElements), 6); })
        .def("const_refr_index",
             [=](const M& x) { return fetchDeviceArray(data(x).constRefrIndex, 1, count(data(x).nElements)); })
        .def("set_node_coords",
             [=](M& x, py::array_t<float, py::array::c_style | py::array::forcecast> coords) {
                 if (coords.size() != static_cast<py::ssize_t>(3 * count(data(x).nNodes)))
                     throw std::invalid_argument("expected 3 * n_nodes coordinates");
                 dev::upload(data(x).nodeCoords, coords.data(), static_cast<std::size_t>(coords.size()));
             })
        .def("set_refr_index",
             [=](M& x, py::array_t<float, py::array::c_style | py::array::forcecast> values) {
                 if (values.size() != static_cast<py::ssize_t>(count(data(x).nNodes)))
                     throw std::invalid_argument("expected n_nodes values");
                 dev::upload(data(x).refrIndex, values.data(), static_cast<std::size_t>(values.size()));
             })
        .def("set_material_properties_constant", &M::setMaterialPropertiesConstant)
        .def("set_refractive_index_constant", &M::setRefractiveIndexConstant)
        .def("set_absorptivity_constant", &M::setAbsorptivityConstant)
        .def("compute_normals", &M::computeNormals)
        .def("check_const_refr_index", &M::checkConstRefrIndex)
        .def("compute_nodal_mass", &M::computeNodalMass)
        .def("print_device_data", &M::printDeviceData, py::arg("count"))
        .def("release_mesh", &M::releaseMesh);

    m.def(
        "read_vtk", [](const std::string& path) { return readVTK(path); }, py::arg("path"),
        "Read a legacy VTK file into a new Mesh.");
    m.def("read_obj", &readOBJ, py::arg("path"), "Read an OBJ file of quadrilaterals into a new Mesh.");
    m.def("face_orientation_code", &faceOrientationCode, py::arg("element_nodes"), py::arg("a"), py::arg("face_a"),
          py::arg("b"), py::arg("face_b"));
}
