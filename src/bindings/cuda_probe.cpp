// A module that binds no types, so that the package can ask whether a GPU is usable
// before it decides which variant to import (a type can be registered only once per
// process, so importing the CUDA variant and then falling back is not an option).
#include <pybind11/pybind11.h>

#include <string>

#include "device/device.h"

PYBIND11_MODULE(_cuda_probe, m)
{
    m.doc() = "Reports whether the CUDA runtime sees a usable GPU.";
    m.def(
        "device_count",
        []() {
            std::string why;
            const int count = dev::deviceCount(&why);
            return pybind11::make_tuple(count, why);
        },
        "(count, reason): the number of usable CUDA devices, and why there is none.");
}
