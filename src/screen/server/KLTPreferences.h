// KLTPreferences: the remote-screen service's user settings, one typed getter and setter per key,
// kept in the per-user preferences domain "com.kelvaro.Deskgate". Each getter checks the stored
// type itself (the platform's boolean() would take a number for a boolean) and writes the default
// back when the stored value is missing or of another type. Every write is synchronised and
// announced to the control app with a will-change and a did-change notification.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Preferences.h"
#include "platform/Value.h"

namespace kl {

inline constexpr const char* kApplicationID = "com.kelvaro.Deskgate";
inline constexpr const char* kCurrentState = "currentState";
inline constexpr const char* kShowInMenuBar = "showInMenuBar";
inline constexpr const char* kAutoConnectOption = "autoConnectOption";
inline constexpr const char* kAutoMoveWindowsBackOption = "autoMoveWindowsBackOption";
inline constexpr const char* kAutoUpdateOption = "autoUpdateOption";
inline constexpr const char* kEnableTouchDisplayOption = "enableDisplayTouch";
inline constexpr const char* kEnableRetinaDisplayOption = "enableRetinaDisplay";
inline constexpr const char* kCurrentVirtualScreenDeviceName = "currentVirtualScreenDeviceName";
inline constexpr const char* kAutoConnectDevices = "autoConnectDevices";
inline constexpr const char* kFirstRun = "firstRun";
inline constexpr const char* kOpenPrefsInSettingsPane = "openPrefsInSettingsPane";
inline constexpr const char* kLastOtherDeviceName = "lastOtherDeviceName";
inline constexpr const char* kDebuggingDontSendKBEvents = "KLTDebuggingDontSendKBEvents";

inline constexpr const char* kPrefsWillChangeNotification = "com.kelvaro.Deskgate.PrefsWillChangeNotification";
inline constexpr const char* kPrefsDidChangeNotification = "com.kelvaro.Deskgate.PrefsDidChangeNotification";

class KLTPreferences {
public:
    // The service's one instance, made on first use.
    static KLTPreferences& sharedAppPrefs();

    // A separate view of the domain (tests read what another writer stored).
    KLTPreferences();
    KLTPreferences(const KLTPreferences&) = delete;
    KLTPreferences& operator=(const KLTPreferences&) = delete;

    int32_t currentState();
    void setCurrentState(int64_t state);
    bool showInMenuBar();
    void setShowInMenuBar(bool on);
    bool autoConnectOption();
    void setAutoConnectOption(bool on);
    bool autoMoveWindowsBackOption();
    void setAutoMoveWindowsBackOption(bool on);
    bool autoUpdateOption();
    void setAutoUpdateOption(bool on);
    bool enableTouchDisplay();
    void setEnableTouchDisplay(bool on);
    bool areRetinaResolutionsEnabled();
    void setRetinaResolutionsEnabled(bool on);
    std::string currentVirtualScreenDevice();
    void setCurrentVirtualScreenDevice(const std::string& name);
    Array autoConnectDevices();
    void setAutoConnectDevices(const Array& devices);
    bool firstRun();
    void setFirstRun(bool on);
    bool openPrefsInSettingsPane();
    void setOpenPrefsInSettingsPane(bool on);
    std::string lastOtherDevice();
    void setLastOtherDevice(const std::string& name);
    // Only ever set by hand while debugging: never written here.
    bool debuggingDontSendKBEvents();

    // Reads the defaults of the main keys, which stores them where missing.
    void setupDefaultValues();

    void synchronize();
    void synchronizeWithNotification();
    static void prefsWillChangeNotification();
    static void prefsDidChangeNotification();

private:
    bool boolValue(const char* key, bool fallback);
    void setBool(const char* key, bool on);
    std::string stringValue(const char* key);
    void setValue(const char* key, Value value);

    Preferences prefs_;
};

}  // namespace kl
