#include "screen/server/IBeamCursor.h"

namespace kl {

KLTCursor iBeamCursor() {
    // '#' black, '.' white, ' ' transparent.
    static const char* const kRows[] = {
        "... ...", ".##.##.", "...#...", "  .#.  ", "  .#.  ", "  .#.  ", "  .#.  ", "  .#.  ", "  .#.  ",
        "  .#.  ", "  .#.  ", "  .#.  ", "  .#.  ", "  .#.  ", "  .#.  ", "...#...", ".##.##.", "... ...",
    };
    constexpr int kWidth = 7, kHeight = 18;
    KLTCursor cursor;
    cursor.width = kWidth;
    cursor.height = kHeight;
    cursor.hotSpot = {kWidth / 2, kHeight / 2};
    cursor.rgba.reserve(size_t(kWidth) * kHeight * 4);
    for (const char* row : kRows) {
        for (int x = 0; x < kWidth; ++x) {
            uint8_t grey = row[x] == '.' ? 255 : 0;
            uint8_t alpha = row[x] == ' ' ? 0 : 255;
            cursor.rgba.insert(cursor.rgba.end(), {grey, grey, grey, alpha});
        }
    }
    return cursor;
}

}  // namespace kl
