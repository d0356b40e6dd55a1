#include "bindings/config_table_py.h"

namespace py = pybind11;

ConfigTable configTableFromDict(const py::dict& table)
{
    ConfigTable out;
    for (const auto& [key, value] : table) {
        const std::string name = py::str(key);
        if (py::isinstance<py::bool_>(value)) out.set(name, value.cast<bool>());
        else if (py::isinstance<py::int_>(value)) out.set(name, value.cast<long long>());
        else if (py::isinstance<py::float_>(value)) out.set(name, value.cast<double>());
        else if (py::isinstance<py::str>(value)) out.set(name, value.cast<std::string>());
        else out.set(name, std::monostate{});
    }
    return out;
}
