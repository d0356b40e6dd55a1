#include "objectives/objective.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/messages.h"

std::string Objective::nextFileName(const std::string& outputFile) const
{
    // The counter goes before the extension of the file name itself: a dot in a directory
    // name ("./out", "runs/v1.2/result") is not an extension.
    const std::size_t slash = outputFile.find_last_of('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = outputFile.rfind('.');
    const std::string counter = "_" + std::to_string(writeCounter);
    std::string name = outputFile;
    if (dot != std::string::npos && dot > start) name.insert(dot, counter);
    else name += counter;
    return name;
}

void Objective::failedWrite(const std::string& name)
{
    const int code = errno;
    msg::out("Error: Cannot open file %s for writing\n", name.c_str());
    throw std::runtime_error("cannot write " + name + (code != 0 ? std::string(": ") + std::strerror(code) : ""));
}
