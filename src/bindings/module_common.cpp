#include "bindings/module_common.h"

#include "bindings/python_messages.h"
#include "common/messages.h"
#include "device/device.h"

#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace {
// cudaErrorMemoryAllocation; the CPU backend reports a failed allocation with CUDA's code.
constexpr dev::Error kOutOfMemory = 2;
} // namespace

void requireCount(const std::string& item, long long count, const char* what, double bytesEach)
{
    py::module_::import("lumetra._sizes").attr("require_count")(item, count, what, bytesEach);
}

void requireMemory(const std::string& item, double bytes)
{
    py::module_::import("lumetra._sizes").attr("require_memory")(item, bytes);
}

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
    return py::module_::import("lumetra._addresses").attr("check")(address, kind, call);
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
