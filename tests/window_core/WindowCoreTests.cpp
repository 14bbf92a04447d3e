// The window's threaded parts that need no toolkit: the command queue and the
// payload search. They run under ThreadSanitizer too.
#include "console/window/core/CommandQueue.h"
#include "console/window/core/PayloadSearch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

TEST(CommandQueueTest, RunsInOrderAndKeepsOneTick)
{
    TCommandQueue queue;
    std::mutex lock;
    std::vector<std::string> ran;
    auto record = [&](std::string what) {
        return [&, what] {
            std::lock_guard guard(lock);
            ran.push_back(what);
        };
    };
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> blocking;
    queue.Start();
    queue.Post([&, released] {
        blocking.set_value();
        released.wait();
    });
    blocking.get_future().wait();
    EXPECT_TRUE(queue.PostTick(record("tick 1")));
    EXPECT_TRUE(queue.Post(record("a")));
    for (int i = 2; i <= 5; ++i)
        EXPECT_FALSE(queue.PostTick(record("tick " + std::to_string(i))));
    EXPECT_TRUE(queue.Post(record("b")));
    release.set_value();
    queue.Stop();
    EXPECT_FALSE(queue.Post(record("late")));
    const std::vector<std::string> expected{"a", "b", "tick 5"};
    EXPECT_EQ(ran, expected);

    TCommandQueue dropped;
    dropped.Start();
    std::promise<void> hold;
    std::shared_future<void> held = hold.get_future().share();
    std::promise<void> running;
    dropped.Post([&, held] {
        running.set_value();
        held.wait();
    });
    running.get_future().wait();
    dropped.Post(record("dropped"));
    dropped.PostTick(record("dropped tick"));
    EXPECT_EQ(dropped.DropPending(), std::size_t{2});
    hold.set_value();
    dropped.Stop();
    EXPECT_EQ(ran, expected);
}

// What a search reported, by search number.
class TReports {
public:
    void Report(uint64_t search, std::vector<uint64_t> found, bool done)
    {
        std::lock_guard guard(FLock);
        FFound[search].insert(found.begin(), found.end());
        if (done)
            ++FDone[search];
        FChanged.notify_all();
    }
    std::set<uint64_t> WaitDone(uint64_t search, int times = 1)
    {
        std::unique_lock guard(FLock);
        const bool done =
            FChanged.wait_for(guard, std::chrono::seconds(60), [&] { return FDone[search] >= times; });
        EXPECT_TRUE(done) << "search " << search << " never ended";
        return FFound[search];
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::map<uint64_t, std::set<uint64_t>> FFound;
    std::map<uint64_t, int> FDone;
};

class PayloadSearchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-search-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        FDir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(FDir); }

    TPayloadSearch::TFile Write(uint64_t key, const std::string& bytes, uint64_t from = 0)
    {
        const std::string path = (FDir / ("Pub_" + std::to_string(key))).string();
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return {key, path, from};
    }

    static TPayloadSearch::TMatcher Contains(std::string text)
    {
        return [text](std::string_view chunk) { return chunk.find(text) != std::string_view::npos; };
    }

    std::filesystem::path FDir;
};

// A few hundred payloads, the text in some of them at every place a chunked read
// can put it: past the first KiB, across a chunk's end, at the very end, only in
// the part already looked at (From), or in a file that has gone.
TEST_F(PayloadSearchTest, FindsTheTextAnywhereInWholeFiles)
{
    constexpr std::size_t Chunk = 4096;
    const std::string text = "needle-42";
    std::vector<TPayloadSearch::TFile> files;
    std::set<uint64_t> holding;
    for (uint64_t key = 0; key < 300; ++key)
        files.push_back(Write(key, std::string(200 + key, 'x')));
    struct TCase {
        std::size_t Size;
        std::size_t At;   // where the text begins; Size: nowhere
        uint64_t From;
        bool Found;
    };
    const TCase cases[] = {
        {3 << 20, (3 << 20) - 5000, 1024, true},    // a large payload, far past its head
        {5000, 2000, 1024, true},
        {3 * Chunk, Chunk - 4, 1024, true},          // across the first chunk's end
        {3 * Chunk, 2 * Chunk + 1020, 1024, true},   // across a later one's
        {9000, 9000 - text.size(), 1024, true},      // the last bytes
        {9000, 1020, 1024, true},                    // across the end of the head
        {9000, 10, 1024, false},                     // only in the head, already looked at
        {9000, 9000, 0, false},                      // nowhere
    };
    uint64_t key = 1000;
    for (const TCase& c : cases) {
        std::string bytes(c.Size, 'y');
        if (c.At < c.Size)
            bytes.replace(c.At, text.size(), text);
        files.push_back(Write(key, bytes, c.From));
        if (c.Found)
            holding.insert(key);
        ++key;
    }
    files.push_back({key, (FDir / "gone").string(), 0});

    TReports reports;
    TPayloadSearch search([&](uint64_t n, std::vector<uint64_t> found, bool done) { reports.Report(n, found, done); },
                          Chunk);
    const uint64_t first = search.Start(Contains(text), text.size() - 1, files);
    EXPECT_EQ(reports.WaitDone(first), holding);

    // Payloads that came later join the running search.
    search.Add({Write(2000, std::string(5000, 'z') + text)});
    holding.insert(2000);
    EXPECT_EQ(reports.WaitDone(first, 2), holding);
}

// A new text replaces the running search at once, however much is left to read;
// the last one's answer is its own.
TEST_F(PayloadSearchTest, NewSearchReplacesTheRunningOne)
{
    std::vector<TPayloadSearch::TFile> files;
    for (uint64_t key = 0; key < 200; ++key)
        files.push_back(Write(key, std::string(64 << 10, 'a') + (key % 2 ? "odd" : "even")));
    TReports reports;
    auto search = std::make_unique<TPayloadSearch>(
        [&](uint64_t n, std::vector<uint64_t> found, bool done) { reports.Report(n, found, done); }, 1024);
    for (const char* text : {"ev", "eve", "od"})
        search->Start(Contains(text), 2, files);
    const uint64_t last = search->Start(Contains("odd"), 2, files);
    const std::set<uint64_t> found = reports.WaitDone(last);
    EXPECT_EQ(found.size(), 100u);
    for (uint64_t key : found)
        EXPECT_EQ(key % 2, 1u);
    // Ended or dropped while it reads: nothing waits on it.
    search->Start(Contains("never"), 4, files);
    search->Cancel();
    search->Start(Contains("never"), 4, files);
    search.reset();
}

}  // namespace
