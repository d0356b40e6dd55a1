#pragma once

#include <pybind11/pybind11.h>

#include "IO/config_table.h"

// A configuration table from a Python mapping (as tomllib parses a TOML file): strings,
// integers, floats and booleans are kept; other values are marked as of no readable kind.
ConfigTable configTableFromDict(const pybind11::dict& table);
