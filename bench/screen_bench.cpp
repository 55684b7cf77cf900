// Benchmarks of the screen library: the representation (memory per history
// line, line feed and grid copies with a full history) and, when the
// interpreter is built, feed throughput and snapshot rendering.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <string>
#include <vector>

#include "screen/grid.h"
#include "screen/placement.h"
#include "screen/sgr.h"
#include "screen/terminal.h"
#include "screen/writer.h"
#include "workloads.h"

using namespace screen;

namespace {

constexpr int64_t kCols = 80, kRows = 24, kHistory = 10000;

const std::string& line(int n) {
    static const std::vector<std::string> lines = [] {
        std::vector<std::string> v;
        for (int k = 0; k < 97; ++k) {
            std::string s;
            for (int i = 0; i < 80; ++i)
                s += char(0x21 + (k * 7 + i * 13) % 94);
            v.push_back(s);
        }
        return v;
    }();
    return lines[size_t(n) % lines.size()];
}

enum Colours { kPlain, kIndexed, kDirect };

// Writes one 80-column line and moves to the next, in plain text or with a
// colour change every 4 characters (as bench::colourText does), from the
// 256-colour table or as 24-bit colours.
void writeLine(Grid& g, int n, int colour) {
    Writer w(g);
    const std::string& s = line(n);
    if (colour == kPlain) {
        w.putAscii(s.data(), s.size());
    } else {
        for (int i = 0; i < 80; i += 4) {
            int c = (n * 31 + i * 7) % 256;
            std::string p;
            if (colour == kIndexed) {
                p = "38;5;" + std::to_string(c);
                if (i % 16 == 0) p += ";48;5;" + std::to_string((c * 3) % 256);
            } else {
                p = "38;2;" + std::to_string(c) + ";" + std::to_string(255 - c) + ";" +
                    std::to_string((c * 5) % 256);
                if (i % 16 == 0) p += ";48;2;" + std::to_string((c * 3) % 256) + ";40;80";
            }
            applySgr(w.state().pen, p);
            w.putAscii(s.data() + i, 4);
        }
        applySgr(w.state().pen, "0");
    }
    w.lineFeed();
}

Grid filledGrid(int64_t scrollback, int colour = kPlain) {
    Grid g = newGrid(kCols, kRows, scrollback);
    for (int n = 0; n < kRows + scrollback; ++n)
        writeLine(g, n, colour);
    return g;
}

size_t heapInUse() {
    return mallinfo2().uordblks;
}

// Bytes the process's heap grows by for a full 10000-line history, per
// history line and per cell. Compare with bench/tmux_memory.sh.
void BM_HistoryMemory(benchmark::State& state) {
    int colour = int(state.range(0));
    double perLine = 0;
    for (auto _ : state) {
        size_t before = heapInUse();
        {
            Grid g = filledGrid(kHistory, colour);
            perLine = double(heapInUse() - before) / double(g.screen.lines.size());
            benchmark::DoNotOptimize(g);
        }
    }
    state.SetLabel(colour == kDirect    ? "24-bit colour text"
                   : colour == kIndexed ? "256-colour text"
                                        : "plain text");
    state.counters["bytes_per_line"] = perLine;
    state.counters["bytes_per_cell"] = perLine / double(kCols);
    state.counters["screen_cell_bytes"] = double(sizeof(Cell));
}
BENCHMARK(BM_HistoryMemory)
    ->Arg(kPlain)
    ->Arg(kIndexed)
    ->Arg(kDirect)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// One line of text and a line feed at the bottom of the main screen, with
// the history full (every line feed drops the oldest line) or none kept.
void BM_LineFeed(benchmark::State& state) {
    int64_t scrollback = state.range(0);
    Grid g = filledGrid(scrollback);
    int n = 0;
    for (auto _ : state)
        writeLine(g, n++, kPlain);
    state.SetLabel(scrollback ? "full 10000-line history" : "no history");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LineFeed)->Arg(kHistory)->Arg(0);

}  // namespace

// Feed throughput: each workload in 4096-byte chunks (as the daemon reads
// them) into an 80x24 terminal with a 10000-line history that is already
// full, so every line feed also drops the oldest line.
namespace {

constexpr int kFrames = 400;

const std::string& workload(int kind) {
    static const std::string data[] = {
        bench::plainText(12000), bench::highlightedText(8000), bench::redrawFrames(kFrames),
        bench::syncFrames(kFrames), bench::colourText(6000, 8),   bench::wordColourText(4000),
        bench::directColourText(4000, 8),
    };
    return data[kind];
}

const char* const kWorkloadNames[] = {
    "plain text",          "colour-dense text",        "full-screen redraws",
    "synchronized frames", "256-colour every 8 cells", "every word its own colour",
    "24-bit colour every 8 cells"};

void feedChunks(Terminal& t, const std::string& data) {
    for (size_t pos = 0; pos < data.size(); pos += 4096)
        t.write(std::string_view(data).substr(pos, 4096));
}

// Each workload fed to kiv's terminal (engine 0) and, when built with it,
// to libvterm (engine 1), one after the other so that both see the same
// machine load.
void BM_Feed(benchmark::State& state) {
    int kind = int(state.range(0));
    bool vterm = state.range(1) != 0;
    const std::string& data = workload(kind);
    if (vterm) {
        if (!bench::libvterm.open) {
            state.SkipWithError("built without libvterm");
            return;
        }
        void* vt = bench::libvterm.open(kRows, kCols);
        for (auto _ : state) {
            for (size_t pos = 0; pos < data.size(); pos += 4096)
                bench::libvterm.write(vt, data.data() + pos,
                                      std::min<size_t>(4096, data.size() - pos));
        }
        bench::libvterm.close(vt);
    } else {
        Terminal t(kCols, kRows, kHistory);
        feedChunks(t, workload(0));  // a full history first
        for (auto _ : state)
            feedChunks(t, data);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
    // The redraws, bare and wrapped in synchronized updates, compare by
    // frames: a wrapped frame has 16 bytes more.
    if (kind == 2 || kind == 3) state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
    state.SetLabel(std::string(vterm ? "libvterm: " : "kiv: ") + kWorkloadNames[kind]);
}
BENCHMARK(BM_Feed)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6}, {0, 1}})
    ->ArgNames({"workload", "libvterm"})
    ->Unit(benchmark::kMillisecond);

// The attach snapshot of a full 10000-line history.
void BM_Snapshot(benchmark::State& state) {
    Terminal t(kCols, kRows, kHistory);
    // Enough lines to fill the history.
    feedChunks(t, workload(state.range(0) ? 4 : 0));
    feedChunks(t, workload(state.range(0) ? 4 : 0));
    for (auto _ : state)
        benchmark::DoNotOptimize(t.snapshot());
    state.SetLabel(state.range(0) ? "colour history" : "plain history");
}
BENCHMARK(BM_Snapshot)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

namespace bench {
const std::string& workloadFor(int kind) {
    return workload(kind);
}
const char* workloadName(int kind) {
    return kWorkloadNames[kind];
}
}  // namespace bench
