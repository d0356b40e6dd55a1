#pragma once

#include <pybind11/pybind11.h>

// Fills the internal test module (lumetra._testing): hooks for the test suite to drive
// internals directly. Not part of the public API.
void bindTesting(pybind11::module_& m);
void bindTestingMesh(pybind11::module_& m);
void bindTestingRays(pybind11::module_& m);
void bindTestingOptics(pybind11::module_& m);
void bindTestingTracer(pybind11::module_& m);
