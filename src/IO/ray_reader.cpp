// The .ry ray file: after blank lines and "#" comment lines, a line starting with the ray
// count; then seven numbers per ray (px py pz dx dy dz power), separated by any white
// space, read with the classic "C" number format.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "rays/ray_collection.h"

namespace {

[[noreturn]] void refuse(const std::string& path, const std::string& problem)
{
    throw std::runtime_error("Ray file " + path + ": " + problem);
}

} // namespace

std::unique_ptr<RayCollection> readRayFile(const std::string& path)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) refuse(path, "is a folder, not a file");
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Failed to open file " + path + ": " + std::strerror(errno));
    in.imbue(std::locale::classic());

    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos && line[first] != '#') {
            found = true;
            break;
        }
    }
    if (!found) refuse(path, "no ray count line: the file is empty or holds only comments");
    // The count is a plain non-negative integer: "1e2" or "0x10" are typos, not 1 and 0.
    std::istringstream words(line);
    std::string token;
    words >> token;
    const bool digits = !token.empty() && token.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || token.size() > 10 ||
        std::stoull(token) > static_cast<unsigned long long>(std::numeric_limits<int>::max())) {
        refuse(path, "the ray count " + token + " is not a valid count (a non-negative integer below 2^31)");
    }
    const int n = std::stoi(token);
    if (n > kMaxRays) {
        refuse(path, "the ray count " + token + " is more than the engine holds (at most " + std::to_string(kMaxRays) +
                         " rays)");
    }

    // Read every record into host memory first: the device arrays are only created for a
    // file that is whole.
    // The vector grows with what is read, so a mistyped count does not reserve memory for
    // rays the file does not hold.
    const std::size_t count = static_cast<std::size_t>(n);
    std::vector<float> record;
    std::string word;
    while (record.size() < 7 * count && in >> word) {
        const std::string ray = "ray " + std::to_string(record.size() / 7);
        if (word[0] == '#') refuse(path, ray + " is interrupted by a comment");
        char* end = nullptr;
        const float v = std::strtof(word.c_str(), &end);
        if (end == word.c_str() || *end != '\0') refuse(path, ray + ": '" + word + "' is not a number");
        if (!std::isfinite(v)) refuse(path, ray + " holds a number that is not finite (" + word + ")");
        record.push_back(v);
    }
    const std::size_t values = record.size();
    if (values < 7 * count) {
        refuse(path, "read " + std::to_string(values / 7) + " complete rays of the " + std::to_string(n) + " declared");
    }
    // Numbers after the declared rays mean the count line is wrong: tracing only some of
    // the rays would pass for the whole light.
    std::size_t extra = 0;
    while (std::getline(in, line)) { // from the rest of the last ray's line on
        std::istringstream rest(line);
        for (std::string w; rest >> w && w[0] != '#';) ++extra;
    }
    if (extra > 0) {
        refuse(path, "the count line declares " + std::to_string(n) + " rays, but the file holds " +
                         std::to_string(extra) + " more number(s) after them (" + std::to_string(n + extra / 7) +
                         " rays" + (extra % 7 ? " and a partial one" : "") + "); correct the count line");
    }
    const RayCheck check = checkRayRecords(record.data(), count);
    const std::string ray = "ray " + std::to_string(check.ray);
    if (check.fault == RayFault::ZeroDirection) refuse(path, ray + " has a zero direction");
    if (check.fault == RayFault::NegativePower) refuse(path, ray + " has a negative power");
    return raysFromRecords(record.data(), count);
}
