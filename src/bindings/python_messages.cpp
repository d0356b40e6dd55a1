#include "bindings/python_messages.h"

#include <Python.h>
#include <cstdio>

#include "common/messages.h"

namespace {

void writeStdio(msg::Stream stream, const char* text, std::size_t length)
{
    std::FILE* f = stream == msg::Stream::Out ? stdout : stderr;
    std::fwrite(text, 1, length, f);
    std::fflush(f);
}

// Writes through sys.stdout / sys.stderr, taking the interpreter lock when the calling
// thread released it (a trace runs without it). Only the thread that called into the
// module prints: OpenMP workers never do (device printf is buffered until the launch
// ends). A process without usable Python streams falls back to C stdio.
void pythonSink(msg::Stream stream, const char* text, std::size_t length)
{
    if (!Py_IsInitialized()) {
        writeStdio(stream, text, length);
        return;
    }
    const PyGILState_STATE gil = PyGILState_Ensure();
    // Keep an exception that is being raised intact across the write.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);

    bool written = false;
    PyObject* file = PySys_GetObject(stream == msg::Stream::Out ? "stdout" : "stderr"); // borrowed
    if (file != nullptr && file != Py_None) {
        PyObject* str = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "replace");
        if (str != nullptr) {
            PyObject* result = PyObject_CallMethod(file, "write", "O", str);
            written = result != nullptr;
            Py_XDECREF(result);
            Py_DECREF(str);
        }
    }
    // A Ctrl-C that Python noticed inside a write written in Python (a stream that filters
    // lines) is not lost with the write's other errors: it is raised again at the next check.
    const bool interrupted = PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
    PyErr_Clear();
    if (interrupted) PyErr_SetInterrupt();
    PyErr_Restore(type, value, traceback);
    PyGILState_Release(gil);
    if (!written) writeStdio(stream, text, length);
}

} // namespace

void installPythonMessageSink() { msg::setSink(&pythonSink); }
