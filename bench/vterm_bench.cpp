// libvterm fed the same workloads in the same chunks, side by side with
// BM_Feed. libvterm keeps no history of its own; its screen layer is
// the part comparable to the grid.
#include <benchmark/benchmark.h>

extern "C" {
#include <vterm.h>
}

#include "workloads.h"

namespace {

void BM_LibvtermFeed(benchmark::State& state) {
    int kind = int(state.range(0));
    const std::string& data = bench::workloadFor(kind);
    VTerm* vt = vterm_new(24, 80);
    vterm_set_utf8(vt, 1);
    VTermScreen* screen = vterm_obtain_screen(vt);
    vterm_screen_reset(screen, 1);
    for (auto _ : state) {
        for (size_t pos = 0; pos < data.size(); pos += 4096)
            vterm_input_write(vt, data.data() + pos, std::min<size_t>(4096, data.size() - pos));
    }
    vterm_free(vt);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
    state.SetLabel(bench::workloadName(kind));
}
BENCHMARK(BM_LibvtermFeed)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

}  // namespace
