// The host ray collection: owns the flat record's arrays and its device copy. Like the
// mesh, its first members are fixed (d_rdata, h_rdata, nRays) and it has no virtual
// functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "device/buffer.h"
#include "rays/ray.h"

class RayCollection {
public:
    RaysDataFlat* d_rdata = nullptr;
    RaysDataFlat h_rdata{};
    int nRays = 0;

    // n rays: arrays allocated, startFaces -1, seeds from the ray index. Device faults
    // print "Resize error" / "Link error" and raise std::runtime_error.
    explicit RayCollection(int n);
    RayCollection(const RayCollection&) = delete;
    RayCollection& operator=(const RayCollection&) = delete;

    // Replaces every array (releasing the old ones) for n rays, as construction does.
    void resize(int n);

    // Moves every ray back 10 units along its direction, then rotates position and
    // direction about the axis through the origin (right-hand rule). A zero axis is refused.
    void rotateRaysAroundAxis(Vec3 axis, float angle);

    // Placing rays on the surface moves them onto their start faces; a ray that already
    // lies on a face would not find it again (a hit needs a positive distance). The
    // positions the rays had before their first placement are kept so that a later
    // placement (after the mesh or its conditions changed) starts from them again.
    void rememberOrigins();
    void restoreOrigins();
    void forgetOrigins() { storage.origins.release(); }
    bool hasOrigins() const { return !storage.origins.empty() || nRays == 0; }

    struct Storage {
        dev::DeviceArray<RaysDataFlat> record;
        dev::DeviceArray<float> positions, directions, power;
        dev::DeviceArray<int> startFaces;
        dev::DeviceArray<std::uint64_t> seeds;
        dev::DeviceArray<float> origins; // positions before the first placement
    };
    Storage storage;

private:
    void allocate(int n);
    void uploadRecord();
};

// What is wrong with the first bad ray of a set of records (RayFault::None: nothing).
enum class RayFault { None, ZeroDirection, NegativePower };
struct RayCheck {
    RayFault fault;
    std::size_t ray;
};

// Checks records of seven finite floats per ray (px py pz dx dy dz power): a direction must
// have a length and a power must not be negative.
RayCheck checkRayRecords(const float* records, std::size_t count);

// The rays of checked records (checkRayRecords), directions normalised: what a ray file
// and an array of rays both become, so the two give the same rays bit for bit.
std::unique_ptr<RayCollection> raysFromRecords(const float* records, std::size_t count);

// Reads a .ry file: a count line (after blank and "#" lines), then seven numbers per ray
// (position, direction, power), directions normalised. Throws std::runtime_error naming
// the path and the problem: a file that cannot be opened ("Failed to open file <path>:
// <reason>"), no count line, a count that is not a plain non-negative integer, a short
// file, a number that is not finite, a zero direction or a negative power.
std::unique_ptr<RayCollection> readRayFile(const std::string& path);

// Prints the label and the runtime's text to standard error, as a fatal device fault is
// reported, and raises std::runtime_error("<label>: <text>").
[[noreturn]] void reportDeviceFault(const char* label, const char* runtimeText);
