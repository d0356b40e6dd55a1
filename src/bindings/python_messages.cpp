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

// Writes through sys.stdout / sys.stderr when this thread holds the interpreter lock.
// A thread that does not (an OpenMP worker while the caller waits for it) must not
// touch the interpreter; it, and a process without usable Python streams, fall back to
// C stdio.
void pythonSink(msg::Stream stream, const char* text, std::size_t length)
{
    if (!Py_IsInitialized() || !PyGILState_Check()) {
        writeStdio(stream, text, length);
        return;
    }
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
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (!written) writeStdio(stream, text, length);
}

} // namespace

void installPythonMessageSink() { msg::setSink(&pythonSink); }
