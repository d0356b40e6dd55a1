// Boundary conditions on a mesh, face selection, face-group files and the interface optics
// kernels in the internal test module.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "hooks/testing.h"
#include "mesh/mesh.h"
#include "kernels/optics_selftest.h"
#include "IO/vtu_writer.h"

namespace py = pybind11;

namespace {

Vec3 vec(const std::vector<float>& v)
{
    if (v.size() != 3) throw std::invalid_argument("a vector needs three components");
    return Vec3(v[0], v[1], v[2]);
}

py::tuple tupleOf(Vec3 v) { return py::make_tuple(v.x, v.y, v.z); }

FresnelModel fresnelModel(const std::string& name)
{
    if (name == "exact") return FresnelModel::Exact;
    if (name == "schlick") return FresnelModel::Schlick;
    throw std::invalid_argument("fresnel must be \"exact\" or \"schlick\"");
}

} // namespace

void bindTestingOptics(py::module_& m)
{
    auto mesh = py::reinterpret_borrow<py::class_<Mesh>>(m.attr("Mesh"));
    mesh.def("set_boundary_conditions", &Mesh::setBoundaryConditions, py::arg("conditions"))
        .def("clear_boundary_conditions", &Mesh::clearBoundaryConditions)
        .def("boundary_condition_count", &Mesh::boundaryConditionCount)
        .def("bc_arrays",
             [](const Mesh& x) {
                 const MeshDataFlat& d = x.h_mdata_devlink;
                 const std::size_t n = static_cast<std::size_t>(d.nBC);
                 py::dict out;
                 out["rough_surface"] = d.bcRoughSurface ? dev::download(d.bcRoughSurface, n) : std::vector<int>{};
                 out["roughness"] = d.bcRoughness ? dev::download(d.bcRoughness, n) : std::vector<float>{};
                 out["interaction_type"] =
                     d.bcInteractionType ? dev::download(d.bcInteractionType, n) : std::vector<int>{};
                 out["real"] = d.bcRefrIndexReal ? dev::download(d.bcRefrIndexReal, n) : std::vector<float>{};
                 out["imag"] = d.bcRefrIndexImag ? dev::download(d.bcRefrIndexImag, n) : std::vector<float>{};
                 out["offsets"] = d.bcFaceOffsets ? dev::download(d.bcFaceOffsets, n + 1) : std::vector<int>{};
                 out["faces"] =
                     d.bcFaces ? dev::download(d.bcFaces, static_cast<std::size_t>(d.nBCFaces)) : std::vector<int>{};
                 out["faces_is_null"] = d.bcFaces == nullptr;
                 out["offsets_is_null"] = d.bcFaceOffsets == nullptr;
                 return out;
             })
        .def("select_bbox", &Mesh::selectBoundaryFacesBBox, py::arg("require_all"), py::arg("x_min"), py::arg("x_max"),
             py::arg("y_min"), py::arg("y_max"), py::arg("z_min"), py::arg("z_max"), py::arg("tolerance"))
        .def("select_radial", &Mesh::selectBoundaryFacesRadial, py::arg("require_all"), py::arg("radius_min"),
             py::arg("radius_max"), py::arg("tolerance"))
        .def("write_face_groups",
             [](const Mesh& x, const std::string& path, const std::vector<std::vector<int>>& groups,
                bool includeUnassigned) { writeBoundaryFaceGroupsVTU(x, path.c_str(), groups, includeUnassigned); })
        .def("write_condition_groups", [](const Mesh& x, const std::string& path, bool includeUnassigned) {
            writeBoundaryConditionGroupsVTU(x, path.c_str(), includeUnassigned);
        });

    m.def(
        "sample_microfacet_normals",
        [](std::vector<float> normal, float roughness, std::vector<std::uint64_t> seeds, std::vector<int> indices) {
            const std::vector<Vec3> normals = tracing::selftest::sampleNormals(vec(normal), roughness, seeds, indices);
            py::array_t<float> out({normals.size(), std::size_t(3)});
            for (std::size_t i = 0; i < normals.size(); ++i)
                for (int c = 0; c < 3; ++c) out.mutable_at(i, c) = normals[i][c];
            return py::make_tuple(out, seeds);
        },
        py::arg("normal"), py::arg("roughness"), py::arg("seeds"), py::arg("indices"),
        "(normals, advanced seeds) of microfacet normals drawn on the device.");

    m.def(
        "interact",
        [](bool start, std::vector<float> position, std::vector<float> direction, float power, std::uint64_t seed,
           int index, std::vector<float> faceNormal, float nInside, bool rough, float roughness, int interactionType,
           float real, float imag, const std::string& fresnel) {
            Ray ray{};
            ray.position = vec(position);
            ray.direction = vec(direction);
            ray.power = power;
            ray.seed = seed;
            ray.index = index;
            const auto interaction = interactionType == 1 ? BoundaryConditionInteractionType::REFLECT
                                                          : BoundaryConditionInteractionType::TRANSMIT;
            const FaceCondition bc{rough, roughness, interaction, real, imag, fresnelModel(fresnel)};
            const auto r = tracing::selftest::interact(start, ray, vec(faceNormal), nInside, bc);
            py::dict out;
            const char* startNames[] = {"entry", "refusal"};
            const char* exitNames[] = {"reflection", "departure"};
            out["outcome"] = start ? startNames[r.outcome] : exitNames[r.outcome];
            out["normal"] = tupleOf(r.normal);
            out["direction"] = tupleOf(r.ray.direction);
            out["position"] = tupleOf(r.ray.position);
            out["power"] = r.ray.power;
            out["seed"] = r.ray.seed;
            return out;
        },
        py::arg("start"), py::arg("position"), py::arg("direction"), py::arg("power"), py::arg("seed"),
        py::arg("index"), py::arg("face_normal"), py::arg("n_inside"), py::arg("rough") = false,
        py::arg("roughness") = 0.0f, py::arg("interaction_type") = 0, py::arg("real") = 1.0f, py::arg("imag") = 0.0f,
        py::arg("fresnel") = "exact",
        "One interface interaction on the device: at a start face (start=True) or an exit face.");
    m.def(
        "fresnel_reflectance",
        [](float c, float ni, float nt, float k, const std::string& model) {
            return fresnelReflectance(c, ni, nt, k, fresnelModel(model));
        },
        py::arg("cos_theta"), py::arg("n_i"), py::arg("n_t"), py::arg("k"), py::arg("model") = "exact");
}
