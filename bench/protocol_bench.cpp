// Taking many small frames out of one receive buffer: the erasing form of
// takeFrame moves the rest of the buffer after every frame, the offset form
// erases once at the end.
#include <benchmark/benchmark.h>

#include "kiv/protocol.h"

namespace {

std::string manyFrames(int64_t count) {
    std::string buffer;
    for (int64_t i = 0; i < count; ++i)
        buffer += kiv::frameBytes(kiv::MsgKind::Input, "k");
    return buffer;
}

void takeByErasing(benchmark::State& state) {
    const std::string frames = manyFrames(state.range(0));
    kiv::MsgKind kind;
    std::string payload;
    for (auto _ : state) {
        std::string buffer = frames;
        while (kiv::takeFrame(buffer, kind, payload))
            benchmark::DoNotOptimize(payload);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void takeByOffset(benchmark::State& state) {
    const std::string frames = manyFrames(state.range(0));
    kiv::MsgKind kind;
    std::string payload;
    for (auto _ : state) {
        std::string buffer = frames;
        size_t used = 0;
        while (kiv::takeFrame(buffer, used, kind, payload))
            benchmark::DoNotOptimize(payload);
        buffer.erase(0, used);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(takeByErasing)->Arg(600)->Arg(10000)->Arg(100000);
BENCHMARK(takeByOffset)->Arg(600)->Arg(10000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
