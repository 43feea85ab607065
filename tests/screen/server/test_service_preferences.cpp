// The service's preferences: typed getters that repair what another writer stored, and the
// notifications that announce every write.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/NotifyBus.h"
#include "platform/Preferences.h"
#include "screen/server/KLTPreferences.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

// Stores raw values in the domain as another process would.
void store(const Dictionary& values) {
    Preferences writer(kApplicationID);
    for (const auto& [key, value] : values) writer.setValue(key, value);
    ASSERT_TRUE(writer.synchronize());
}

std::optional<Value> stored(const char* key) { return Preferences(kApplicationID).value(key); }

struct NotificationCounter {
    std::atomic<int> will{0}, did{0};
    NotifyBus::Observer willObserver{kPrefsWillChangeNotification, NotifyBus::Scope::System, [](Task t) { t(); },
                                     [this] { ++will; }};
    NotifyBus::Observer didObserver{kPrefsDidChangeNotification, NotifyBus::Scope::System, [](Task t) { t(); },
                                    [this] { ++did; }};
};

TEST(KLTPreferences, BooleanKeysRepairOtherTypesWithTheirDefault) {
    struct Case {
        const char* key;
        bool (KLTPreferences::*get)();
        bool fallback;
    };
    const Case cases[] = {
        {kShowInMenuBar, &KLTPreferences::showInMenuBar, true},
        {kAutoConnectOption, &KLTPreferences::autoConnectOption, true},
        {kAutoMoveWindowsBackOption, &KLTPreferences::autoMoveWindowsBackOption, true},
        {kAutoUpdateOption, &KLTPreferences::autoUpdateOption, true},
        {kEnableTouchDisplayOption, &KLTPreferences::enableTouchDisplay, true},
        {kEnableRetinaDisplayOption, &KLTPreferences::areRetinaResolutionsEnabled, true},
        {kFirstRun, &KLTPreferences::firstRun, true},
        {kOpenPrefsInSettingsPane, &KLTPreferences::openPrefsInSettingsPane, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        // A stored boolean is answered as it is, and left alone.
        store({{c.key, false}});
        EXPECT_FALSE((KLTPreferences().*c.get)());
        EXPECT_EQ(stored(c.key), Value(false));

        // A number is not a boolean: the default replaces it, with both notifications.
        store({{c.key, 0}});
        NotificationCounter counter;
        ASSERT_TRUE(counter.willObserver.watching());
        EXPECT_EQ((KLTPreferences().*c.get)(), c.fallback);
        EXPECT_EQ(stored(c.key), Value(c.fallback));
        EXPECT_TRUE(test::waitFor([&] { return counter.will > 0 && counter.did > 0; }, std::chrono::seconds(5)));
    }
}

TEST(KLTPreferences, CurrentStateReadsUnknownNumbersAsZeroAndReplacesOtherTypes) {
    store({{kCurrentState, 2}});
    EXPECT_EQ(KLTPreferences().currentState(), 2);

    store({{kCurrentState, 7}});
    EXPECT_EQ(KLTPreferences().currentState(), 0);
    EXPECT_EQ(stored(kCurrentState), Value(7));  // left as stored

    store({{kCurrentState, int64_t(1) << 40}});
    EXPECT_EQ(KLTPreferences().currentState(), 0);

    store({{kCurrentState, "2"}});
    EXPECT_EQ(KLTPreferences().currentState(), 0);
    EXPECT_EQ(stored(kCurrentState), Value(0));

    KLTPreferences prefs;
    prefs.setCurrentState(1);
    EXPECT_EQ(stored(kCurrentState), Value(1));
    prefs.setCurrentState(5);
    EXPECT_EQ(stored(kCurrentState), Value(0));
    prefs.setCurrentState(-1);
    EXPECT_EQ(prefs.currentState(), 0);
}

TEST(KLTPreferences, StringsAndArraysOfAnotherTypeBecomeEmpty) {
    store({{kCurrentVirtualScreenDeviceName, "tablet"}, {kLastOtherDeviceName, 3}, {kAutoConnectDevices, "x"}});
    KLTPreferences prefs;
    EXPECT_EQ(prefs.currentVirtualScreenDevice(), "tablet");
    EXPECT_EQ(prefs.lastOtherDevice(), "");
    EXPECT_EQ(stored(kLastOtherDeviceName), Value(""));
    EXPECT_TRUE(prefs.autoConnectDevices().empty());
    EXPECT_EQ(stored(kAutoConnectDevices), Value(Array{}));

    prefs.setAutoConnectDevices(Array{"a", "b"});
    EXPECT_EQ(KLTPreferences().autoConnectDevices(), (Array{"a", "b"}));
}

TEST(KLTPreferences, DebuggingSwitchIsOnOnlyForBooleanTrueAndNeverWritten) {
    Preferences cleaner(kApplicationID);
    cleaner.removeValue(kDebuggingDontSendKBEvents);
    ASSERT_TRUE(cleaner.synchronize());
    EXPECT_FALSE(KLTPreferences().debuggingDontSendKBEvents());
    EXPECT_FALSE(stored(kDebuggingDontSendKBEvents));

    store({{kDebuggingDontSendKBEvents, 1}});
    EXPECT_FALSE(KLTPreferences().debuggingDontSendKBEvents());
    EXPECT_EQ(stored(kDebuggingDontSendKBEvents), Value(1));

    store({{kDebuggingDontSendKBEvents, true}});
    EXPECT_TRUE(KLTPreferences().debuggingDontSendKBEvents());
}

TEST(KLTPreferences, DefaultsAreWrittenForMissingKeys) {
    std::filesystem::remove(*Preferences::fileForDomain(kApplicationID));
    KLTPreferences().setupDefaultValues();
    Preferences fresh(kApplicationID);
    EXPECT_EQ(fresh.value(kCurrentState), Value(0));
    EXPECT_EQ(fresh.value(kShowInMenuBar), Value(true));
    EXPECT_EQ(fresh.value(kEnableTouchDisplayOption), Value(true));
    EXPECT_EQ(fresh.value(kCurrentVirtualScreenDeviceName), Value(""));
    EXPECT_FALSE(fresh.value(kFirstRun));  // not among the keys set up
}

}  // namespace
}  // namespace kl
