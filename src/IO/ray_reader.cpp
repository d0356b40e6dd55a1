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
    if (!digits || token.size() > 10 || std::stoull(token) > static_cast<unsigned long long>(std::numeric_limits<int>::max())) {
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
    for (std::size_t i = 0; i < count; ++i) {
        const float* r = &record[7 * i];
        const double length = std::hypot(double(r[3]), double(r[4]), double(r[5]));
        if (length == 0.0) refuse(path, "ray " + std::to_string(i) + " has a zero direction");
        if (r[6] < 0.0f) refuse(path, "ray " + std::to_string(i) + " has a negative power");
    }

    auto rays = std::make_unique<RayCollection>(n);
    dev::PinnedArray<float> positions(3 * count, "ray positions staging");
    dev::PinnedArray<float> directions(3 * count, "ray directions staging");
    dev::PinnedArray<float> power(count, "ray power staging");
    for (std::size_t i = 0; i < count; ++i) {
        const float* r = &record[7 * i];
        float d[3] = {r[3], r[4], r[5]};
        const float L = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        if (L != 0.0f && std::isfinite(L)) {
            const float inv = 1.0f / L;
            for (float& c : d) c *= inv;
        } else {
            // Components so small or so large that their squares leave float's range.
            const double Ld = std::hypot(double(d[0]), double(d[1]), double(d[2]));
            for (float& c : d) c = static_cast<float>(c / Ld);
        }
        for (int c = 0; c < 3; ++c) {
            positions.data()[c * count + i] = r[c];
            directions.data()[c * count + i] = d[c];
        }
        power.data()[i] = r[6];
    }
    const RaysDataFlat& h = rays->h_rdata;
    dev::upload(h.positions, positions.data(), positions.size());
    dev::upload(h.directions, directions.data(), directions.size());
    dev::upload(h.power, power.data(), power.size());
    return rays;
}
