// Small meshes written as legacy VTK text, and capture of the messages a load prints.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/messages.h"
#include "device/buffer.h"

namespace fixtures {

// A host copy of n elements of a device array.
template <typename T>
std::vector<T> fetch(const T* deviceArray, std::size_t n)
{
    return dev::download(deviceArray, n);
}

// A file in the test's temporary directory holding `text`; removed when it goes. The name
// carries the process id: tests run in parallel processes share the directory.
class TempFile {
public:
    TempFile(const std::string& name, const std::string& text)
            : path_(::testing::TempDir() + std::to_string(::getpid()) + "_" + name)
    {
        std::ofstream(path_) << text;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Everything printed to standard output while it lives.
class CapturedOutput {
public:
    CapturedOutput()
    {
        text().clear();
        msg::setSink(&sink);
    }
    ~CapturedOutput() { msg::setSink(nullptr); }
    const std::string& str() const { return text(); }

private:
    static std::string& text()
    {
        static std::string t;
        return t;
    }
    static void sink(msg::Stream stream, const char* data, std::size_t length)
    {
        if (stream == msg::Stream::Out) text().append(data, length);
    }
};

// Unit cube [0,1]^3 in HEX8 node order, and a second cube beside it at x in [1, 2].
inline const char* kTwoCubes = R"(# vtk DataFile Version 3.0
two cubes
ASCII
DATASET UNSTRUCTURED_GRID
POINTS 12 float
0 0 0
1 0 0
1 1 0
0 1 0
0 0 1
1 0 1
1 1 1
0 1 1
2 0 0
2 1 0
2 0 1
2 1 1
CELLS 2 18
8 0 1 2 3 4 5 6 7
8 1 8 9 2 5 10 11 6
CELL_TYPES 2
12
12
POINT_DATA 12
SCALARS RefractiveIndex float 1
LOOKUP_TABLE default
1.5
1.5
1.5
1.5
1.5
1.5
1.5
1.5
1.4
1.4
1.4
1.4
SCALARS Absorptivity float 1
LOOKUP_TABLE default
0.1
0.1
0.1
0.1
0.1
0.1
0.1
0.1
0.2
0.2
0.2
0.2
)";

} // namespace fixtures
