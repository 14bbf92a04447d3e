#include "platform/Random.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>

namespace {

uint32_t ClockSeed()
{
    const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    return static_cast<uint32_t>(ticks ^ (ticks >> 32));
}

struct TGenerator {
    std::mutex Lock;
    // Seeded from the clock even before Randomize(), so that no draw is ever predictable by accident.
    std::mt19937 Engine{ClockSeed()};
};

TGenerator& Generator()
{
    static TGenerator generator;
    return generator;
}

std::atomic<TRandomSource> Source{nullptr};

} // namespace

TRandomSource SetRandomSource(TRandomSource source)
{
    return Source.exchange(source);
}

void Randomize()
{
    RandSeed(ClockSeed());
}

void RandSeed(uint32_t seed)
{
    TGenerator& g = Generator();
    std::lock_guard lock(g.Lock);
    g.Engine.seed(seed);
}

int Random(int range)
{
    if (range <= 0)
        return 0;
    if (const TRandomSource source = Source.load())
        return source(range);
    TGenerator& g = Generator();
    std::uniform_int_distribution<int> pick(0, range - 1);
    std::lock_guard lock(g.Lock);
    return pick(g.Engine);
}
