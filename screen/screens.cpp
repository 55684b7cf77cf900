// The writer's switches between the main and the alternate screen, and
// the resets, which bring the screens and the cursor back with the
// terminal state.
#include <utility>

#include "screen/writer.h"

namespace screen {

// The margins moved from one screen's line indexes to another's: they are
// kept as screen rows across a switch, as terminals keep the region.
void Writer::moveMargins(ScreenView from, ScreenView to) {
    Grid& g = g_;
    if (!regionActive(g)) return;
    g.margins.top = max(to.line(from.row(g.margins.top)), LineIndex{0});
    g.margins.bottom = max(to.line(from.row(g.margins.bottom)), LineIndex{0});
}

// The screen now shown keeps as many rows expanded as the screen has, and
// the bounds are its own.
void Writer::screenSwitched() {
    g_.screen.lines.setScreenRows(g_.height > 0 ? g_.height : kMaxRows);
    refreshBounds();
}

void Writer::enterAltScreen(bool saveMainCursor) {
    Grid& g = g_;
    if (altShown(g)) return;
    if (saveMainCursor) g.screen.savedBy1049 = currentCursor(g);
    // Where the main screen begins, asked before its lines move away.
    const ScreenView main = screenView(g);
    const ScreenRow row = main.row(g.cursor.row);
    // The main screen moves behind the alternate one, uncopied, with its
    // cursor row, so that a resize meanwhile treats it as it treats the
    // screen shown instead of dropping its lines. The cursor, the pen, the
    // modes and the region stay as they are; the new screen is blank and
    // has no history.
    g.screen.cursorRow = g.cursor.row;
    g.hiddenMain = std::exchange(g.screen, ScreenBuffer());
    screenSwitched();
    const ScreenView alt = screenView(g);
    g.cursor.row = clampRow(g, alt.line(row));
    ensureRow(g.cursor.row);
    moveMargins(main, alt);
}

void Writer::leaveAltScreen(bool restore) {
    Grid& g = g_;
    if (altShown(g)) {
        const ScreenView alt = screenView(g);
        const ScreenRow row = alt.row(g.cursor.row);
        // The alternate screen goes, the main screen comes back.
        g.screen = std::move(*g.hiddenMain);
        g.hiddenMain.reset();
        screenSwitched();
        // The alternate screen's cursor stays where it was on the screen.
        const ScreenView main = screenView(g);
        g.cursor.row = clamp(main.line(row), main.top, lastScreenRow(g));
        moveMargins(alt, main);
    }
    // 1049 brings back what it saved, as ESC 8 does (position, pen,
    // character sets, origin mode), even when the alternate screen is not
    // shown, as terminals do.
    SavedCursor c = currentCursor(g);
    if (restore && g.screen.savedBy1049) {
        c = *g.screen.savedBy1049;
        c.pendingWrap = false;
    }
    // Within the screen, whatever width it has now.
    placeCursor(c);
}

void Writer::softReset() {
    g_.state.softReset();
    g_.margins = Margins();
    cancelPendingWrap();
}

void Writer::fullReset() {
    Grid& g = g_;
    leaveAltScreen(false);
    g.state.fullReset();
    g.margins = Margins();
    // The main screen keeps its lines (the history stays), nothing else.
    Lines lines = std::move(g.screen.lines);
    g.screen = ScreenBuffer();
    g.screen.lines = std::move(lines);
    g.cursor = Cursor{screenTop(g), 0, false};
    eraseDisplay(2);
    g.cursor = Cursor{screenTop(g), 0, false};
}

}  // namespace screen
