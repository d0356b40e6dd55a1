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

ConfigTable configTableFrom(const py::handle& source)
{
    if (py::isinstance<py::dict>(source)) return configTableFromDict(py::reinterpret_borrow<py::dict>(source));
    const py::module_ os = py::module_::import("os");
    if (py::isinstance<py::str>(source) || py::isinstance(source, os.attr("PathLike"))) {
        const py::object path = os.attr("fspath")(source);
        const py::object file = py::module_::import("builtins").attr("open")(path, "rb");
        py::object table;
        try {
            table = py::module_::import("tomllib").attr("load")(file);
        } catch (py::error_already_set& e) {
            file.attr("close")();
            if (!e.matches(py::module_::import("tomllib").attr("TOMLDecodeError"))) throw;
            throw std::runtime_error(std::string(py::str(path)) +
                                     ": not valid TOML: " + std::string(py::str(e.value())));
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        return configTableFromDict(table.cast<py::dict>());
    }
    throw py::type_error("config must be a dict or the path of a TOML file, not " +
                         std::string(py::str(py::type::of(source).attr("__name__"))));
}
