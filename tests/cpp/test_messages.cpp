#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/messages.h"
#include "device/device.h"
#include "kernels/device_selftest.h"

namespace {

struct Captured {
    msg::Stream stream;
    std::string text;
    std::thread::id thread;
};

std::mutex capturedMutex;
std::vector<Captured> captured;

void capture(msg::Stream stream, const char* text, std::size_t length)
{
    std::lock_guard<std::mutex> lock(capturedMutex);
    captured.push_back({stream, std::string(text, length), std::this_thread::get_id()});
}

class Messages : public ::testing::Test {
protected:
    void SetUp() override
    {
        captured.clear();
        msg::setSink(&capture);
    }
    void TearDown() override { msg::setSink(nullptr); }
};

TEST_F(Messages, PrintfFormatsReachTheSinkInOrderOnTheirStream)
{
    msg::out("Loaded %d nodes and %zu elements\n", 27, std::size_t(8));
    msg::err("Warning: %s\n", "no absorptivity");
    msg::out("%.3f %e|%5s|\n", 1.0 / 3.0, 1.5e-7, "ab");
    ASSERT_EQ(captured.size(), 3u);
    EXPECT_EQ(captured[0].stream, msg::Stream::Out);
    EXPECT_EQ(captured[0].text, "Loaded 27 nodes and 8 elements\n");
    EXPECT_EQ(captured[1].stream, msg::Stream::Err);
    EXPECT_EQ(captured[1].text, "Warning: no absorptivity\n");
    EXPECT_EQ(captured[2].text, "0.333 1.500000e-07|   ab|\n");
}

TEST_F(Messages, LongMessagesAreNotTruncated)
{
    const std::string path(5000, 'x');
    msg::out("Error: Cannot open file %s for writing\n", path.c_str());
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0].text.size(), path.size() + 37);
}

TEST_F(Messages, RestoringTheDefaultSinkStopsCapture)
{
    msg::setSink(nullptr);
    testing::internal::CaptureStdout();
    msg::out("to stdout %d\n", 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to stdout 1\n");
    EXPECT_TRUE(captured.empty());
}

TEST_F(Messages, DevicePrintfIsWrittenAfterTheLaunchByTheCallingThread)
{
    if (std::string(dev::backendName()) != "cpu") GTEST_SKIP() << "the GPU prints device output itself";
    dev::setNumThreads(std::max(2, dev::numThreads()));
    dev::selftest::devicePrintf(300);

    std::string all;
    for (const Captured& c : captured) {
        EXPECT_EQ(c.thread, std::this_thread::get_id());
        EXPECT_EQ(c.stream, msg::Stream::Out);
        all += c.text;
    }
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(all.substr(start, end - start));
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) expected.push_back("device thread " + std::to_string(i));
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

} // namespace
