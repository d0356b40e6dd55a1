#include "bindings/module_common.h"

#include "bindings/python_messages.h"
#include "common/messages.h"
#include "device/device.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace py = pybind11;

namespace {
// cudaErrorMemoryAllocation; the CPU backend reports a failed allocation with CUDA's code.
constexpr dev::Error kOutOfMemory = 2;

// The hooks the package installed. Not a static py::object: its destructor would run after
// the interpreter is gone. An atexit callback releases them while it is still whole.
py::dict* hooks = nullptr;
bool released = false;

void installHooks(py::object requireCount, py::object requireMemory, py::object registerAddress,
                  py::object checkAddress, py::object engineType)
{
    if (!hooks) {
        hooks = new py::dict();
        py::module_::import("atexit").attr("register")(py::cpp_function([] {
            delete hooks;
            hooks = nullptr;
            released = true;
        }));
    }
    (*hooks)["require_count"] = std::move(requireCount);
    (*hooks)["require_memory"] = std::move(requireMemory);
    (*hooks)["register_address"] = std::move(registerAddress);
    (*hooks)["check_address"] = std::move(checkAddress);
    (*hooks)["engine_type"] = std::move(engineType);
}
} // namespace

py::object hook(const char* name)
{
    if (hooks && hooks->contains(name)) return (*hooks)[name];
    if (released) throw std::runtime_error(std::string(name) + ": the interpreter is shutting down");
    throw std::runtime_error(std::string("the compiled module has no ") + name +
                             " (its package installs it at import): import lumetra, curalis or exposa, not "
                             "their compiled modules");
}

void requireCount(const std::string& item, long long count, const char* what, double bytesEach)
{
    hook("require_count")(item, count, what, bytesEach);
}

void requireMemory(const std::string& item, double bytes) { hook("require_memory")(item, bytes); }

bool hostHoldsDeviceMemory() { return std::string(dev::backendName()) == "cpu"; }

int modelNodeCount(const char* model, long long n, double bytesEach)
{
    const std::string item = std::string(model) + ": n_nodes";
    if (n < 0) throw std::invalid_argument(item + " must not be negative (got " + std::to_string(n) + ")");
    requireCount(item, n, "nodes", bytesEach);
    if (hostHoldsDeviceMemory()) requireMemory(item + " = " + std::to_string(n), static_cast<double>(n) * bytesEach);
    return static_cast<int>(n);
}

std::uintptr_t engineAddress(const EngineObject& engine, const char* call, const char* getter)
{
    const auto address = engine.engine.attr(getter)().cast<std::uintptr_t>();
    if (address == 0) {
        const bool mesh = std::string(getter) != "get_result_array_device_ptr";
        throw std::runtime_error(std::string(call) + (mesh ? ": the engine has no mesh loaded"
                                                           : ": the engine has no absorbed power yet (it needs a mesh "
                                                             "and config(); see its message above)"));
    }
    return address;
}

py::object addressOwner(std::uintptr_t address, const char* kind, const char* call)
{
    if (address == 0) return py::none();
    return hook("check_address")(address, kind, call);
}

void keepOwner(py::object& keep, std::uintptr_t result, std::uintptr_t devlink, const char* call)
{
    py::object a = addressOwner(result, "result", call);
    py::object b = addressOwner(devlink, "devlink", call);
    if (!a.is_none() && !b.is_none() && !a.is(b)) {
        throw std::runtime_error(std::string(call) + ": the result array and the mesh record come from two different "
                                                     "engines");
    }
    if (!a.is_none()) keep = a;
    else if (!b.is_none()) keep = b;
}

void bindCommon(py::module_& m)
{
    installPythonMessageSink();
    // Running out of device memory is running out of memory, whichever memory it is.
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const dev::DeviceError& e) {
            if (e.code() != kOutOfMemory) throw;
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });
    m.attr("backend") = dev::backendName();
    m.def("_install_hooks", &installHooks, py::arg("require_count"), py::arg("require_memory"),
          py::arg("register_address"), py::arg("check_address"), py::arg("engine_type"),
          "Hand the module what it uses of its package; lumetra._backend.install_hooks calls it.");
    m.def("set_num_threads", &dev::setNumThreads, py::arg("threads"),
          "Set the number of CPU threads that run kernels on the CPU variant.\n\n"
          "The initial value follows OMP_NUM_THREADS. The CUDA variant keeps the value but runs\n"
          "kernels on the GPU.");
    m.def("get_num_threads", &dev::numThreads, "Number of CPU threads that run kernels on the CPU variant.");
    m.def(
        "set_verbosity",
        [](int level) {
            if (level < 0 || level > 1)
                throw std::invalid_argument("verbosity must be 0 or 1, not " + std::to_string(level));
            msg::setVerbosity(level);
        },
        py::arg("level"),
        "Set how much the modules print: 1 (the default) everything, 0 only warnings and errors.\n\n"
        "Level 0 silences informational lines on standard output, such as load reports and the\n"
        "face-grid statistics; every line that is a warning or an error is still printed.");
    m.def("get_verbosity", &msg::verbosity, "The current verbosity: 1 prints everything, 0 warnings and errors only.");
}
