#include <pybind11/pybind11.h>

#include "bindings/module_common.h"

// The module name differs per variant (_lumetra_cpu, _lumetra_cuda); the package
// lumetra imports exactly one of them.
PYBIND11_MODULE(LUMETRA_EXTENSION_NAME, m)
{
    m.doc() = "Lumetra: GPU-accelerated volumetric ray tracing and absorption simulation";
    bindCommon(m);
    bindOpticsTypes(m);
    bindEngine(m);
}
