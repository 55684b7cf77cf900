// libvterm behind the hooks of workloads.h, so that BM_Feed can feed it the
// same chunks side by side with kiv's terminal. libvterm keeps no history
// of its own; its screen layer is the part comparable to the grid.
extern "C" {
#include <vterm.h>
}

#include "workloads.h"

namespace {

void* open(int rows, int cols) {
    VTerm* vt = vterm_new(rows, cols);
    vterm_set_utf8(vt, 1);
    vterm_screen_reset(vterm_obtain_screen(vt), 1);
    return vt;
}

void write(void* vt, const char* bytes, size_t n) {
    vterm_input_write(static_cast<VTerm*>(vt), bytes, n);
}

void close(void* vt) {
    vterm_free(static_cast<VTerm*>(vt));
}

// Runs before main: the hooks are in place when the benchmarks start.
const bool installed = [] {
    bench::libvterm = bench::Libvterm{open, write, close};
    return true;
}();

}  // namespace
