#include "platform/x11/X11KeyboardLayout.h"

#include <X11/XKBlib.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <map>

namespace kl {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Context = std::unique_ptr<xkb_context, Deleter<xkb_context, xkb_context_unref>>;
using Keymap = std::unique_ptr<xkb_keymap, Deleter<xkb_keymap, xkb_keymap_unref>>;
using State = std::unique_ptr<xkb_state, Deleter<xkb_state, xkb_state_unref>>;
using ComposeTable = std::unique_ptr<xkb_compose_table, Deleter<xkb_compose_table, xkb_compose_table_unref>>;
using ComposeState = std::unique_ptr<xkb_compose_state, Deleter<xkb_compose_state, xkb_compose_state_unref>>;

using Table = KeyboardLayoutTable;

// The combinations the mapper tries, in its order.
constexpr uint16_t kCombinations[] = {0, 2, 8, 16, 10, 18, 24, 26, 4};

bool isDeadKeysym(xkb_keysym_t sym) { return sym >= XKB_KEY_dead_grave && sym <= 0xfe93; }
bool isKeypadKeysym(xkb_keysym_t sym) { return sym >= XKB_KEY_KP_Space && sym <= XKB_KEY_KP_Equal; }

// A character that fits a key output directly: one UTF-16 unit that cannot be taken for an index.
bool fitsOutput(char32_t cp) {
    if (cp == 0 || cp > 0xFFFD) return false;
    uint16_t kind = uint16_t(cp) & Table::kIndexKindMask;
    return kind != Table::kStateRecordMark && kind != Table::kSequenceMark;
}

std::u16string utf16(char32_t cp) {
    if (cp < 0x10000) return std::u16string(1, char16_t(cp));
    cp -= 0x10000;
    return {char16_t(0xD800 + (cp >> 10)), char16_t(0xDC00 + (cp & 0x3FF))};
}

// The single code point of a short UTF-8 text; 0 when it holds none or more than one.
char32_t singleCodePoint(const char* text) {
    auto* s = reinterpret_cast<const unsigned char*>(text);
    if (!s[0]) return 0;
    int length = s[0] < 0x80 ? 1 : s[0] >= 0xF0 ? 4 : s[0] >= 0xE0 ? 3 : s[0] >= 0xC0 ? 2 : 0;
    if (length == 0) return 0;
    char32_t cp = length == 1 ? s[0] : s[0] & (0x3F >> (length - 1));
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (s[i] & 0x3F);
    }
    return s[length] ? 0 : cp;
}

std::string composeLocale(const std::string& requested) {
    if (!requested.empty()) return requested;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"})
        if (const char* v = std::getenv(name); v && *v) return v;
    return "C";
}

// The real modifier ("Mod5") that the core modifier map gives a keycode; "" when none.
std::string realModifierOfKey(Display* d, unsigned keycode) {
    static const char* names[] = {"Shift", "Lock", "Control", "Mod1", "Mod2", "Mod3", "Mod4", "Mod5"};
    std::string found;
    XModifierKeymap* map = XGetModifierMapping(d);
    if (!map) return found;
    for (int m = 0; m < 8 && found.empty(); ++m)
        for (int i = 0; i < map->max_keypermod; ++i)
            if (keycode && map->modifiermap[m * map->max_keypermod + i] == keycode) {
                found = names[m];
                break;
            }
    XFreeModifiermap(map);
    return found;
}

class LayoutBuilder {
public:
    LayoutBuilder(xkb_keymap* keymap, xkb_layout_index_t layout) : keymap_(keymap), layout_(layout) {}

    uint16_t keyWithSym(xkb_keysym_t wanted) const {
        for (xkb_keycode_t k = minKey(); k <= maxKey(); ++k) {
            const xkb_keysym_t* syms;
            int n = xkb_keymap_key_get_syms_by_level(keymap_, k, layout_, 0, &syms);
            for (int i = 0; i < n; ++i)
                if (syms[i] == wanted) return uint16_t(k);
        }
        return 0;
    }

    Table build(Display* d, xkb_compose_table* compose, std::map<std::string, uint16_t>& names) {
        Table t;
        t.keyToCharTables.clear();
        t.modifiersToTable.assign(kLayoutModifierCombinations, 0);
        t.keypadKeys.assign(t.keysPerTable, false);
        uint16_t level3Key = keyWithSym(XKB_KEY_ISO_Level3_Shift);
        std::string level3Mod = realModifierOfKey(d, level3Key);
        t.modifierKeys = {keyWithSym(XKB_KEY_Control_L), keyWithSym(XKB_KEY_Shift_L), keyWithSym(XKB_KEY_Caps_Lock),
                          level3Mod.empty() ? uint16_t(0) : level3Key, keyWithSym(XKB_KEY_Control_L)};
        t.returnKey = keyWithSym(XKB_KEY_Return);

        std::vector<std::vector<xkb_keysym_t>> symTables;
        for (uint16_t combination : kCombinations) {
            if ((combination & kLayoutOption) && level3Mod.empty()) continue;
            std::vector<xkb_keysym_t> syms;
            std::vector<uint16_t> outputs = outputsFor(combination, level3Mod, syms);
            auto same = std::find(t.keyToCharTables.begin(), t.keyToCharTables.end(), outputs);
            if (same != t.keyToCharTables.end()) {
                t.modifiersToTable[combination] = uint8_t(same - t.keyToCharTables.begin());
                continue;
            }
            t.modifiersToTable[combination] = uint8_t(t.keyToCharTables.size());
            t.keyToCharTables.push_back(std::move(outputs));
            symTables.push_back(std::move(syms));
        }
        for (xkb_keycode_t k = minKey(); k <= maxKey(); ++k) {
            const xkb_keysym_t* syms;
            if (xkb_keymap_key_get_syms_by_level(keymap_, k, layout_, 0, &syms) > 0 && isKeypadKeysym(syms[0]))
                t.keypadKeys[k] = true;
            if (const char* name = xkb_keymap_key_get_name(keymap_, k)) names[name] = uint16_t(k);
        }
        addSequences(t);
        if (compose) addDeadKeys(t, symTables, compose);
        return t;
    }

private:
    xkb_keycode_t minKey() const { return std::max<xkb_keycode_t>(xkb_keymap_min_keycode(keymap_), 8); }
    xkb_keycode_t maxKey() const { return std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap_), 255); }

    xkb_mod_mask_t maskFor(uint16_t combination, const std::string& level3Mod) const {
        xkb_mod_mask_t mask = 0;
        auto add = [&](const char* name) {
            xkb_mod_index_t i = xkb_keymap_mod_get_index(keymap_, name);
            if (i != XKB_MOD_INVALID) mask |= xkb_mod_mask_t(1) << i;
        };
        if (combination & kLayoutShift) add(XKB_MOD_NAME_SHIFT);
        if (combination & kLayoutCapsLock) add(XKB_MOD_NAME_CAPS);
        if (combination & (kLayoutControl | kLayoutCommand)) add(XKB_MOD_NAME_CTRL);
        if (combination & kLayoutOption) add(level3Mod.c_str());
        return mask;
    }

    // Outputs of every key under one combination; characters that do not fit an output are set
    // aside (as code points | 0x80000000) until the sequences are made.
    std::vector<uint16_t> outputsFor(uint16_t combination, const std::string& level3Mod, std::vector<xkb_keysym_t>& syms) {
        State state(xkb_state_new(keymap_));
        xkb_state_update_mask(state.get(), maskFor(combination, level3Mod), 0, 0, 0, 0, layout_);
        std::vector<uint16_t> outputs(256, Table::kNoOutput);
        syms.assign(256, XKB_KEY_NoSymbol);
        for (xkb_keycode_t k = minKey(); k <= maxKey(); ++k) {
            xkb_keysym_t sym = xkb_state_key_get_one_sym(state.get(), k);
            syms[k] = sym;
            if (isDeadKeysym(sym)) {
                outputs[k] = deadKeyOutput(sym);
                continue;
            }
            char32_t cp = xkb_state_key_get_utf32(state.get(), k);
            if (fitsOutput(cp)) {
                outputs[k] = uint16_t(cp);
            } else if (cp != 0 && cp <= 0x10FFFF) {
                outputs[k] = sequenceOutput(cp);
            }
        }
        return outputs;
    }

    // Each dead keysym gets a record of its own and a state numbered from 1.
    uint16_t deadKeyOutput(xkb_keysym_t sym) {
        auto [it, added] = deadRecords_.try_emplace(sym, uint16_t(records_.size()));
        if (added) {
            Table::StateRecord record;
            record.stateZeroCharacter = Table::kNoOutput;
            record.stateZeroNextState = uint16_t(deadRecords_.size());
            records_.push_back(record);
        }
        return uint16_t(Table::kStateRecordMark | it->second);
    }

    uint16_t sequenceOutput(char32_t cp) {
        std::u16string units = utf16(cp);
        auto it = std::find(sequences_.begin(), sequences_.end(), units);
        size_t index = it - sequences_.begin();
        if (it == sequences_.end()) sequences_.push_back(units);
        return uint16_t(Table::kSequenceMark | index);
    }

    void addSequences(Table& t) {
        t.hasSequences = !sequences_.empty();
        t.sequences = sequences_;
    }

    // Feeds the compose table every dead key followed by every key that types a character, and
    // gives each such key a record of what it types after each dead key.
    void addDeadKeys(Table& t, const std::vector<std::vector<xkb_keysym_t>>& symTables, xkb_compose_table* compose) {
        if (deadRecords_.empty()) return;
        ComposeState state(xkb_compose_state_new(compose, XKB_COMPOSE_STATE_NO_FLAGS));
        std::map<uint16_t, uint16_t> recordOfCharacter;
        for (size_t n = 0; n < t.keyToCharTables.size(); ++n) {
            for (xkb_keycode_t k = minKey(); k <= maxKey(); ++k) {
                uint16_t& output = t.keyToCharTables[n][k];
                if (!fitsOutput(output)) continue;  // dead keys, sequences and keys typing nothing
                uint16_t character = output;
                for (auto [dead, recordIndex] : deadRecords_) {
                    xkb_compose_state_reset(state.get());
                    xkb_compose_state_feed(state.get(), dead);
                    xkb_compose_state_feed(state.get(), symTables[n][k]);
                    if (xkb_compose_state_get_status(state.get()) != XKB_COMPOSE_COMPOSED) continue;
                    char text[16];
                    xkb_compose_state_get_utf8(state.get(), text, sizeof text);
                    char32_t composed = singleCodePoint(text);
                    if (!fitsOutput(composed)) continue;
                    auto [it, added] = recordOfCharacter.try_emplace(character, uint16_t(records_.size()));
                    if (added) {
                        Table::StateRecord record;
                        record.stateZeroCharacter = character;
                        records_.push_back(record);
                    }
                    auto& entries = records_[it->second].entries;
                    Table::StateEntry entry{records_[recordIndex].stateZeroNextState, uint16_t(composed)};
                    if (std::none_of(entries.begin(), entries.end(), [&](const Table::StateEntry& e) {
                            return e.currentState == entry.currentState && e.character == entry.character;
                        }))
                        entries.push_back(entry);
                }
                if (auto it = recordOfCharacter.find(character); it != recordOfCharacter.end())
                    output = uint16_t(Table::kStateRecordMark | it->second);
            }
        }
        t.hasStateRecords = !records_.empty();
        t.stateRecords = records_;
    }

    xkb_keymap* keymap_;
    xkb_layout_index_t layout_;
    std::map<xkb_keysym_t, uint16_t> deadRecords_;  // dead keysym -> its record
    std::vector<Table::StateRecord> records_;
    std::vector<std::u16string> sequences_;
};

}  // namespace

std::optional<X11KeyboardLayout> x11ReadKeyboardLayout(X11Connection& c, const std::string& locale) {
    auto* d = static_cast<Display*>(c.display());
    xcb_connection_t* conn = XGetXCBConnection(d);
    if (!xkb_x11_setup_xkb_extension(conn, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr))
        return std::nullopt;
    Context context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    if (!context) return std::nullopt;
    int32_t device = xkb_x11_get_core_keyboard_device_id(conn);
    if (device < 0) return std::nullopt;
    Keymap keymap(xkb_x11_keymap_new_from_device(context.get(), conn, device, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) return std::nullopt;
    State serverState(xkb_x11_state_new_from_device(keymap.get(), conn, device));
    xkb_layout_index_t layout =
        serverState ? xkb_state_serialize_layout(serverState.get(), XKB_STATE_LAYOUT_EFFECTIVE) : 0;

    std::string composeName = composeLocale(locale);
    ComposeTable compose(xkb_compose_table_new_from_locale(context.get(), composeName.c_str(), XKB_COMPOSE_COMPILE_NO_FLAGS));
    if (!compose)  // a locale without a compose table of its own: the common UTF-8 one
        compose.reset(xkb_compose_table_new_from_locale(context.get(), "en_US.UTF-8", XKB_COMPOSE_COMPILE_NO_FLAGS));
    if (!compose) X11Connection::log("No compose table for locale " + composeName + ": dead keys type nothing");

    X11KeyboardLayout result;
    LayoutBuilder builder(keymap.get(), layout);
    result.table = builder.build(d, compose.get(), result.keysByName);
    return result;
}

X11KeymapWatch::X11KeymapWatch(X11Connection& c) : c_(c) {
    auto* d = static_cast<Display*>(c.display());
    int opcode, error, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (XkbQueryExtension(d, &opcode, &xkbEventBase_, &error, &major, &minor)) {
        unsigned mask = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
        XkbSelectEvents(d, XkbUseCoreKbd, mask, mask);
    } else {
        xkbEventBase_ = -1;
    }
    c.flush();
}

bool X11KeymapWatch::takeChange() {
    auto* d = static_cast<Display*>(c_.display());
    bool changed = false;
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            changed = true;
        } else if (xkbEventBase_ >= 0 && event.type == xkbEventBase_) {
            changed = true;
        }
    }
    return changed;
}

}  // namespace kl
