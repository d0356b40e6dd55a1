// The finite-element tracer and its objectives in the internal test module.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "bindings/config_table_py.h"
#include "hooks/testing.h"
#include "mesh/mesh.h"
#include "rays/ray_collection.h"
#include "tracing/fe_tracer.h"
#include "kernels/trace_selftest.h"

namespace py = pybind11;

namespace {

LightTransport& lightTransport(BaseRayTracer& t)
{
    auto* lt = dynamic_cast<LightTransport*>(t.getObjective());
    if (!lt) throw std::invalid_argument("this tracer's objective is not the light-transport objective");
    return *lt;
}

} // namespace

void bindTestingTracer(py::module_& m)
{
    using T = BaseRayTracer;
    py::class_<T>(m, "Tracer", "A finite-element tracer made by the factory.")
        .def(py::init([](int solverType, int objectiveKind) {
                 auto t = makeTracer(static_cast<SolverKind>(solverType), static_cast<ObjectiveKind>(objectiveKind));
                 if (!t) throw std::invalid_argument("no tracer for this solver type and objective kind");
                 return t;
             }),
             py::arg("solver_type"), py::arg("objective_kind") = 2)
        .def("trace", &T::traceRays, py::arg("rays"), py::arg("mesh"))
        .def("config", py::overload_cast<const std::string&, int>(&T::config), py::arg("output_file"), py::arg("size"))
        .def("config_table",
             [](T& t, const py::dict& table, Mesh& mesh) { t.config(configTableFromDict(table), mesh); })
        .def("result", py::overload_cast<Mesh&>(&T::result))
        .def("result_device_field",
             [](T& t, Mesh& mesh, std::uintptr_t address) { t.result(mesh, reinterpret_cast<const double*>(address)); })
        .def("result_fields",
             [](T& t, Mesh& mesh, py::array_t<double, py::array::c_style | py::array::forcecast> f) {
                 const int count = f.ndim() == 2 ? static_cast<int>(f.shape(0)) : 1;
                 t.result(mesh, f.data(), count);
             })
        .def("get_result",
             [](T& t) {
                 auto* lt = dynamic_cast<LightTransport*>(t.getObjective());
                 py::array_t<double> out(lt ? lt->resultSize() : 0);
                 t.getResult(lt ? out.mutable_data() : nullptr);
                 return out;
             })
        .def("reset_result", &T::resetResult)
        .def("result_ptr", [](T& t) { return reinterpret_cast<std::uintptr_t>(t.getResultArrayDevicePtr()); })
        .def("set_field_names",
             [](T& t, const std::vector<std::string>& names) { t.getObjective()->setFieldNames(names); })
        .def("clear_field_names", [](T& t) { t.getObjective()->clearFieldNames(); })
        .def_property_readonly("field_name_count", [](T& t) { return lightTransport(t).fieldNameCount(); })
        .def_property_readonly("write_counter", [](T& t) { return t.getObjective()->writeCounter; })
        .def_property_readonly("visits", [](T& t) { return t.lastTraceStats().elementVisits; })
        .def_property_readonly("stopped_by_visit_limit", [](T& t) { return t.lastTraceStats().stoppedByVisitLimit; })
        .def_property_readonly("unfinished_visits", [](T& t) { return t.lastTraceStats().unfinishedVisits; });

    m.def(
        "bare_objective_calls",
        [](const py::dict& table, Mesh& mesh) {
            Objective objective;
            objective.config(configTableFromDict(table), mesh);
            objective.config("x", 3);
            objective.result(mesh);
            objective.getResult(nullptr);
            objective.resetResult();
            return reinterpret_cast<std::uintptr_t>(objective.getResultArrayDevicePtr());
        },
        py::arg("table"), py::arg("mesh"),
        "Calls every method of the objective base class once; returns its result address.");
    m.def(
        "record_path",
        [](RayCollection& rays, Mesh& mesh, int solverType, int capacity) {
            const auto samples = tracing::selftest::recordPath(rays, mesh, solverType, capacity);
            py::array_t<float> out({samples.size(), std::size_t(5)});
            std::vector<int> nodes;
            for (std::size_t i = 0; i < samples.size(); ++i) {
                const auto& s = samples[i];
                const float row[5] = {s.position.x, s.position.y, s.position.z, s.pathLength, s.power};
                for (int c = 0; c < 5; ++c) out.mutable_at(i, c) = row[c];
                nodes.push_back(s.firstNode);
            }
            return py::make_tuple(out, nodes);
        },
        py::arg("rays"), py::arg("mesh"), py::arg("solver_type"), py::arg("capacity") = 10000,
        "(samples, first nodes): exit point, path length and power of ray 0 after each element visit.");
    m.def("transfer_across_face", [](std::vector<float> q, int g, int f, int code) {
        const Vec3 p = transferAcrossFace(Vec3(q.at(0), q.at(1), q.at(2)), g, f, code);
        return py::make_tuple(p.x, p.y, p.z);
    });
    m.attr("MAX_ELEMENT_VISITS") = kMaxElementVisits;
    m.attr("MAX_VISIT_STEPS") = kMaxVisitSteps;
}
