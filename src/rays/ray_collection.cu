#include "rays/ray_collection.h"
#include "device/launch.h"

#include <cmath>
#include <stdexcept>

#include "common/messages.h"

__global__ void initializeRandomStatesKernel(unsigned long long* seeds, int n)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i < n) seeds[i] = splitmix64Seed(static_cast<std::uint64_t>(i));
}

__global__ void rotateRaysAroundAxisKernel(RaysDataFlat* rays, int n, Vec3 k, float c, float s)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    const Vec3 d = rays->getVector(i, rays->directions);
    const Vec3 q = rays->getVector(i, rays->positions) - 10.0f * d;
    auto rotate = [&](Vec3 v) { return v * c + cross(k, v) * s + k * (dot(k, v) * (1.0f - c)); };
    rays->setVector(i, rotate(q), rays->positions);
    rays->setVector(i, rotate(d), rays->directions);
}

void reportDeviceFault(const char* label, const char* runtimeText)
{
    msg::err("%s\n", label);
    msg::err("Cuda: %s\n", runtimeText);
    throw std::runtime_error(std::string(label) + ": " + runtimeText);
}

namespace {

// The runtime's own text for a failure the device layer raised.
const char* runtimeText(const dev::DeviceError& e) { return dev::errorString(e.code()); }

} // namespace

RayCollection::RayCollection(int n)
{
    if (n < 0) throw std::invalid_argument("the ray count must not be negative");
    try {
        storage.record.allocate(1, "ray record");
    } catch (const dev::DeviceError& e) {
        reportDeviceFault("Resize error", runtimeText(e));
    }
    d_rdata = storage.record.data();
    allocate(n);
}

void RayCollection::resize(int n)
{
    if (n < 0) throw std::invalid_argument("the ray count must not be negative");
    allocate(n);
}

void RayCollection::allocate(int n)
{
    const std::size_t count = static_cast<std::size_t>(n);
    try {
        Storage fresh;
        fresh.positions.allocate(3 * count, "ray positions");
        fresh.directions.allocate(3 * count, "ray directions");
        fresh.power.allocate(count, "ray power");
        fresh.startFaces.allocate(count, "ray start faces");
        fresh.seeds.allocate(count, "ray seeds");
        dev::memset(fresh.startFaces.data(), 0xFF, fresh.startFaces.bytes()); // -1
        // Rays not yet given a position, direction and power hold zeros, not stale memory.
        fresh.positions.zero();
        fresh.directions.zero();
        fresh.power.zero();
        dev::launchItems(DEV_KERNEL(initializeRandomStatesKernel), n, 256, dev::kDefaultStream,
                         reinterpret_cast<unsigned long long*>(fresh.seeds.data()), n);
        // The previous arrays go only once the new ones exist.
        storage.positions = std::move(fresh.positions);
        storage.directions = std::move(fresh.directions);
        storage.power = std::move(fresh.power);
        storage.startFaces = std::move(fresh.startFaces);
        storage.seeds = std::move(fresh.seeds);
        storage.origins.release();
    } catch (const dev::DeviceError& e) {
        reportDeviceFault("Resize error", runtimeText(e));
    }
    nRays = n;
    h_rdata.nRays = n;
    h_rdata.positions = storage.positions.data();
    h_rdata.directions = storage.directions.data();
    h_rdata.power = storage.power.data();
    h_rdata.startFaces = storage.startFaces.data();
    h_rdata.seeds = storage.seeds.data();
    uploadRecord();
}

void RayCollection::uploadRecord()
{
    try {
        dev::upload(d_rdata, &h_rdata, 1);
    } catch (const dev::DeviceError& e) {
        reportDeviceFault("Link error", runtimeText(e));
    }
}

void RayCollection::rotateRaysAroundAxis(Vec3 axis, float angle)
{
    dev::getLastError();
    if (nRays <= 0) {
        msg::out("Warning: rotateRaysAroundAxis called with nRays = %d\n", nRays);
        return;
    }
    if (d_rdata == nullptr) {
        msg::out("Error: d_rdata is NULL in rotateRaysAroundAxis\n");
        const dev::Error pending = dev::getLastError();
        if (pending != dev::kSuccess) reportDeviceFault("d_rdata is NULL", dev::errorString(pending));
        return;
    }
    const float L = length(axis);
    if (!(L > 0.0f)) {
        // A zero axis would scale every position and direction by cos(angle).
        msg::out("Error: rotation axis has zero length; rays not rotated\n");
        return;
    }
    axis = Vec3(axis.x / L, axis.y / L, axis.z / L);
    forgetOrigins(); // the rotated positions are the new starting points
    const dev::Error pending = dev::getLastError();
    if (pending != dev::kSuccess) msg::out("CUDA error before kernel launch: %s\n", dev::errorString(pending));
    try {
        dev::launchItems(DEV_KERNEL(rotateRaysAroundAxisKernel), nRays, 256, dev::kDefaultStream, d_rdata, nRays, axis,
                         cosf(angle), sinf(angle));
    } catch (const dev::DeviceError& e) {
        msg::out("Kernel launch failed: %s\n", runtimeText(e));
        reportDeviceFault("Rotation kernel launch error", runtimeText(e));
    }
    try {
        dev::synchronize();
    } catch (const dev::DeviceError& e) {
        reportDeviceFault("Rotation kernel error", runtimeText(e));
    }
}

void RayCollection::rememberOrigins()
{
    storage.origins.allocate(3 * static_cast<std::size_t>(nRays), "ray origins");
    dev::copy(storage.origins.data(), h_rdata.positions, storage.origins.bytes(), dev::CopyKind::DeviceToDevice);
}

void RayCollection::restoreOrigins()
{
    dev::copy(h_rdata.positions, storage.origins.data(), storage.origins.bytes(), dev::CopyKind::DeviceToDevice);
}

RayCheck checkRayRecords(const float* records, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const float* r = records + 7 * i;
        if (std::hypot(double(r[3]), double(r[4]), double(r[5])) == 0.0) return {RayFault::ZeroDirection, i};
        if (r[6] < 0.0f) return {RayFault::NegativePower, i};
    }
    return {RayFault::None, 0};
}

std::unique_ptr<RayCollection> raysFromRecords(const float* records, std::size_t count)
{
    auto rays = std::make_unique<RayCollection>(static_cast<int>(count));
    dev::PinnedArray<float> positions(3 * count, "ray positions staging");
    dev::PinnedArray<float> directions(3 * count, "ray directions staging");
    dev::PinnedArray<float> power(count, "ray power staging");
    for (std::size_t i = 0; i < count; ++i) {
        const float* r = records + 7 * i;
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
