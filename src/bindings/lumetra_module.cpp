#include <pybind11/pybind11.h>

#include "bindings/module_common.h"
#include "mesh/mesh_data.h"
#include "rays/ray.h"

namespace py = pybind11;

// The module name differs per variant (_lumetra_cpu, _lumetra_cuda); the package
// lumetra imports exactly one of them.
PYBIND11_MODULE(LUMETRA_EXTENSION_NAME, m)
{
    m.doc() = "Lumetra: GPU-accelerated volumetric ray tracing and absorption simulation";
    bindCommon(m);
    bindOpticsTypes(m);
    bindEngine(m);
    // For lumetra._sizes, which sizes the generators' and the command line's arrays by them.
    m.attr("_size_limits") =
        py::dict(py::arg("nodes") = kMaxNodes, py::arg("elements") = kMaxElements, py::arg("rays") = kMaxRays);
}
