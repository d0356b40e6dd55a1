// Owners of device memory, page-locked host memory, streams and events. A flat record
// of counts and addresses (what kernels receive) points into these; the owner releases
// the memory exactly once, also when it is reallocated or moved from.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "device/device.h"

namespace dev {

// The one way host code copies device arrays to and from the host.
template <typename T>
void download(const T* deviceArray, T* host, std::size_t count)
{
    copy(host, deviceArray, count * sizeof(T), CopyKind::DeviceToHost);
}
template <typename T>
std::vector<T> download(const T* deviceArray, std::size_t count)
{
    std::vector<T> host(count);
    download(deviceArray, host.data(), count);
    return host;
}
template <typename T>
void upload(T* deviceArray, const T* host, std::size_t count)
{
    copy(deviceArray, host, count * sizeof(T), CopyKind::HostToDevice);
}
template <typename T>
void upload(T* deviceArray, const std::vector<T>& host)
{
    upload(deviceArray, host.data(), host.size());
}

namespace detail {
template <typename T, void* (*Alloc)(std::size_t, const char*), void (*Free)(void*) noexcept>
class OwnedArray {
public:
    OwnedArray() = default;
    explicit OwnedArray(std::size_t count, const char* what = "array") { allocate(count, what); }
    ~OwnedArray() { release(); }

    OwnedArray(const OwnedArray&) = delete;
    OwnedArray& operator=(const OwnedArray&) = delete;
    OwnedArray(OwnedArray&& other) noexcept
            : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0))
    {
    }
    OwnedArray& operator=(OwnedArray&& other) noexcept
    {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }

    // Replaces the contents with `count` uninitialised elements. The old memory is
    // released only once the new allocation has succeeded.
    void allocate(std::size_t count, const char* what = "array")
    {
        if (count > static_cast<std::size_t>(-1) / sizeof(T))
            throw DeviceError(std::string(what) + ": size overflows", 2);
        T* fresh = static_cast<T*>(Alloc(count * sizeof(T), what));
        release();
        data_ = fresh;
        size_ = count;
    }

    void release() noexcept
    {
        if (data_) Free(data_);
        data_ = nullptr;
        size_ = 0;
    }

    T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t bytes() const noexcept { return size_ * sizeof(T); }
    bool empty() const noexcept { return size_ == 0; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};
} // namespace detail

template <typename T>
class DeviceArray : public detail::OwnedArray<T, &deviceAlloc, &deviceFree> {
public:
    using detail::OwnedArray<T, &deviceAlloc, &deviceFree>::OwnedArray;

    void zero() { dev::memset(this->data(), 0, this->bytes()); }

    // Copies count elements (all by default) from or to host memory.
    void upload(const T* host, std::size_t count) { dev::upload(this->data(), host, checked(count)); }
    void upload(const std::vector<T>& host) { upload(host.data(), host.size()); }
    void download(T* host, std::size_t count) const { dev::download(this->data(), host, checked(count)); }
    std::vector<T> download() const
    {
        std::vector<T> host(this->size());
        download(host.data(), host.size());
        return host;
    }

private:
    std::size_t checked(std::size_t count) const
    {
        if (count > this->size()) throw DeviceError("copy of more elements than the device array holds", 1);
        return count;
    }
};

template <typename T>
using PinnedArray = detail::OwnedArray<T, &hostAlloc, &hostFree>;

class Stream {
public:
    Stream() : handle_(streamCreate()) {}
    ~Stream() { streamDestroy(handle_); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    StreamHandle get() const noexcept { return handle_; }
    void synchronize() const { streamSynchronize(handle_); }

private:
    StreamHandle handle_;
};

class Event {
public:
    Event() : handle_(eventCreate()) {}
    ~Event() { eventDestroy(handle_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    EventHandle get() const noexcept { return handle_; }
    void record(StreamHandle stream) const { eventRecord(handle_, stream); }
    void synchronize() const { eventSynchronize(handle_); }

private:
    EventHandle handle_;
};

} // namespace dev
