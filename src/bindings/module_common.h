#pragma once

#include <pybind11/pybind11.h>

// What both extension modules carry besides their own classes: the message sink, the
// backend name and the CPU thread count.
void bindCommon(pybind11::module_& m);

// The public boundary-condition types of lumetra.
void bindOpticsTypes(pybind11::module_& m);

// The Lumetra engine class of the public module.
void bindEngine(pybind11::module_& m);
