// A small hand-made keyboard layout and recording injection targets for the input tests that run
// without an X server.
#pragma once

#include <string>
#include <vector>

#include "platform/x11/X11KeyboardLayout.h"
#include "screen/input/KeyInjectionTarget.h"
#include "screen/input/KLTKeyboardLayoutMapper.h"
#include "screen/input/PointerInjectionTarget.h"

namespace kl::test {

// Keys of the layout below (X keycodes).
enum TestKey : uint16_t {
    kKeyOne = 10,
    kKeyBackspace = 22,
    kKeyQ = 24,
    kKeyE = 26,
    kKeyReturn = 36,
    kKeyControl = 37,
    kKeyA = 38,
    kKeyDeadAcute = 48,
    kKeyShift = 50,
    kKeyZ = 52,
    kKeyX = 53,
    kKeyC = 54,
    kKeyV = 55,
    kKeyB = 56,
    kKeyAlt = 64,
    kKeyCaps = 66,
    kKeyKeypadOne = 87,
    kKeyLevel3 = 92,
    kKeyUp = 111,
    kKeyLeft = 113,
    kKeyRight = 114,
    kKeyDown = 116,
};

// Plain, Shift and Option (third level) tables; a dead acute on the plain table that makes é and É
// with e and E; "@" only with Option; "1" on the main row and on the keypad.
inline X11KeyboardLayout testLayout() {
    using T = KeyboardLayoutTable;
    X11KeyboardLayout l;
    T& t = l.table;
    std::vector<uint16_t> plain(256, T::kNoOutput), shift(256, T::kNoOutput), option(256, T::kNoOutput);
    auto set = [](std::vector<uint16_t>& table, uint16_t key, uint16_t out) { table[key] = out; };
    set(plain, kKeyA, u'a'); set(shift, kKeyA, u'A');
    set(plain, kKeyB, u'b'); set(shift, kKeyB, u'B');
    set(plain, kKeyZ, u'z'); set(plain, kKeyX, u'x'); set(plain, kKeyC, u'c'); set(plain, kKeyV, u'v');
    set(plain, kKeyQ, u'q'); set(shift, kKeyQ, u'Q'); set(option, kKeyQ, u'@');
    set(plain, kKeyKeypadOne, u'1'); set(plain, kKeyOne, u'1'); set(shift, kKeyOne, u'!');
    set(plain, kKeyDeadAcute, T::kStateRecordMark | 0);
    set(plain, kKeyE, T::kStateRecordMark | 1); set(shift, kKeyE, T::kStateRecordMark | 2);
    t.stateRecords = {
        {T::kNoOutput, 1, true, {}},         // the dead acute, leading to state 1
        {u'e', 0, true, {{1, u'\u00e9'}}},   // e; é after the acute
        {u'E', 0, true, {{1, u'\u00c9'}}},
    };
    t.hasStateRecords = true;
    t.keyToCharTables = {plain, shift, option};
    t.modifiersToTable.assign(kLayoutModifierCombinations, 0);
    t.modifiersToTable[kLayoutShift] = 1;
    t.modifiersToTable[kLayoutOption] = 2;
    t.keypadKeys.assign(256, false);
    t.keypadKeys[kKeyKeypadOne] = true;
    t.modifierKeys = {kKeyControl, kKeyShift, kKeyCaps, kKeyLevel3, kKeyControl};
    t.returnKey = kKeyReturn;
    l.keysByName = {{"AC01", kKeyA},  {"AB04", kKeyV},    {"LFSH", kKeyShift}, {"LCTL", kKeyControl},
                    {"LALT", kKeyAlt}, {"RTRN", kKeyReturn}, {"BKSP", kKeyBackspace}, {"UP", kKeyUp},
                    {"DOWN", kKeyDown}, {"LEFT", kKeyLeft},  {"RGHT", kKeyRight}};
    return l;
}

struct RecordingKeys : KeyInjectionTarget {
    std::vector<KeyStep> steps;
    void postKey(uint16_t keycode, bool down) override { steps.push_back({keycode, down}); }
};

inline std::vector<KeyStep> tap(uint16_t key) { return {{key, true}, {key, false}}; }
inline std::vector<KeyStep> down(uint16_t key) { return {{key, true}}; }
inline std::vector<KeyStep> up(uint16_t key) { return {{key, false}}; }
inline std::vector<KeyStep> operator+(std::vector<KeyStep> a, const std::vector<KeyStep>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct RecordingPointer : PointerInjectionTarget {
    struct Action {
        enum Kind { Move, Press, Release } kind;
        Point at;          // Move
        unsigned button;   // Press, Release
        friend bool operator==(const Action&, const Action&) = default;
    };
    std::vector<Action> actions;
    Point position{500, 400};
    void moveTo(Point p) override {
        position = p;
        actions.push_back({Action::Move, p, 0});
    }
    void button(unsigned b, bool down) override { actions.push_back({down ? Action::Press : Action::Release, {}, b}); }
    std::optional<Point> pointerPosition() override { return position; }
    std::vector<unsigned> pressedButtons() const {
        std::vector<unsigned> pressed;
        for (const auto& a : actions)
            if (a.kind == Action::Press) pressed.push_back(a.button);
        return pressed;
    }
    std::optional<Point> pressAt(unsigned b) const;  // where the pointer was when b went down
    std::optional<Point> releaseAt(unsigned b) const;
};

inline std::optional<Point> lastMoveBefore(const std::vector<RecordingPointer::Action>& actions,
                                           RecordingPointer::Action::Kind kind, unsigned b) {
    std::optional<Point> at;
    for (const auto& a : actions) {
        if (a.kind == RecordingPointer::Action::Move) at = a.at;
        if (a.kind == kind && a.button == b) return at;
    }
    return std::nullopt;
}
inline std::optional<Point> RecordingPointer::pressAt(unsigned b) const {
    return lastMoveBefore(actions, Action::Press, b);
}
inline std::optional<Point> RecordingPointer::releaseAt(unsigned b) const {
    return lastMoveBefore(actions, Action::Release, b);
}

}  // namespace kl::test
