#include "bindings/module_common.h"

#include "bindings/python_messages.h"
#include "device/device.h"

namespace py = pybind11;

void bindCommon(py::module_& m)
{
    installPythonMessageSink();
    m.attr("backend") = dev::backendName();
    m.def("set_num_threads", &dev::setNumThreads, py::arg("threads"),
          "Set the number of CPU threads that run kernels on the CPU variant.\n\n"
          "The initial value follows OMP_NUM_THREADS. The CUDA variant keeps the value but runs\n"
          "kernels on the GPU.");
    m.def("get_num_threads", &dev::numThreads, "Number of CPU threads that run kernels on the CPU variant.");
}
