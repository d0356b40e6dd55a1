#include <pybind11/pybind11.h>

#include "bindings/module_common.h"

PYBIND11_MODULE(CURALIS_EXTENSION_NAME, m)
{
    m.doc() = "Reaction-diffusion material model bindings";
    bindCommon(m);
}
