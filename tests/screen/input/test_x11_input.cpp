// The input dispatcher against a real X server (Xvfb): an X client of its own (the event printer)
// reports the pointer moves, clicks, wheel clicks and typed text that the viewer's datagrams
// become, in the US and the German layouts, with shortcuts, pasting while an input-method server
// runs, window activation and the refusals of datagrams that do not come from the viewer.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "ViewerMessages.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "platform/Preferences.h"
#include "platform/x11/X11Activation.h"
#include "platform/x11/X11Clipboard.h"
#include "platform/x11/X11Injection.h"
#include "screen/input/KLTEventTapManager.h"
#include "screen/input/ScreenInputDispatcher.h"
#include "screen/server/KLTPreferences.h"
#include "screen/x11/XvfbTestSupport.h"
#include "support/TestEnvironment.h"
#include "tunnel/StandinProcess.h"

namespace kl {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

sockaddr_storage ipv4(const char* ip, uint16_t port) {
    sockaddr_storage s{};
    auto& v4 = reinterpret_cast<sockaddr_in&>(s);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    inet_pton(AF_INET, ip, &v4.sin_addr);
    return s;
}

std::vector<uint8_t> keyboardBytes(uint8_t kind, uint8_t modifiers, uint32_t value, uint8_t shift = 0) {
    std::vector<uint8_t> b = {3, kind, shift, modifiers, 0};
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(value >> (8 * i)));
    b.resize(29, 0);
    return b;
}

std::vector<uint8_t> windowRequestBytes(uint64_t application, uint64_t window) {
    std::vector<uint8_t> b = {5};
    for (uint64_t v : {application, window})
        for (int i = 0; i < 8; ++i) b.push_back(uint8_t(v >> (8 * i)));
    return b;
}

void storePreference(const char* key, Value value) {
    Preferences writer(kApplicationID);
    writer.setValue(key, std::move(value));
    ASSERT_TRUE(writer.synchronize());
}

struct MenuStandin : MenuPresser {
    Outcome outcome = NotFound;
    std::vector<std::pair<uint64_t, uint64_t>> requests;
    Outcome pressMenu(uint64_t element, uint64_t application, Bytes& lowerMenu) override {
        requests.emplace_back(element, application);
        if (outcome == LowerMenu) lowerMenu = {9, 9, 9};
        return outcome;
    }
};

class X11Input : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(test::kXvfb)) GTEST_SKIP() << "Xvfb is not installed";
        ::setenv("LC_ALL", "C.UTF-8", 1);  // the printer composes dead keys with the locale's table
        xvfb_ = std::make_unique<test::Xvfb>(1024, 768);
        ASSERT_TRUE(xvfb_->started());
        printer_ = std::make_unique<test::StandinProcess>(
            std::vector<std::string>{KL_X_EVENT_PRINTER, "0", "0", "1024", "768"});
        auto ready = printer_->waitForEvent("ready", 10s);
        ASSERT_TRUE(ready);
        window_ = (*ready)["window"].get<unsigned long>();
        ASSERT_TRUE(printer_->waitForEvent("focus", 10s));
        storePreference(kReverseScrollwheelEventDirection, false);

        ScreenInputDispatcher::Dependencies d;
        d.mainLoop = &loop_;
        d.geometry = [this] { return geometry_; };
        d.menus = menus_;
        d.sendToViewer = [this](std::span<const uint8_t> datagram) { sent_.emplace_back(datagram.begin(), datagram.end()); };
        dispatcher_ = std::make_unique<ScreenInputDispatcher>(std::move(d));
        dispatcher_->viewerChanged(&viewer_, sizeof(sockaddr_in));
    }
    void TearDown() override {
        dispatcher_.reset();  // before the server and this thread's connection go
        printer_.reset();
        xvfb_.reset();
        ::unsetenv("LC_ALL");
    }

    void send(const std::vector<uint8_t>& datagram, const sockaddr_storage& from) {
        dispatcher_->handleInputDatagram(datagram, from, sizeof(sockaddr_in));
    }
    void send(const std::vector<uint8_t>& datagram) { send(datagram, viewerPort_); }

    std::pair<int, int> pointer() {
        auto p = x11PointerPosition(*X11Connection::forThisThread());
        return p ? *p : std::pair{-1, -1};
    }
    // Moves the pointer to a spot no test uses and waits until the printer saw it: everything the
    // dispatcher injected before has then reached the printer.
    size_t fence() {
        static int n = 0;
        int x = 1000 - (++n % 50);
        send(viewer::mouseBytes(0, int16_t(x * 2), 1500));
        auto seen = printer_->waitFor([&](const json& l) { return l["event"] == "motion" && l["x"] == x && l["y"] == 750; }, 10s);
        EXPECT_TRUE(seen);
        return printer_->lineCount();
    }
    std::vector<json> events(const std::string& kind, size_t from = 0) {
        std::vector<json> found;
        auto lines = printer_->lines();
        for (size_t i = from; i < lines.size(); ++i)
            if (lines[i]["event"] == kind) found.push_back(lines[i]);
        return found;
    }
    std::string typedText(size_t from = 0) {
        std::string text;
        for (const auto& k : events("key", from)) text += k["text"].get<std::string>();
        return text;
    }
    void typeText(const std::u16string& text) {
        for (char16_t c : text) send(keyboardBytes(kKeyboardEventCharacter, 0, c));
    }

    std::unique_ptr<test::Xvfb> xvfb_;
    std::unique_ptr<test::StandinProcess> printer_;
    unsigned long window_ = 0;
    MainLoop loop_;
    PointerEventInjector::Geometry geometry_{2.0, {0, 0}};
    std::shared_ptr<MenuStandin> menus_ = std::make_shared<MenuStandin>();
    std::vector<Bytes> sent_;
    sockaddr_storage viewer_ = ipv4("192.0.2.7", 49152);
    sockaddr_storage viewerPort_ = ipv4("192.0.2.7", 5000);
    std::unique_ptr<ScreenInputDispatcher> dispatcher_;
};

TEST_F(X11Input, MouseDatagramsMoveThePointerAndClickWhereConverted) {
    send(viewer::mouseBytes(0, 401, 201));
    EXPECT_TRUE(test::waitFor([&] { return pointer() == std::pair{200, 100}; }, 5s));
    size_t from = printer_->lineCount();
    send(viewer::mouseBytes(1, 400, 200));
    send(viewer::mouseBytes(0, 400, 200));
    send(viewer::mouseBytes(2, 600, 300));
    send(viewer::mouseBytes(0, 600, 300));
    fence();
    auto buttons = events("button", from);
    ASSERT_EQ(buttons.size(), 4u);
    EXPECT_EQ(buttons[0], (json{{"event", "button"}, {"button", 1}, {"down", true}, {"x", 200}, {"y", 100}}));
    EXPECT_EQ(buttons[1]["down"], false);
    EXPECT_EQ(buttons[2], (json{{"event", "button"}, {"button", 3}, {"down", true}, {"x", 300}, {"y", 150}}));
}

TEST_F(X11Input, AQuickTapUpLandsOnItsDownPosition) {
    size_t from = printer_->lineCount();
    send(viewer::tapBytes(0, 600, 600));
    std::this_thread::sleep_for(100ms);
    send(viewer::tapBytes(2, 610, 600));  // 5 points away after scaling
    fence();
    auto buttons = events("button", from);
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[1]["down"], false);
    EXPECT_EQ(buttons[1]["x"], 300);
    EXPECT_EQ(buttons[1]["y"], 300);
}

TEST_F(X11Input, ScrollingClicksTheWheelInTheConfiguredDirection) {
    size_t from = printer_->lineCount();
    send(viewer::scrollBytes(0, 3.7f));
    storePreference(kReverseScrollwheelEventDirection, true);
    send(viewer::scrollBytes(0, 3.7f));
    send(viewer::scrollBytes(3.7f, 0));
    fence();
    std::vector<int> pressed;
    for (const auto& b : events("button", from))
        if (b["down"] == true) pressed.push_back(b["button"].get<int>());
    // Down without reverse, up with it; a reversed horizontal scroll goes left.
    EXPECT_EQ(pressed, (std::vector<int>{5, 4, 6}));
}

TEST_F(X11Input, TypedTextArrivesAsText) {
    typeText(u"Hello, World!");
    fence();
    EXPECT_EQ(typedText(), "Hello, World!");
}

TEST_F(X11Input, EachViewerConnectionsReaderThreadTypes) {
    // Every viewer connection has a reader thread (and X connection) of its own.
    for (std::u16string text : {u"ab", u"cd"}) {
        dispatcher_->viewerChanged(&viewer_, sizeof(sockaddr_in));
        std::thread reader([&] { typeText(text); });
        reader.join();
    }
    fence();
    EXPECT_EQ(typedText(), "abcd");
}

TEST_F(X11Input, AfterALayoutChangeTextUsesAltGrAndDeadKeys) {
    if (!std::filesystem::exists("/usr/bin/setxkbmap")) GTEST_SKIP() << "setxkbmap is not installed";
    typeText(u"y");
    fence();
    std::string command = "setxkbmap -display " + xvfb_->display() + " de";
    ASSERT_EQ(std::system(command.c_str()), 0);
    size_t from = printer_->lineCount();
    typeText(u"y@\u00e9");
    fence();
    EXPECT_EQ(typedText(from), "y@\u00e9");
    auto keys = events("key", from);
    auto keysym = [&](const char* name) {
        return std::count_if(keys.begin(), keys.end(), [&](const json& k) { return k["keysym"] == name; });
    };
    EXPECT_EQ(keysym("ISO_Level3_Shift"), 1) << "@ goes through AltGr";
    EXPECT_EQ(keysym("dead_acute"), 1) << "é goes through a dead key";

    // Raw keys go by position: the US keyboard's Z key types y in the German layout.
    size_t raw = printer_->lineCount();
    send(keyboardBytes(kKeyboardEventKeyCode, 1, 6));
    fence();
    EXPECT_EQ(typedText(raw), "y");
}

TEST_F(X11Input, SelectionAndPasteboardCommandsReachTheClientAsControlShortcuts) {
    send(keyboardBytes(kKeyboardEventSelection, 1, 5));
    send(keyboardBytes(kKeyboardEventPasteboard, 1, 2));
    send(keyboardBytes(kKeyboardEventPasteboard, 1, 3));
    fence();
    std::vector<std::string> shortcuts;
    for (const auto& k : events("key"))
        if (k["control"] == true && k["keysym"] != "Control_L") shortcuts.push_back(k["keysym"]);
    EXPECT_EQ(shortcuts, (std::vector<std::string>{"a", "c", "v"}));
}

TEST_F(X11Input, WithAnInputMethodServerTextIsPastedAndTheClipboardComesBack) {
    auto earlier = X11Clipboard::open();
    ASSERT_TRUE(earlier);
    earlier->own({{"UTF8_STRING", {'e', 'a', 'r', 'l', 'i', 'e', 'r'}}});
    test::StandinProcess server({KL_XIM_STANDIN, "--xim-server", "standin"});
    ASSERT_TRUE(server.waitForEvent("ready", 10s));

    send(keyboardBytes(kKeyboardEventCharacter, 0, u'\u00e9'));
    auto paste = printer_->waitForEvent("paste", 10s);
    ASSERT_TRUE(paste);
    EXPECT_EQ((*paste)["text"], "\u00e9");
    EXPECT_EQ(typedText(), "") << "no key typed the text";

    auto reader = X11Clipboard::open();
    auto earlierBack = [&] {
        auto contents = reader->read();
        return contents.size() == 1 && contents[0].second == Bytes{'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    };
    EXPECT_FALSE(earlierBack());
    auto pasted = Clock::now();
    EXPECT_TRUE(loop_.runUntil(earlierBack, 5s));
    EXPECT_GE(Clock::now() - pasted, 50ms);

    // Without the server, text is typed again.
    server.stop();
    typeText(u"ok");
    fence();
    EXPECT_EQ(typedText(), "ok");
}

TEST_F(X11Input, AWindowRequestActivatesTheWindow) {
    X11Connection& c = *X11Connection::forThisThread();
    EXPECT_EQ(x11ActiveWindow(c), 0ul);
    send(windowRequestBytes(0x7fffffff00000000ull | uint32_t(::getpid() + 1000000), window_));  // no such process
    EXPECT_EQ(x11ActiveWindow(c), 0ul);
    send(windowRequestBytes(uint64_t(printer_->pid()), window_));
    EXPECT_EQ(x11ActiveWindow(c), window_);
}

TEST_F(X11Input, MenuRequestsPressItemsOrSendTheLowerMenu) {
    std::vector<uint8_t> request = {8, 1, 0, 0, 0, 0, 0, 0, 0, 42, 0, 0, 0, 0, 0, 0, 0};
    menus_->outcome = MenuPresser::Pressed;
    send(request);
    menus_->outcome = MenuPresser::LowerMenu;
    send(request);
    EXPECT_EQ(menus_->requests, (std::vector<std::pair<uint64_t, uint64_t>>{{1, 42}, {1, 42}}));
    EXPECT_EQ(sent_, std::vector<Bytes>{Bytes({9, 9, 9})});
}

TEST_F(X11Input, DatagramsNotFromTheViewerOrTooShortMoveNothing) {
    send(viewer::mouseBytes(0, 100, 100));  // fixes the viewer's port
    EXPECT_TRUE(test::waitFor([&] { return pointer() == std::pair{50, 50}; }, 5s));
    size_t from = printer_->lineCount();
    send(viewer::mouseBytes(1, 800, 800), ipv4("192.0.2.7", 5001));
    send(viewer::mouseBytes(1, 800, 800), ipv4("192.0.2.8", 5000));
    send({6, 1, 0x20, 0x03, 0x20});  // one byte short of a mouse datagram
    send(keyboardBytes(kKeyboardEventCharacter, 0, u'x'), ipv4("192.0.2.7", 5001));
    EXPECT_EQ(pointer(), (std::pair{50, 50}));
    fence();
    EXPECT_TRUE(events("button", from).empty());
    EXPECT_TRUE(events("key", from).empty());
    EXPECT_TRUE(memoryLogContains("not from the viewer's input port"));
    EXPECT_TRUE(memoryLogContains("not from the viewer's address"));
    EXPECT_TRUE(memoryLogContains("Received a short message from the client.  Type = 6"));
}

TEST_F(X11Input, TheDebuggingSwitchStopsKeyEvents) {
    storePreference(kDebuggingDontSendKBEvents, true);
    typeText(u"no");
    send(keyboardBytes(kKeyboardEventKeyCode, 1, 0));
    size_t afterSuppressed = fence();
    EXPECT_TRUE(events("key").empty());
    storePreference(kDebuggingDontSendKBEvents, false);
    typeText(u"yes");
    fence();
    EXPECT_EQ(typedText(afterSuppressed), "yes");
}

TEST(KLTEventTapManager, ListsRegisteredInputMethodServersWithTheirPrograms) {
    KL_START_XVFB(xvfb, 320, 240);
    auto& manager = KLTEventTapManager::sharedManager();
    EXPECT_FALSE(manager.processInfoForEventTaps());
    EXPECT_FALSE(manager.processInfoForEnabledKeyboardEventTaps());
    test::StandinProcess server({KL_XIM_STANDIN, "--xim-server", "standin"});
    ASSERT_TRUE(server.waitForEvent("ready", 10s));
    auto all = manager.processInfoForEventTaps();
    auto enabled = manager.processInfoForEnabledKeyboardEventTaps();
    ASSERT_TRUE(all && enabled);
    ASSERT_EQ(all->size(), 1u);
    ASSERT_EQ(enabled->size(), 1u);
    const Value& tap = all->front();
    EXPECT_EQ(tap.intOr(kEventTapProcessInfoTappingProcessKey, 0), server.pid());
    EXPECT_EQ(tap.get(kEventTapProcessInfoEnabledKey) ? tap.get(kEventTapProcessInfoEnabledKey)->asBool() : std::nullopt,
              std::optional<bool>(true));
    EXPECT_EQ(enabled->front().get(kEventTapProcessInfoEnabledKey), nullptr);
    const Value* info = tap.get(kEventTapProcessInfoTappingProcessExtendedInfoKey);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->stringOr("CFBundleIdentifier", ""), "ibus-standin");
    // A server that went away leaves a stale entry behind, which is not listed.
    server.stop();
    EXPECT_FALSE(manager.processInfoForEventTaps());
}

}  // namespace
}  // namespace kl
