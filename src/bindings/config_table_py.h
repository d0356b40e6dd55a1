#pragma once

#include <pybind11/pybind11.h>

#include "IO/config_table.h"

// A configuration table from a Python mapping (as tomllib parses a TOML file): strings,
// integers, floats and booleans are kept; other values are marked as of no readable kind.
ConfigTable configTableFromDict(const pybind11::dict& table);

// A configuration table from a dict, or from the path (str or os.PathLike) of a TOML file
// that Python's tomllib reads. Anything else raises TypeError; a file that cannot be read
// raises Python's own error (FileNotFoundError, tomllib.TOMLDecodeError).
ConfigTable configTableFrom(const pybind11::handle& source);
