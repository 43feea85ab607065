// The UI as the probe sees it: the menulet window's widget tree against golden files (no
// geometry), and the probe's socket protocol driving the running widgets.
#include <gtest/gtest.h>

#include <QEvent>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QLineEdit>
#include <QLocalSocket>
#include <QPushButton>

#include <cstdlib>

#include "RecordingAccountViewsLink.h"
#include "RecordingAppLink.h"
#include "controlapp/ui/KLTAccountDetailsViewController.h"
#include "controlapp/ui/KLTSignInViewController.h"
#include "controlapp/ui/KLTMenuletWindow.h"
#include "controlapp/ui/KLTMenuletWindowController.h"
#include "controlapp/ui/KLTViewManager.h"
#include "controlapp/uitest/KLTUIProbe.h"
#include "controlapp/uitest/KLTWidgetTree.h"
#include "platform/Executors.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

void settle() {
    mainLoop().runUntil([] { return false; }, 30ms);
}

// Compares the tree with the golden file; KL_UPDATE_GOLDEN=1 rewrites the file instead.
void expectMatchesGolden(const QJsonObject& tree, const char* name) {
    const QString path = QString::fromLatin1(KL_SOURCE_DIR "/tests/controlapp/golden/") + name;
    const QByteArray actual = QJsonDocument(tree).toJson(QJsonDocument::Indented);
    if (std::getenv("KL_UPDATE_GOLDEN")) {
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(actual);
        return;
    }
    QFile golden(path);
    ASSERT_TRUE(golden.open(QIODevice::ReadOnly)) << path.toStdString();
    EXPECT_EQ(golden.readAll().toStdString(), actual.toStdString()) << "golden file " << name;
}

class UITree : public ::testing::Test {
protected:
    void SetUp() override {
        // The program's own views, signed in as the app_window scenario is, on a display that
        // offers input injection.
        viewsLink->savedEmail = "window@example.com";
        KLTViewManager::ViewControllerMakers makers;
        makers.signIn = [this] {
            auto c = std::make_shared<KLTSignInViewController>(viewsLink);
            c->accessibilityEnabled = [] { return true; };
            return c;
        };
        makers.accountDetails = [this] {
            auto c = std::make_shared<KLTAccountDetailsViewController>(viewsLink, nullptr);
            c->accessibilityEnabled = [] { return true; };
            return c;
        };
        manager.setViewControllerMakers(std::move(makers));
        manager.setAppLink(link);
        manager.setLauncher([](const std::vector<std::string>&) {});
        manager.initializeUserInterface();
        settle();
    }
    void TearDown() override {
        manager.hideMenuletWindow();
        manager.setAppLink(std::make_shared<test::RecordingAppLink>());
        settle();
    }
    KLTMenuletWindow* window() { return manager.menuletWindowController().window(); }

    KLTViewManager& manager = KLTViewManager::sharedInstance();
    std::shared_ptr<test::RecordingAppLink> link = std::make_shared<test::RecordingAppLink>();
    std::shared_ptr<test::RecordingAccountViewsLink> viewsLink = std::make_shared<test::RecordingAccountViewsLink>();
};

TEST_F(UITree, TheMenuletWindowMatchesItsGoldenTreesSignedOutSignedInAndWithAnUpdate) {
    manager.chooseSignInView();
    settle();
    ASSERT_TRUE(window()->isVisible());
    expectMatchesGolden(KLTWidgetTree(window()), "menulet_signed_out.json");

    link->state = 1;
    manager.chooseStateAppropriateViewController();
    settle();
    // The app_window scenario compares the running app's window with this file too.
    expectMatchesGolden(KLTWidgetTree(window()), "menulet_signed_in.json");

    link->updateAvailable = true;
    manager.updateUIState();
    settle();
    expectMatchesGolden(KLTWidgetTree(window()), "menulet_update_available.json");
}

// A line-per-request client of the probe.
class ProbeClient {
public:
    explicit ProbeClient(const QString& path) { socket_.connectToServer(path); }
    bool connected() {
        return mainLoop().runUntil([&] { return socket_.state() == QLocalSocket::ConnectedState; }, 5s);
    }
    QJsonObject request(const QByteArray& line) {
        socket_.write(line + "\n");
        socket_.flush();
        mainLoop().runUntil([&] { return socket_.canReadLine(); }, 5s);
        return QJsonDocument::fromJson(socket_.readLine()).object();
    }
    QLocalSocket& socket() { return socket_; }

private:
    QLocalSocket socket_;
};

TEST_F(UITree, TheProbeDumpsClicksTypesAndGrabsByAccessibleName) {
    const auto dir = test::makeTempDir("probe");
    const QString path = QString::fromStdString((dir / "probe.sock").string());
    KLTUIProbe probe;
    ASSERT_TRUE(probe.listen(path));
    ProbeClient client(path);
    ASSERT_TRUE(client.connected());

    QJsonObject tree = client.request(R"({"op":"tree"})");
    ASSERT_TRUE(tree["ok"].toBool());
    bool found = false;
    for (const auto& w : tree["windows"].toArray()) found |= w.toObject()["objectName"] == "KLTMenuletWindow";
    EXPECT_TRUE(found);

    // A field and a button in the dynamic area, found only by their accessible names.
    auto* field = new QLineEdit(manager.menuletWindowController().dynamicView());
    field->setAccessibleName("emailField");
    auto* button = new QPushButton("Go", manager.menuletWindowController().dynamicView());
    button->setAccessibleName("goButton");
    int clicks = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++clicks; });
    field->show();
    button->show();
    EXPECT_TRUE(client.request(R"({"op":"type","name":"emailField","text":"a@b.c"})")["ok"].toBool());
    EXPECT_EQ(field->text(), "a@b.c");
    EXPECT_TRUE(client.request(R"({"op":"type","name":"emailField","text":"d"})")["ok"].toBool());
    EXPECT_EQ(field->text(), "a@b.cd");
    EXPECT_TRUE(client.request(R"({"op":"type","name":"emailField","text":"x@y.z","replace":true})")["ok"].toBool());
    EXPECT_EQ(field->text(), "x@y.z");
    EXPECT_TRUE(client.request(R"({"op":"click","name":"goButton"})")["ok"].toBool());
    EXPECT_EQ(clicks, 1);
    button->setEnabled(false);
    EXPECT_FALSE(client.request(R"({"op":"click","name":"goButton"})")["ok"].toBool());

    // An alert's unnamed button, by its title inside the named alert; a pointer leaving a row.
    struct LeaveCounter : QObject {
        int leaves = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            leaves += event->type() == QEvent::Leave;
            return false;
        }
    } counter;
    auto* alert = new QWidget(manager.menuletWindowController().dynamicView());
    alert->setAccessibleName("someAlert");
    alert->installEventFilter(&counter);
    auto* ok = new QPushButton("&OK", alert);
    int oks = 0;
    QObject::connect(ok, &QPushButton::clicked, [&] { ++oks; });
    EXPECT_TRUE(client.request(R"({"op":"click","name":"someAlert","text":"OK"})")["ok"].toBool());
    EXPECT_EQ(oks, 1);
    EXPECT_EQ(client.request(R"({"op":"click","name":"someAlert","text":"Cancel"})")["error"].toString(),
              "no button titled Cancel in someAlert");
    EXPECT_TRUE(client.request(R"({"op":"leave","name":"someAlert"})")["ok"].toBool());
    EXPECT_EQ(counter.leaves, 1);
    delete alert;

    const QString png = QString::fromStdString((dir / "window.png").string());
    EXPECT_TRUE(client.request(QByteArray(R"({"op":"grab","path":")") + png.toUtf8() + "\"}")["ok"].toBool());
    QImage image(png);
    EXPECT_EQ(image.size(), window()->size());

    QJsonObject status = client.request(R"({"op":"status"})");
    EXPECT_EQ(status["menuletDisplayed"].toBool(), manager.menuletDisplayed());
    delete field;
    delete button;
}

TEST_F(UITree, TheProbeRefusesMalformedRequestsAndClosesOnAnOverlongLine) {
    struct Case {
        const char* request;
        const char* error;
    };
    for (Case c : {Case{"not json", "not a JSON object"}, Case{"[1,2]", "not a JSON object"},
                   Case{R"({"op":"launch"})", "unknown op"},
                   Case{R"({"op":"click","name":"nowhere"})", "no widget named nowhere"},
                   Case{R"({"op":"grab","path":"relative.png"})", "grab needs an absolute path"},
                   Case{R"({"op":"startAtLogin","value":true})", "no start-at-login setting in this app"}}) {
        QJsonObject reply = QJsonDocument::fromJson(KLTUIProbe::handle(c.request)).object();
        EXPECT_FALSE(reply["ok"].toBool()) << c.request;
        EXPECT_EQ(reply["error"].toString().toStdString(), c.error) << c.request;
    }

    const QString path = QString::fromStdString((test::makeTempDir("probe") / "probe.sock").string());
    KLTUIProbe probe;
    ASSERT_TRUE(probe.listen(path));
    ProbeClient client(path);
    ASSERT_TRUE(client.connected());
    QJsonObject reply = client.request(QByteArray(KLTUIProbe::kMaxLine + 10, 'x'));
    EXPECT_EQ(reply["error"].toString(), "request too long");
    EXPECT_TRUE(mainLoop().runUntil([&] { return client.socket().state() == QLocalSocket::UnconnectedState; }, 5s));
}

TEST(UIProbe, StartAtLoginReachesTheSettingWithABooleanOnly) {
    std::vector<bool> changes;
    KLTUIProbe::setStartAtLogin([&](bool on) { changes.push_back(on); });
    auto reply = [](const char* line) { return QJsonDocument::fromJson(KLTUIProbe::handle(line)).object(); };
    EXPECT_TRUE(reply(R"({"op":"startAtLogin","value":true})")["ok"].toBool());
    EXPECT_TRUE(reply(R"({"op":"startAtLogin","value":false})")["ok"].toBool());
    EXPECT_EQ(reply(R"({"op":"startAtLogin","value":"yes"})")["error"].toString(),
              "startAtLogin needs a boolean value");
    EXPECT_FALSE(reply(R"({"op":"startAtLogin"})")["ok"].toBool());
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
    KLTUIProbe::setStartAtLogin({});
}

}  // namespace
}  // namespace kl
