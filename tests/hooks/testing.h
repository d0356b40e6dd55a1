#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>

#include "device/buffer.h"

// Fills the internal test module (lumetra._testing): hooks for the test suite to drive
// internals directly. Not part of the public API.
void bindTesting(pybind11::module_& m);
void bindTestingMesh(pybind11::module_& m);
void bindTestingRays(pybind11::module_& m);
void bindTestingOptics(pybind11::module_& m);
void bindTestingTracer(pybind11::module_& m);

// A rows x columns NumPy array copied from a device array.
template <typename T>
pybind11::array_t<T> fetchDeviceArray(const T* deviceArray, std::size_t rows, std::size_t columns)
{
    pybind11::array_t<T> out({rows, columns});
    if (rows * columns > 0) {
        dev::download(deviceArray, out.mutable_data(), rows * columns);
    }
    return out;
}
