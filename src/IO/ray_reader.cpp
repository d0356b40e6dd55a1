// The .ry ray file: after blank lines and "#" comment lines, a line starting with the ray
// count; then seven numbers per ray (px py pz dx dy dz power), separated by any white
// space, read with the classic "C" number format.
#include <cmath>
#include <fstream>
#include <limits>
#include <locale>
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
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Failed to open file");
    in.imbue(std::locale::classic());

    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#') break;
        line.clear();
    }
    // std::stoull fails with "stoull" on text without a leading number and on overflow;
    // reader errors reach callers as runtime errors, with that text.
    unsigned long long declared = 0;
    try {
        declared = std::stoull(line);
    } catch (const std::logic_error& e) {
        throw std::runtime_error(e.what());
    }
    if (declared > static_cast<unsigned long long>(std::numeric_limits<int>::max())) {
        // stoull accepts a minus sign and wraps it around; a count must be a non-negative int.
        refuse(path, "the ray count " + line.substr(0, line.find_first_of(" \t\r")) + " is not a valid count");
    }
    const int n = static_cast<int>(declared);

    // Read every record into host memory first: the device arrays are only created for a
    // file that is whole.
    // The vector grows with what is read, so a mistyped count does not reserve memory for
    // rays the file does not hold.
    const std::size_t count = static_cast<std::size_t>(n);
    std::vector<float> record;
    float v;
    while (record.size() < 7 * count && in >> v) {
        if (!std::isfinite(v)) {
            refuse(path, "ray " + std::to_string(record.size() / 7) + " holds a number that is not finite");
        }
        record.push_back(v);
    }
    const std::size_t values = record.size();
    if (values < 7 * count) {
        refuse(path, "read " + std::to_string(values / 7) + " complete rays of the " + std::to_string(n) + " declared");
    }

    auto rays = std::make_unique<RayCollection>(n);
    dev::PinnedArray<float> positions(3 * count, "ray positions staging");
    dev::PinnedArray<float> directions(3 * count, "ray directions staging");
    dev::PinnedArray<float> power(count, "ray power staging");
    for (std::size_t i = 0; i < count; ++i) {
        const float* r = &record[7 * i];
        float d[3] = {r[3], r[4], r[5]};
        const float L = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        if (L != 0.0f) {
            const float inv = 1.0f / L;
            for (float& c : d) c *= inv;
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
