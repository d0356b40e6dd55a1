// What both backends of the device layer share: the thread-count rule, and kernel times
// by name. Timing is off unless LUMETRA_PROFILE is set to a value other than 0 when the
// first launch happens; then every launch is timed (on a GPU with events around the
// launch, which makes the host wait for it) and the totals per kernel name are printed as
// a table when the process ends, or earlier through reportKernelProfile().
#pragma once

#include <string>

namespace dev {

namespace detail {
// threads, when it is a count the CPU can serve (1 to 4 x the cores); throws otherwise.
int checkedThreadCount(int threads);
bool profiling() noexcept;
void recordKernelTime(const char* name, double seconds);
} // namespace detail

// The table of launches and times so far (empty when nothing was timed).
std::string kernelProfileTable(const char* title);
// Writes the table to standard error through the message helper and starts afresh.
void reportKernelProfile(const char* title);

} // namespace dev
