// The window's threaded parts that need no toolkit: the command queue and the
// payload search. They run under ThreadSanitizer too.
#include "console/window/core/CommandQueue.h"
#include "console/window/core/PayloadSearch.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
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

// Searches files of a scratch folder and waits for what search n found once it said done `times` times.
struct TSearchBench {
    const std::filesystem::path Dir = std::filesystem::temp_directory_path() /
                                      ("tarnwick-search-" + std::to_string(::getpid()));
    std::mutex Lock;
    std::condition_variable Changed;
    std::map<uint64_t, std::set<uint64_t>> Found;
    std::map<uint64_t, int> Done;
    TPayloadSearch Search{[this](uint64_t n, std::vector<uint64_t> found, bool done) {
                              std::lock_guard guard(Lock);
                              Found[n].insert(found.begin(), found.end());
                              Done[n] += done;
                              Changed.notify_all();
                          },
                          4096};

    TSearchBench() { std::filesystem::create_directories(Dir); }
    ~TSearchBench() { std::filesystem::remove_all(Dir); }
    TPayloadSearch::TFile Write(uint64_t key, const std::string& bytes, uint64_t from = 1024)
    {
        std::ofstream((Dir / std::to_string(key)).string(), std::ios::binary) << bytes;
        return {key, (Dir / std::to_string(key)).string(), from};
    }
    uint64_t Start(const std::string& text, const std::vector<TPayloadSearch::TFile>& files)
    {
        return Search.Start([text](std::string_view chunk) { return chunk.find(text) != std::string_view::npos; },
                            text.size() - 1, files);
    }
    std::set<uint64_t> Wait(uint64_t n, int times = 1)
    {
        std::unique_lock guard(Lock);
        EXPECT_TRUE(Changed.wait_for(guard, std::chrono::seconds(60), [&] { return Done[n] >= times; }));
        return Found[n];
    }
};

// The text wherever a read in 4 KiB chunks from From on can put it: far past
// the first KiB, across a chunk's end, at the very end, across From; not found
// only before From (looked at already), nowhere, or in a file that has gone.
// Files that come later join the running search; a new text replaces it at
// once, and one ended or dropped while it reads keeps nothing waiting.
TEST(PayloadSearchTest, FindsTheTextInWholeFilesAndFollowsTheLastText)
{
    TSearchBench bench;
    const std::string text = "needle-42";
    const struct { std::size_t Size, At; bool Found; } cases[] = {
        {3 << 20, (3 << 20) - 5000, true}, {3 * 4096, 4096 - 4, true}, {3 * 4096, 2 * 4096 + 1020, true},
        {9000, 9000 - text.size(), true},  {9000, 1020, true},         {9000, 10, false}, {9000, 9000, false},
    };
    std::vector<TPayloadSearch::TFile> files{{99, (bench.Dir / "gone").string(), 0}};
    std::set<uint64_t> holding;
    for (uint64_t key = 0; const auto& c : cases) {
        std::string bytes(c.Size, 'y');
        files.push_back(bench.Write(key, bytes.replace(std::min(c.At, c.Size), text.size(), c.At < c.Size ? text : "")));
        if (c.Found)
            holding.insert(key);
        ++key;
    }
    const uint64_t n = bench.Start(text, files);
    EXPECT_EQ(bench.Wait(n), holding);
    bench.Search.Add({bench.Write(50, std::string(5000, 'z') + text)});
    holding.insert(50);
    EXPECT_EQ(bench.Wait(n, 2), holding);

    files.clear();
    for (uint64_t key = 100; key < 300; ++key)
        files.push_back(bench.Write(key, std::string(64 << 10, 'a') + (key % 2 ? "odd" : "even")));
    for (const char* replaced : {"ev", "eve", "od"})
        bench.Start(replaced, files);
    const std::set<uint64_t> odd = bench.Wait(bench.Start("odd", files));
    EXPECT_EQ(odd.size(), 100u);
    EXPECT_TRUE(std::all_of(odd.begin(), odd.end(), [](uint64_t key) { return key % 2 == 1; }));
    bench.Start("never", files);
    bench.Search.Cancel();
    bench.Start("never", files);
}

}  // namespace
