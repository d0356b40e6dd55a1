#include "bindings/module_common.h"

#include "bindings/python_messages.h"
#include "common/messages.h"
#include "device/device.h"

#include <stdexcept>
#include <string>

namespace py = pybind11;

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

void bindCommon(py::module_& m)
{
    installPythonMessageSink();
    m.attr("backend") = dev::backendName();
    m.def("set_num_threads", &dev::setNumThreads, py::arg("threads"),
          "Set the number of CPU threads that run kernels on the CPU variant.\n\n"
          "The initial value follows OMP_NUM_THREADS. The CUDA variant keeps the value but runs\n"
          "kernels on the GPU.");
    m.def("get_num_threads", &dev::numThreads, "Number of CPU threads that run kernels on the CPU variant.");
    m.def(
        "set_verbosity",
        [](int level) {
            if (level < 0 || level > 1) throw std::invalid_argument("verbosity must be 0 or 1, not " + std::to_string(level));
            msg::setVerbosity(level);
        },
        py::arg("level"),
        "Set how much the modules print: 1 (the default) everything, 0 only warnings and errors.\n\n"
        "Level 0 silences informational lines on standard output, such as load reports and the\n"
        "face-grid statistics; every line that is a warning or an error is still printed.");
    m.def("get_verbosity", &msg::verbosity, "The current verbosity: 1 prints everything, 0 warnings and errors only.");
}
