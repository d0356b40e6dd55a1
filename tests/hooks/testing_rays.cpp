// Rays, the face grid and the surface tracers in the internal test module.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>

#include "hooks/testing.h"
#include "kernels/surface_reference.h"
#include "mesh/mesh.h"
#include "rays/ray_collection.h"
#include "tracing/surface_tracer.h"

namespace py = pybind11;

namespace {

template <typename T>
void put(T* deviceArray, py::array_t<T, py::array::c_style | py::array::forcecast> values, std::size_t expected)
{
    if (static_cast<std::size_t>(values.size()) != expected) {
        throw std::invalid_argument("expected " + std::to_string(expected) + " values");
    }
    dev::upload(deviceArray, values.data(), expected);
}

// Kind 1 is the engine's placement (the face grid), kind 2 the reference that tests every
// face (kernels/surface_reference.h), which has nothing to build.
struct SurfaceTracer {
    int kind;
    SurfaceRayTracer grid;
};

} // namespace

void bindTestingRays(py::module_& m)
{
    using R = RayCollection;
    py::class_<R>(m, "Rays", "A ray collection.")
        .def(py::init<int>(), py::arg("n"))
        .def_readonly("n_rays", &R::nRays)
        .def("positions", [](const R& r) { return fetchDeviceArray(r.h_rdata.positions, 3, r.nRays); })
        .def("directions", [](const R& r) { return fetchDeviceArray(r.h_rdata.directions, 3, r.nRays); })
        .def("power", [](const R& r) { return fetchDeviceArray(r.h_rdata.power, 1, r.nRays); })
        .def("start_faces", [](const R& r) { return fetchDeviceArray(r.h_rdata.startFaces, 1, r.nRays); })
        .def("seeds", [](const R& r) { return fetchDeviceArray(r.h_rdata.seeds, 1, r.nRays); })
        .def("set_positions",
             [](R& r, py::array_t<float, py::array::c_style | py::array::forcecast> v) {
                 put(r.h_rdata.positions, v, 3 * static_cast<std::size_t>(r.nRays));
             })
        .def("set_directions",
             [](R& r, py::array_t<float, py::array::c_style | py::array::forcecast> v) {
                 put(r.h_rdata.directions, v, 3 * static_cast<std::size_t>(r.nRays));
             })
        .def("set_power",
             [](R& r, py::array_t<float, py::array::c_style | py::array::forcecast> v) {
                 put(r.h_rdata.power, v, static_cast<std::size_t>(r.nRays));
             })
        .def("set_start_faces",
             [](R& r, py::array_t<int, py::array::c_style | py::array::forcecast> v) {
                 put(r.h_rdata.startFaces, v, static_cast<std::size_t>(r.nRays));
             })
        .def("resize", &R::resize, py::arg("n"))
        .def(
            "rotate",
            [](R& r, std::vector<float> axis, float angle) {
                if (axis.size() != 3) throw std::invalid_argument("axis needs three components");
                r.rotateRaysAroundAxis(Vec3(axis[0], axis[1], axis[2]), angle);
            },
            py::arg("axis"), py::arg("angle"));
    m.def("read_ray_file", &readRayFile, py::arg("path"));

    py::class_<SurfaceTracer>(m, "SurfaceTracer",
                              "A surface tracer: kind 1 walks the face grid, kind 2 tests every face.")
        .def(py::init([](int kind) {
                 if (kind != 1 && kind != 2) throw std::invalid_argument("surface tracer kind must be 1 or 2");
                 return SurfaceTracer{kind, {}};
             }),
             py::arg("kind"))
        .def("build",
             [](SurfaceTracer& s, Mesh& mesh) {
                 if (s.kind == 1) s.grid.buildAccelerator(mesh);
             })
        .def("trace",
             [](SurfaceTracer& s, RayCollection& rays, Mesh& mesh) {
                 if (s.kind == 1) s.grid.traceRays(rays, mesh);
                 else tracing::selftest::placeRaysTestingEveryFace(rays, mesh);
             })
        .def("grid", [](SurfaceTracer& s) {
            if (s.kind != 1) throw std::invalid_argument("only the grid tracer has a grid");
            const GridView g = s.grid.accelerator().view();
            return py::dict(py::arg("shape") = py::make_tuple(g.nx, g.ny, g.nz),
                            py::arg("cell_size") = py::make_tuple(g.cellSize.x, g.cellSize.y, g.cellSize.z),
                            py::arg("origin") = py::make_tuple(g.origin.x, g.origin.y, g.origin.z));
        });
}
