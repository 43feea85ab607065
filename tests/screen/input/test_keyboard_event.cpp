// Keyboard datagrams on a hand-made layout: what each kind presses, in which order, the two text
// paths (keys, or the clipboard while an incompatible input-method server runs) and the debugging
// switch.
#include <gtest/gtest.h>

#include "InputTestSupport.h"
#include "screen/input/KLTHostKeyboardEvent.h"
#include "screen/input/KLTKeyCodeUtilities.h"

namespace kl {
namespace {

using namespace kl::test;

struct FakePasteboard : Pasteboard {
    PasteboardContents contents{{"text/html", {'<', 'b', '>'}}};
    std::vector<std::string> calls;
    PasteboardContents save() override {
        calls.push_back("save");
        return contents;
    }
    void writeText(const std::string& text) override {
        calls.push_back("write " + text);
        contents = {{"UTF8_STRING", Bytes(text.begin(), text.end())}};
    }
    void restore(const PasteboardContents& saved) override {
        calls.push_back("restore");
        contents = saved;
    }
};

struct KeyboardFixture : ::testing::Test {
    RecordingKeys keys;
    std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
    std::optional<Array> taps;
    std::vector<std::function<void()>> scheduled;
    std::unique_ptr<KLTKeyCodeUtilities> utilities;

    void SetUp() override {
        KLTKeyCodeUtilities::Dependencies d;
        d.target = &keys;
        d.pasteboard = pasteboard;
        d.tapInventory = [this] { return taps; };
        d.scheduler = [this](std::chrono::milliseconds delay, std::function<void()> task) {
            EXPECT_EQ(delay, std::chrono::milliseconds(100));
            scheduled.push_back(std::move(task));
        };
        utilities = std::make_unique<KLTKeyCodeUtilities>(std::move(d));
        utilities->setLayout(testLayout());
    }

    std::vector<KeyStep> send(uint8_t kind, uint8_t modifiers, uint32_t value, uint8_t shiftState = 0,
                              std::function<bool()> dontSend = {}) {
        keys.steps.clear();
        KLTHostKeyboardEvent event(KeyboardEventMessage{kind, shiftState, modifiers, value}, *utilities, dontSend);
        event.sendSynthesizedEvent();
        return keys.steps;
    }

    static Array tapOf(const std::string& program) {
        Dictionary info{{"CFBundleIdentifier", program}};
        return Array{Value(Dictionary{{"kTappingProcessKey", int64_t(42)}, {"kTappingProcessExtendedInfoKey", info}})};
    }
};

TEST_F(KeyboardFixture, EachKindPressesItsKeysInsideTheDatagramsModifiers) {
    struct Case {
        const char* what;
        uint8_t kind, modifiers;
        uint32_t value;
        std::vector<KeyStep> steps;
    } cases[] = {
        {"raw key without modifiers", kKeyboardEventKeyCode, 1, 0, tap(kKeyA)},
        // Control and Command are both the Control key; releases come in the press order.
        {"raw key with Control and Command", kKeyboardEventKeyCode, 0x0A, 0,
         down(kKeyControl) + down(kKeyControl) + tap(kKeyA) + up(kKeyControl) + up(kKeyControl)},
        {"raw key with Option and Shift", kKeyboardEventKeyCode, 0x24, 36,
         down(kKeyAlt) + down(kKeyShift) + tap(kKeyReturn) + up(kKeyAlt) + up(kKeyShift)},
        {"raw key with no key at that position", kKeyboardEventKeyCode, 1, 127, {}},
        {"cursor left", kKeyboardEventCursor, 1, 3, tap(kKeyLeft)},
        {"cursor up with Shift", kKeyboardEventCursor, 0x20, 1, down(kKeyShift) + tap(kKeyUp) + up(kKeyShift)},
        {"cursor sub-code 5", kKeyboardEventCursor, 1, 5, {}},
        {"selection down ignores the modifiers", kKeyboardEventSelection, 0x02, 2,
         down(kKeyShift) + tap(kKeyDown) + up(kKeyShift)},
        {"select all", kKeyboardEventSelection, 1, 5, down(kKeyControl) + tap(kKeyA) + up(kKeyControl)},
        {"selection sub-code 6", kKeyboardEventSelection, 1, 6, {}},
        {"deletion", kKeyboardEventDeletion, 0x02, 0, down(kKeyControl) + tap(kKeyBackspace) + up(kKeyControl)},
        {"cut", kKeyboardEventPasteboard, 1, 1, down(kKeyControl) + tap(kKeyX) + up(kKeyControl)},
        {"copy", kKeyboardEventPasteboard, 1, 2, down(kKeyControl) + tap(kKeyC) + up(kKeyControl)},
        {"paste", kKeyboardEventPasteboard, 1, 3, down(kKeyControl) + tap(kKeyV) + up(kKeyControl)},
        {"undo", kKeyboardEventPasteboard, 1, 4, down(kKeyControl) + tap(kKeyZ) + up(kKeyControl)},
        {"pasteboard sub-code 5", kKeyboardEventPasteboard, 1, 5, {}},
        {"unknown kind", 6, 1, 0, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(send(c.kind, c.modifiers, c.value), c.steps) << c.what;
}

TEST_F(KeyboardFixture, CharactersWithModifiersUseTheKeyOfTheCharacter) {
    // Modifiers byte 1 still takes the key path; shift state 4 wraps even an unshifted character.
    EXPECT_EQ(send(kKeyboardEventCharacter, 1, u'a'), tap(kKeyA));
    EXPECT_EQ(send(kKeyboardEventCharacter, 1, u'a', 4), down(kKeyShift) + tap(kKeyA) + up(kKeyShift));
    EXPECT_EQ(send(kKeyboardEventCharacter, 1, u'A'), down(kKeyShift) + tap(kKeyA) + up(kKeyShift));
    EXPECT_EQ(send(kKeyboardEventCharacter, 0x02, u'b'), down(kKeyControl) + tap(kKeyB) + up(kKeyControl));
    // A character no key types is dropped.
    EXPECT_EQ(send(kKeyboardEventCharacter, 1, 0x4e2d), std::vector<KeyStep>{});
    EXPECT_TRUE(pasteboard->calls.empty());
}

TEST_F(KeyboardFixture, TextPathTypesThroughTheLayoutMapper) {
    EXPECT_EQ(send(kKeyboardEventCharacter, 0, u'@'), down(kKeyLevel3) + tap(kKeyQ) + up(kKeyLevel3));
    EXPECT_EQ(send(kKeyboardEventCharacter, 0, 0xe9), tap(kKeyDeadAcute) + tap(kKeyE));
    EXPECT_TRUE(utilities->useCompatibleModeForPostString);
    EXPECT_FALSE(utilities->usePasteboardForPostString);
    EXPECT_TRUE(pasteboard->calls.empty());
}

TEST_F(KeyboardFixture, ANewLayoutReplacesTheMapper) {
    EXPECT_EQ(send(kKeyboardEventCharacter, 0, u'@'), down(kKeyLevel3) + tap(kKeyQ) + up(kKeyLevel3));
    X11KeyboardLayout moved = testLayout();
    std::swap(moved.table.keyToCharTables[2][kKeyQ], moved.table.keyToCharTables[2][kKeyB]);
    utilities->setLayout(moved);
    EXPECT_EQ(send(kKeyboardEventCharacter, 0, u'@'), down(kKeyLevel3) + tap(kKeyB) + up(kKeyLevel3));
}

TEST_F(KeyboardFixture, ALayoutWithoutCharactersFindsNoKeyRatherThanKeyZero) {
    EXPECT_EQ(KLTGetKeyCodeForCharacter(KeyboardLayoutTable{}, u'a').status, kKeyCodeNotFound);
    X11KeyboardLayout keysOnly = testLayout();  // key positions known, no character data
    keysOnly.table = KeyboardLayoutTable{};
    utilities->setLayout(keysOnly);
    EXPECT_EQ(send(kKeyboardEventCharacter, 1, u'a'), std::vector<KeyStep>{});
    EXPECT_EQ(send(kKeyboardEventCharacter, 0, u'a'), std::vector<KeyStep>{});
    EXPECT_EQ(send(kKeyboardEventSelection, 1, 5), down(kKeyControl) + up(kKeyControl));
}

TEST_F(KeyboardFixture, AListedInputMethodServerSwitchesTextToPasting) {
    taps = tapOf("IBus-daemon");  // prefixes compare without regard to case
    EXPECT_EQ(send(kKeyboardEventCharacter, 0, 0xe9), down(kKeyControl) + tap(kKeyV) + up(kKeyControl));
    EXPECT_EQ(pasteboard->calls, (std::vector<std::string>{"save", "write \u00e9"}));
    ASSERT_EQ(scheduled.size(), 1u);
    scheduled.front()();
    EXPECT_EQ(pasteboard->calls.back(), "restore");
    EXPECT_EQ(pasteboard->contents, (PasteboardContents{{"text/html", {'<', 'b', '>'}}}));

    // Once the server is gone, text is typed key by key again.
    taps.reset();
    EXPECT_EQ(send(kKeyboardEventCharacter, 0, u'a'), tap(kKeyA));
}

TEST_F(KeyboardFixture, SurrogateHalvesArePastedTogetherOrNotAtAll) {
    taps = tapOf("fcitx5");
    send(kKeyboardEventCharacter, 0, 0xD83D);
    EXPECT_TRUE(pasteboard->calls.empty()) << "the first half waits for the second";
    send(kKeyboardEventCharacter, 0, 0xDE00);
    EXPECT_EQ(pasteboard->calls, (std::vector<std::string>{"save", "write \U0001F600"}));
    // A lone second half, or a first half followed by another character, loses only the half.
    pasteboard->calls.clear();
    send(kKeyboardEventCharacter, 0, 0xDE00);
    send(kKeyboardEventCharacter, 0, 0xD83D);
    send(kKeyboardEventCharacter, 0, u'a');
    EXPECT_EQ(pasteboard->calls, (std::vector<std::string>{"save", "write a"}));
}

TEST_F(KeyboardFixture, AnUnlistedServerKeepsTyping) {
    taps = tapOf("my-own-im");
    EXPECT_EQ(send(kKeyboardEventCharacter, 0, u'b'), tap(kKeyB));
    EXPECT_TRUE(pasteboard->calls.empty());
}

TEST_F(KeyboardFixture, TheShippedListNamesInputMethodServers) {
    const auto& list = KLTKeyCodeUtilities::incompatibleEventTappers();
    EXPECT_NE(std::find(list.begin(), list.end(), "ibus"), list.end());
    EXPECT_NE(std::find(list.begin(), list.end(), "fcitx"), list.end());
}

TEST_F(KeyboardFixture, TheDebuggingSwitchStopsEveryKind) {
    for (uint8_t kind = 0; kind <= 5; ++kind)
        EXPECT_EQ(send(kind, 1, kind == 0 ? u'a' : 1, 0, [] { return true; }), std::vector<KeyStep>{}) << int(kind);
    EXPECT_FALSE(utilities->sawCharacterEvent);
}

TEST_F(KeyboardFixture, ForcedCursorRightGoesFirst) {
    keys.steps.clear();
    KLTHostKeyboardEvent event(KeyboardEventMessage{kKeyboardEventCharacter, 0, 0, u'a'}, *utilities);
    event.forceCursorRightEvent = true;
    event.sendSynthesizedEvent();
    EXPECT_EQ(keys.steps, tap(kKeyRight) + tap(kKeyA));
    EXPECT_FALSE(event.forceCursorRightEvent);
}

}  // namespace
}  // namespace kl
