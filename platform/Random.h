#pragma once

#include <cstdint>

// The process-wide pseudo-random generator. Every part draws from it, from any
// thread; a lock keeps the shared state consistent.

// Seeds the generator from the clock (the program does this once at start-up).
void Randomize();

// Seeds the generator with a fixed value, so that a test can repeat a sequence.
void RandSeed(uint32_t seed);

// A uniformly drawn integer from 0 to range - 1; 0 when range is not positive.
int Random(int range);

// Where Random() draws from when not from the generator: tests install a source
// that returns chosen numbers (and sees the range asked for); nullptr restores
// the generator. Returns the source that was installed before.
using TRandomSource = int (*)(int range);
TRandomSource SetRandomSource(TRandomSource source);
