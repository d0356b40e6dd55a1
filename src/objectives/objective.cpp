#include "objectives/objective.h"

#include <cstdio>

std::string Objective::nextFileName(const std::string& outputFile) const
{
    char name[512];
    const std::size_t dot = outputFile.rfind('.');
    if (dot != std::string::npos) {
        std::snprintf(name, sizeof name, "%.*s_%d%s", static_cast<int>(dot), outputFile.c_str(), writeCounter,
                      outputFile.c_str() + dot);
    } else {
        std::snprintf(name, sizeof name, "%s_%d", outputFile.c_str(), writeCounter);
    }
    return name;
}

std::string Objective::takeFileName(const std::string& outputFile)
{
    std::string name = nextFileName(outputFile);
    ++writeCounter;
    return name;
}
