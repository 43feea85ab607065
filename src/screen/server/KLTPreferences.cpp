#include "screen/server/KLTPreferences.h"

#include <limits>

#include "platform/NotifyBus.h"

namespace kl {

KLTPreferences& KLTPreferences::sharedAppPrefs() {
    static KLTPreferences shared;
    return shared;
}

KLTPreferences::KLTPreferences() : prefs_(kApplicationID) {}

void KLTPreferences::synchronize() { prefs_.synchronize(); }

// Observers in every session (the control app runs as the logged-in user).
void KLTPreferences::prefsWillChangeNotification() {
    NotifyBus::post(kPrefsWillChangeNotification, NotifyBus::Scope::System);
}

void KLTPreferences::prefsDidChangeNotification() {
    NotifyBus::post(kPrefsDidChangeNotification, NotifyBus::Scope::System);
}

void KLTPreferences::synchronizeWithNotification() {
    prefsWillChangeNotification();
    synchronize();
    prefsDidChangeNotification();
}

void KLTPreferences::setValue(const char* key, Value value) {
    prefs_.setValue(key, std::move(value));
    synchronizeWithNotification();
}

bool KLTPreferences::boolValue(const char* key, bool fallback) {
    auto stored = prefs_.value(key);
    if (stored && stored->isBool()) return *stored->asBool();
    setBool(key, fallback);
    return fallback;
}

void KLTPreferences::setBool(const char* key, bool on) { setValue(key, on); }

std::string KLTPreferences::stringValue(const char* key) {
    auto stored = prefs_.value(key);
    if (stored && stored->isString()) return *stored->asString();
    setValue(key, std::string());
    synchronizeWithNotification();
    return {};
}

int32_t KLTPreferences::currentState() {
    auto stored = prefs_.value(kCurrentState);
    if (!stored || !stored->isNumber()) {
        setCurrentState(0);
        return 0;
    }
    // A number that is not a 32-bit whole number, or a state we do not know, reads as 0 and is
    // left as stored.
    auto number = stored->asInt();
    if (!number || *number < std::numeric_limits<int32_t>::min() || *number > std::numeric_limits<int32_t>::max())
        return 0;
    return (*number >= 0 && *number <= 2) ? int32_t(*number) : 0;
}

void KLTPreferences::setCurrentState(int64_t state) {
    setValue(kCurrentState, Value(int(state >= 0 && state <= 2 ? state : 0)));
}

bool KLTPreferences::showInMenuBar() { return boolValue(kShowInMenuBar, true); }
void KLTPreferences::setShowInMenuBar(bool on) { setBool(kShowInMenuBar, on); }
bool KLTPreferences::autoConnectOption() { return boolValue(kAutoConnectOption, true); }
void KLTPreferences::setAutoConnectOption(bool on) { setBool(kAutoConnectOption, on); }
bool KLTPreferences::autoMoveWindowsBackOption() { return boolValue(kAutoMoveWindowsBackOption, true); }
void KLTPreferences::setAutoMoveWindowsBackOption(bool on) { setBool(kAutoMoveWindowsBackOption, on); }
bool KLTPreferences::autoUpdateOption() { return boolValue(kAutoUpdateOption, true); }
void KLTPreferences::setAutoUpdateOption(bool on) { setBool(kAutoUpdateOption, on); }
bool KLTPreferences::enableTouchDisplay() { return boolValue(kEnableTouchDisplayOption, true); }
void KLTPreferences::setEnableTouchDisplay(bool on) { setBool(kEnableTouchDisplayOption, on); }
bool KLTPreferences::areRetinaResolutionsEnabled() { return boolValue(kEnableRetinaDisplayOption, true); }
void KLTPreferences::setRetinaResolutionsEnabled(bool on) { setBool(kEnableRetinaDisplayOption, on); }
bool KLTPreferences::firstRun() { return boolValue(kFirstRun, true); }
void KLTPreferences::setFirstRun(bool on) { setBool(kFirstRun, on); }
bool KLTPreferences::openPrefsInSettingsPane() { return boolValue(kOpenPrefsInSettingsPane, true); }
void KLTPreferences::setOpenPrefsInSettingsPane(bool on) { setBool(kOpenPrefsInSettingsPane, on); }

std::string KLTPreferences::currentVirtualScreenDevice() { return stringValue(kCurrentVirtualScreenDeviceName); }
void KLTPreferences::setCurrentVirtualScreenDevice(const std::string& name) {
    setValue(kCurrentVirtualScreenDeviceName, name);
}
std::string KLTPreferences::lastOtherDevice() { return stringValue(kLastOtherDeviceName); }
void KLTPreferences::setLastOtherDevice(const std::string& name) { setValue(kLastOtherDeviceName, name); }

Array KLTPreferences::autoConnectDevices() {
    auto stored = prefs_.value(kAutoConnectDevices);
    if (stored && stored->isArray()) return *stored->asArray();
    setValue(kAutoConnectDevices, Array{});
    synchronizeWithNotification();
    return {};
}

void KLTPreferences::setAutoConnectDevices(const Array& devices) { setValue(kAutoConnectDevices, devices); }

bool KLTPreferences::debuggingDontSendKBEvents() {
    auto stored = prefs_.value(kDebuggingDontSendKBEvents);
    return stored && stored->asBool().value_or(false);
}

void KLTPreferences::setupDefaultValues() {
    currentState();
    showInMenuBar();
    currentVirtualScreenDevice();
    autoConnectOption();
    autoUpdateOption();
    autoMoveWindowsBackOption();
    enableTouchDisplay();
    areRetinaResolutionsEnabled();
}

}  // namespace kl
