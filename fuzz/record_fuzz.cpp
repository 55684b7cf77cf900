// The saved-record reader on any bytes: a record is read from disk, where
// anything may have happened to it. It must be refused with an IoError or
// read whole, and what is read must write back the same and show as lines;
// a restart from it types nothing but one plain line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kiv/errors.h"
#include "kiv/lost_sessions.h"
#include "kiv/saved_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    kiv::SavedRecord record;
    try {
        record = kiv::decodeRecord(bytes, true);
    } catch (const kiv::IoError&) {
        return 0;
    }
    // The head alone says the same as the whole.
    kiv::SavedRecord head = kiv::decodeRecord(bytes, false);
    if (head.name != record.name || head.command != record.command) std::abort();
    // Written again and read back: the same record.
    kiv::SavedRecord again = kiv::decodeRecord(kiv::encodeRecord(record), true);
    if (again.name != record.name || again.command != record.command || again.cwd != record.cwd ||
        again.content != record.content || again.end != record.end || again.cols != record.cols ||
        again.rows != record.rows || again.job != record.job || again.jobCwd != record.jobCwd)
        std::abort();
    // What a restart would type is one line of plain characters and its Enter.
    kiv::Restart plan = kiv::restartOf(record);
    if (!plan.typed.empty()) {
        if (plan.typed.back() != '\r') std::abort();
        for (size_t i = 0; i + 1 < plan.typed.size(); ++i)
            if (uint8_t(plan.typed[i]) < 0x20 || plan.typed[i] == 0x7f) std::abort();
    }
    (void)kiv::savedTranscript(record);
    (void)kiv::lostLine(record);
    return 0;
}
