#include "device/profile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/messages.h"

namespace dev {
namespace {

struct KernelTotals {
    long long launches = 0;
    double seconds = 0.0;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, KernelTotals> totals;

    // A process that never asked for the table gets it on standard error at exit. By then
    // Python may be gone, so this goes to C stdio directly.
    ~Registry()
    {
        const std::string table = tableLocked("kernel times");
        if (!table.empty()) std::fputs(table.c_str(), stderr);
    }

    std::string tableLocked(const char* title)
    {
        if (totals.empty()) return {};
        std::vector<std::pair<std::string, KernelTotals>> rows(totals.begin(), totals.end());
        std::sort(rows.begin(), rows.end(),
                  [](const auto& a, const auto& b) { return a.second.seconds > b.second.seconds; });
        std::size_t width = 6;
        for (const auto& row : rows) width = std::max(width, row.first.size());
        std::string text = msg::format("%s (LUMETRA_PROFILE)\n%-*s %10s %12s %12s\n", title, static_cast<int>(width),
                                       "kernel", "launches", "total ms", "ms/launch");
        for (const auto& [name, t] : rows) {
            text += msg::format("%-*s %10lld %12.3f %12.4f\n", static_cast<int>(width), name.c_str(), t.launches,
                                1e3 * t.seconds, 1e3 * t.seconds / static_cast<double>(t.launches));
        }
        return text;
    }
};

Registry& registry()
{
    static Registry r;
    return r;
}

bool readSwitch()
{
    const char* value = std::getenv("LUMETRA_PROFILE");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

} // namespace

namespace detail {

bool profiling() noexcept
{
    static const bool enabled = readSwitch();
    return enabled;
}

int checkedThreadCount(int threads)
{
    // Far more threads than cores only slows launches down, and a count in the tens of
    // thousands exhausts the OpenMP runtime (which ends the process).
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const long long limit = 4LL * cores;
    if (threads < 1 || threads > limit) {
        throw std::invalid_argument("the thread count must be between 1 and " + std::to_string(limit) + " (4 x the " +
                                    std::to_string(cores) + " cores), not " + std::to_string(threads));
    }
    return threads;
}

void recordKernelTime(const char* name, double seconds)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    KernelTotals& t = r.totals[name];
    ++t.launches;
    t.seconds += seconds;
}

} // namespace detail

std::string kernelProfileTable(const char* title)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.tableLocked(title);
}

void reportKernelProfile(const char* title)
{
    Registry& r = registry();
    std::string table;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        table = r.tableLocked(title);
        r.totals.clear();
    }
    if (!table.empty()) msg::write(msg::Stream::Err, table);
}

} // namespace dev
