#include <pybind11/pybind11.h>

#include "bindings/python_messages.h"
#include "hooks/testing.h"

// The test suite's hooks into internals, one module per variant (_lumetra_testing_cpu,
// _lumetra_testing_cuda), built only with the tests. It binds only types of its own:
// pybind11 registers a type once per process, and the public module binds the rest.
PYBIND11_MODULE(LUMETRA_TESTING_EXTENSION_NAME, m)
{
    m.doc() = "Internal hooks for the test suite; not part of the public API.";
    installPythonMessageSink();
    bindTesting(m);
}
