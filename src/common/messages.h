// Every message the system prints from host code goes through here. The texts are
// printf-style formats; the destination is a sink: C stdio by default, and the Python
// interpreter's sys.stdout / sys.stderr once an extension module installs its sink, so
// messages show in notebooks and stay in order with the script's own prints.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace msg {

enum class Stream { Out, Err };

using Sink = void (*)(Stream stream, const char* text, std::size_t length);

// 1 (the default) prints everything; 0 keeps only warnings and errors (and everything on
// standard error), silencing informational lines such as load reports and grid statistics.
void setVerbosity(int level) noexcept;
int verbosity() noexcept;

// nullptr restores the C stdio sink.
void setSink(Sink sink) noexcept;
Sink sink() noexcept;

void write(Stream stream, std::string_view text);

// Standard output and standard error.
void out(const char* format, ...) __attribute__((format(printf, 1, 2)));
void err(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* format, std::va_list args);

} // namespace msg
