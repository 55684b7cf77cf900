// The attach client's own work on output, beside the daemon's model: the
// state tracker that knows how to leave the user's terminal is fed what the
// client writes to it, 4 KiB at a time, on the same workloads as the
// model's feed (screen_bench).
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "bench/workloads.h"
#include "kiv/terminal_tracker.h"
#include "screen/parser.h"

namespace {

const std::string& workload(int kind) {
    static const std::string data[] = {
        bench::plainText(12000), bench::wordColourText(4000), bench::redrawFrames(400),
        bench::directColourText(4000, 8)};
    return data[kind];
}

const char* const kNames[] = {"plain text", "every word its own colour", "full-screen redraws",
                              "24-bit colour every 8 cells"};

void BM_Track(benchmark::State& state) {
    const std::string& data = workload(int(state.range(0)));
    kiv::TerminalTracker tracker(80, 24);
    screen::Parser<kiv::TerminalTracker> parser;
    for (auto _ : state) {
        for (size_t pos = 0; pos < data.size(); pos += 4096)
            parser.feed(std::string_view(data).substr(pos, 4096), tracker);
        benchmark::DoNotOptimize(tracker.leaving());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
    state.SetLabel(kNames[state.range(0)]);
}
BENCHMARK(BM_Track)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
