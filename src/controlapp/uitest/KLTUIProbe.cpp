#include "controlapp/uitest/KLTUIProbe.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QMouseEvent>
#include <QSystemTrayIcon>

#include "controlapp/ui/KLTMenuletWindow.h"
#include "controlapp/ui/KLTMenuletWindowController.h"
#include "controlapp/ui/KLTViewManager.h"
#include "controlapp/uitest/KLTWidgetTree.h"
#include "foundation/KLTLogging.h"

namespace kl {

namespace {

QJsonObject failure(const QString& why) { return {{"ok", false}, {"error", why}}; }

std::function<void(bool)>& startAtLoginChange() {
    static std::function<void(bool)> change;
    return change;
}

void clickWidget(QWidget* widget) {
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->click();
        return;
    }
    const QPointF local = QRectF(widget->rect()).center();
    const QPointF global = widget->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    QCoreApplication::sendEvent(widget, &release);
}

// Menu items are actions, not widgets: they are chosen by their object name.
QAction* findMenuItem(const QString& name) {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* menu = qobject_cast<QMenu*>(window))
            for (QAction* item : menu->actions())
                if (item->objectName() == name) return item;
    return nullptr;
}

void typeInto(QWidget* widget, const QString& text, bool replace) {
    widget->setFocus();
    if (auto* field = qobject_cast<QLineEdit*>(widget)) {
        if (replace) field->selectAll();
        field->insert(text);
        return;
    }
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &press);
        QCoreApplication::sendEvent(widget, &release);
    }
}

QAbstractButton* buttonTitled(QWidget* within, const QString& title) {
    for (auto* button : within->findChildren<QAbstractButton*>())
        if (button->text().remove('&') == title) return button;
    return nullptr;
}

QJsonObject status() {
    auto& manager = KLTViewManager::sharedInstance();
    QJsonObject reply{{"ok", true},
                      {"menuletDisplayed", manager.menuletDisplayed()},
                      {"statusImage", QString::fromStdString(manager.statusItemImageName())}};
    if (QSystemTrayIcon* tray = manager.statusItem()) {
        const QRect g = tray->geometry();
        reply["trayGeometry"] = QJsonArray{g.x(), g.y(), g.width(), g.height()};
    }
    const QRect w = manager.menuletWindowController().window()->frameGeometry();
    reply["windowGeometry"] = QJsonArray{w.x(), w.y(), w.width(), w.height()};
    return reply;
}

QJsonObject perform(const QJsonObject& request) {
    const QString op = request["op"].toString();
    if (op == "tree") return {{"ok", true}, {"windows", KLTWindowTrees()}};
    if (op == "status") return status();
    if (op == "startAtLogin") {
        if (!request["value"].isBool()) return failure("startAtLogin needs a boolean value");
        if (!startAtLoginChange()) return failure("no start-at-login setting in this app");
        startAtLoginChange()(request["value"].toBool());
        return {{"ok", true}};
    }
    const QString name = request["name"].toString();
    QWidget* widget = name.isEmpty() ? nullptr : KLTFindWidgetByAccessibleName(name);
    if (op == "grab") {
        const QString path = request["path"].toString();
        if (!path.startsWith('/')) return failure("grab needs an absolute path");
        if (!name.isEmpty() && !widget) return failure("no widget named " + name);
        if (!widget) widget = KLTViewManager::sharedInstance().menuletWindowController().window();
        if (!widget->grab().save(path, "PNG")) return failure("could not write " + path);
        return {{"ok", true}};
    }
    if (op != "click" && op != "type" && op != "leave") return failure("unknown op");
    if (QAction* item = widget || op != "click" || name.isEmpty() ? nullptr : findMenuItem(name)) {
        if (!item->isEnabled()) return failure(name + " is disabled");
        item->trigger();
        return {{"ok", true}};
    }
    if (!widget) return failure("no widget named " + name);
    if (op == "leave") {
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(widget, &leave);
        return {{"ok", true}};
    }
    if (op == "click" && request.contains("text")) {
        // A button without a name of its own (an alert's standard buttons), by its title.
        widget = buttonTitled(widget, request["text"].toString());
        if (!widget) return failure("no button titled " + request["text"].toString() + " in " + name);
    }
    if (!widget->isEnabled()) return failure(name + " is disabled");
    if (op == "click") clickWidget(widget);
    else typeInto(widget, request["text"].toString(), request["replace"].toBool());
    return {{"ok", true}};
}

}  // namespace

KLTUIProbe::KLTUIProbe() : server_(std::make_unique<QLocalServer>()) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            // A bounded buffer: a line that fills it without ending is refused.
            socket->setReadBufferSize(2 * kMaxLine);
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] {
                while (socket->canReadLine() || socket->bytesAvailable() > kMaxLine) {
                    const QByteArray line = socket->canReadLine() ? socket->readLine() : socket->read(kMaxLine + 1);
                    socket->write(handle(line));
                    if (line.size() > kMaxLine) {
                        // The rest of an overlong line would pass for requests of its own.
                        socket->disconnectFromServer();
                        return;
                    }
                }
            });
        }
    });
}

KLTUIProbe::~KLTUIProbe() = default;

bool KLTUIProbe::listen(const QString& path) {
    QLocalServer::removeServer(path);
    if (server_->listen(path)) return true;
    KLLog(kKLTLoggingLevelError, "UI probe cannot listen at %s: %s", path.toUtf8().constData(),
          server_->errorString().toUtf8().constData());
    return false;
}

void KLTUIProbe::setStartAtLogin(std::function<void(bool)> change) { startAtLoginChange() = std::move(change); }

QByteArray KLTUIProbe::handle(const QByteArray& line) {
    QJsonObject reply;
    QJsonParseError error{};
    const QJsonDocument request = QJsonDocument::fromJson(line.trimmed(), &error);
    if (line.size() > kMaxLine) reply = failure("request too long");
    else if (error.error != QJsonParseError::NoError || !request.isObject()) reply = failure("not a JSON object");
    else reply = perform(request.object());
    return QJsonDocument(reply).toJson(QJsonDocument::Compact) + "\n";
}

}  // namespace kl
