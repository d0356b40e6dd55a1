#include "hooks/testing.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <string>

#include "common/messages.h"
#include "device/device.h"
#include "kernels/device_selftest.h"

namespace py = pybind11;

namespace {

msg::Stream parseStream(const std::string& name)
{
    if (name == "out") return msg::Stream::Out;
    if (name == "err") return msg::Stream::Err;
    throw std::invalid_argument("stream must be 'out' or 'err', not '" + name + "'");
}

} // namespace

void bindTesting(py::module_& m)
{
    m.def(
        "message", [](const std::string& stream, const std::string& text) { msg::write(parseStream(stream), text); },
        py::arg("stream"), py::arg("text"), "Write text through the message helper to 'out' or 'err'.");
    m.def(
        "message_format",
        [](const std::string& stream, const std::string& word, int number, double value) {
            const msg::Stream s = parseStream(stream);
            if (s == msg::Stream::Out) msg::out("%s %d %.3f\n", word.c_str(), number, value);
            else msg::err("%s %d %.3f\n", word.c_str(), number, value);
        },
        py::arg("stream"), py::arg("word"), py::arg("number"), py::arg("value"),
        "Print '<word> <number> <value:.3f>' through the printf-style helper.");

    m.def("launch_coverage", &dev::selftest::launchCoverage, py::arg("items"), py::arg("block_size"),
          "Visit counts of a one-dimensional launch over `items` items.");
    m.def("atomic_int_sum", &dev::selftest::atomicIntSum, py::arg("threads"), py::arg("repeats"));
    m.def("atomic_double_sum", &dev::selftest::atomicDoubleSum, py::arg("threads"), py::arg("repeats"),
          py::arg("value"));
    m.def("atomic_float_sum", &dev::selftest::atomicFloatSum, py::arg("threads"), py::arg("repeats"), py::arg("value"));
    m.def("stream_pipeline", &dev::selftest::streamPipeline, py::arg("values"),
          "2 * values + 1, computed across two streams ordered by an event.");
    m.def("device_printf", &dev::selftest::devicePrintf, py::arg("threads"));
    m.def(
        "xorwow",
        [](std::uint64_t seed, std::uint64_t subsequence, std::uint64_t offset, int count) {
            if (count < 0) throw std::invalid_argument("count must not be negative");
            py::array_t<std::uint32_t> raw(count);
            py::array_t<float> uniform(count);
            dev::selftest::xorwowDraws(seed, subsequence, offset, count, raw.mutable_data(), uniform.mutable_data());
            return py::make_tuple(raw, uniform);
        },
        py::arg("seed"), py::arg("subsequence"), py::arg("offset"), py::arg("count"),
        "(raw, uniform) draws of one XORWOW state made on the device.");
    m.def("allocate", &dev::selftest::allocateAndFree, py::arg("bytes"), "Allocate and free device memory.");
    m.def("launch_with_block", &dev::selftest::launchWithBlock, py::arg("block_size"));

    bindTestingMesh(m);
    bindTestingRays(m);
    bindTestingOptics(m);
    bindTestingTracer(m);
}
