// The layout mapper on a hand-made layout: which keys and modifiers type a text, how modifiers are
// held across characters, dead keys, normalisation and untypeable text.
#include <gtest/gtest.h>

#include "InputTestSupport.h"
#include "screen/input/KLTKeyboardLayoutMapper.h"

namespace kl {
namespace {

using namespace kl::test;

TEST(KLTKeyboardLayoutMapper, TypesCharactersWithTheModifiersTheirTablesNeed) {
    KLTKeyboardLayoutMapper mapper(testLayout().table);
    struct Case {
        std::u16string text;
        std::vector<KeyStep> steps;
    } cases[] = {
        {u"a", tap(kKeyA)},
        {u"A", down(kKeyShift) + tap(kKeyA) + up(kKeyShift)},
        // Shift stays down across consecutive shifted characters.
        {u"AB", down(kKeyShift) + tap(kKeyA) + tap(kKeyB) + up(kKeyShift)},
        {u"aBa", tap(kKeyA) + down(kKeyShift) + tap(kKeyB) +
                     up(kKeyShift) + tap(kKeyA)},
        // Option is the third-level shift.
        {u"@", down(kKeyLevel3) + tap(kKeyQ) + up(kKeyLevel3)},
        // A dead key's record does not type its own state-zero character, but e's record does.
        {u"e", tap(kKeyE)},
        {u"\n", tap(kKeyReturn)},
        // The main row's key comes first: the keypad key has the higher code.
        {u"1", tap(kKeyOne)},
    };
    for (const auto& c : cases) EXPECT_EQ(mapper.keycodesFromString(c.text), c.steps) << utf8FromUtf16(c.text);
}

TEST(KLTKeyboardLayoutMapper, ReachesCharactersThroughDeadKeys) {
    KLTKeyboardLayoutMapper mapper(testLayout().table);
    auto acuteE = tap(kKeyDeadAcute) + tap(kKeyE);
    EXPECT_EQ(mapper.keycodesFromString(u"\u00e9"), acuteE);
    // A decomposed e with a combining acute is the same character after normalisation.
    EXPECT_EQ(mapper.keycodesFromString(u"e\u0301"), acuteE);
    auto results = mapper.modifiersAndVirtualKeysForString(u"\u00c9", kKeypadAny);
    ASSERT_TRUE(results);
    EXPECT_EQ(*results, (std::vector<ModifiersAndKey>{{0, kKeyDeadAcute}, {kLayoutShift, kKeyE}}));
}

TEST(KLTKeyboardLayoutMapper, TextWithAnUntypeableCharacterTypesNothing) {
    KLTKeyboardLayoutMapper mapper(testLayout().table);
    EXPECT_TRUE(mapper.keycodesFromString(u"ab\u4e2dab").empty());
    EXPECT_TRUE(mapper.keycodesFromString(u"a\U0001F600").empty());
    // The mapper stays usable and the step list is rebuilt by the next call.
    EXPECT_EQ(mapper.keycodesFromString(u"b"), tap(kKeyB));
}

TEST(KLTKeyboardLayoutMapper, KeypadModesChooseKeysAndFallBackToAnyKey) {
    KLTKeyboardLayoutMapper mapper(testLayout().table);
    auto only = mapper.modifiersAndVirtualKeysForString(u"1", kKeypadOnly);
    ASSERT_TRUE(only);
    EXPECT_EQ(only->front().key, kKeyKeypadOne);
    // No keypad key types "a": the search falls back to any key.
    auto fallback = mapper.modifiersAndVirtualKeysForString(u"a1", kKeypadOnly);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(*fallback, (std::vector<ModifiersAndKey>{{0, kKeyA}, {0, kKeyOne}}));
}

TEST(KLTKeyboardLayoutMapper, PersistentModifiersStayHeldAcrossText) {
    KLTKeyboardLayoutMapper mapper(testLayout().table);
    mapper.clearVirtualKeysToType();
    mapper.appendVirtualKeysToPressReleasePersistentModifiers(kLayoutShift, true);
    mapper.appendVirtualKeysToTypeString(u"Aa", kKeypadAny);
    // Shift was already down: typing neither presses nor releases it.
    EXPECT_EQ(mapper.virtualKeysToType(), down(kKeyShift) + tap(kKeyA) + tap(kKeyA));
    EXPECT_EQ(mapper.persistentModifiers(), kLayoutShift);
}

TEST(KLTKeyboardLayoutMapper, AnEmptyLayoutTypesNothing) {
    KLTKeyboardLayoutMapper mapper(KeyboardLayoutTable{});
    EXPECT_TRUE(mapper.keycodesFromString(u"a").empty());
}

}  // namespace
}  // namespace kl
