// Cost of the receive-ring operations the stages run in their 1 ms polls.
#include "serial/CircularBuffer.h"

#include <benchmark/benchmark.h>

static void BM_Write64Read64(benchmark::State& state) {
    CCircularBuffer ring;
    ring.Create(4096);
    char in[64] = {1, 2, 3};
    char out[64];
    for (auto _ : state) {
        ring.Write(in, 64);
        int n = 64;
        ring.Read(out, &n);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_Write64Read64);

static void BM_Write64(benchmark::State& state) {
    CCircularBuffer ring;
    ring.Create(4096);
    char in[64] = {1, 2, 3};
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.Write(in, 64)); // overruns once full: the steady state
    }
}
BENCHMARK(BM_Write64);

static void BM_Read64(benchmark::State& state) {
    CCircularBuffer ring;
    ring.Create(4096);
    char in[4096] = {};
    char out[64];
    for (auto _ : state) {
        // Refilled once every 62 reads; that write adds well under 1 ns per read.
        if (ring.GetCount() < 64)
            ring.Write(in, 4000);
        int n = 64;
        ring.Read(out, &n);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_Read64);

static void BM_GetAt(benchmark::State& state) {
    CCircularBuffer ring;
    ring.Create(4096);
    char in[4000] = {};
    ring.Write(in, 4000);
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.GetAt(i));
        i = (i + 1) % 4000;
    }
}
BENCHMARK(BM_GetAt);
