#include "common/messages.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace msg {
namespace {

void stdioSink(Stream stream, const char* text, std::size_t length)
{
    std::FILE* f = stream == Stream::Out ? stdout : stderr;
    std::fwrite(text, 1, length, f);
    std::fflush(f);
}

std::atomic<Sink> currentSink{&stdioSink};
std::atomic<int> currentVerbosity{1};

// Warnings and errors name themselves ("Error: ...", "Warning: ...", "Aborting: ...",
// "Kernel launch failed: ..."); everything else on standard output is information.
bool isInformation(std::string_view text)
{
    std::string lower(text.substr(0, 256));
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const char* word : {"error", "warning", "abort", "fail"}) {
        if (lower.find(word) != std::string::npos) return false;
    }
    return true;
}

} // namespace

void setSink(Sink s) noexcept { currentSink.store(s ? s : &stdioSink); }

Sink sink() noexcept { return currentSink.load(); }

void setVerbosity(int level) noexcept { currentVerbosity.store(level); }
int verbosity() noexcept { return currentVerbosity.load(); }

void write(Stream stream, std::string_view text)
{
    if (text.empty()) return;
    if (stream == Stream::Out && currentVerbosity.load() < 1 && isInformation(text)) return;
    currentSink.load()(stream, text.data(), text.size());
}

std::string vformat(const char* fmt, std::va_list args)
{
    std::va_list probe;
    va_copy(probe, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, probe);
    va_end(probe);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    return text;
}

std::string format(const char* fmt, ...)
{
    std::va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);
    return text;
}

void out(const char* fmt, ...)
{
    std::va_list args;
    va_start(args, fmt);
    const std::string text = vformat(fmt, args);
    va_end(args);
    write(Stream::Out, text);
}

void err(const char* fmt, ...)
{
    std::va_list args;
    va_start(args, fmt);
    const std::string text = vformat(fmt, args);
    va_end(args);
    write(Stream::Err, text);
}

} // namespace msg
