// The UI probe of test builds: a local socket server on the GUI thread through which a test
// drives the running app. One JSON object per line in each direction:
//   {"op":"tree"}                         -> {"ok":true,"windows":[...]}   (KLTWindowTrees)
//   {"op":"click","name":N}               clicks the widget of accessible name N (else chooses
//                                         the menu item of object name N)
//   {"op":"click","name":N,"text":T}      clicks the button titled T inside it
//   {"op":"leave","name":N}               tells it the pointer left it
//   {"op":"type","name":N,"text":T}       types T into it ("replace":true: in place of a field's text)
//   {"op":"grab","name":N,"path":P}       saves a PNG of it (of its window when N is absent)
//   {"op":"status"}                       the menulet window's state and the tray icon's geometry
//   {"op":"startAtLogin","value":B}       turns starting at login on or off, as the app's menu does
// A request that is not such an object, or a line longer than kMaxLine, is refused; an overlong
// line also closes the connection.
#pragma once

#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

namespace kl {

class KLTUIProbe {
public:
    static constexpr qsizetype kMaxLine = 64 * 1024;

    KLTUIProbe();
    ~KLTUIProbe();
    // Listens at path (a stale socket there is replaced); false when it cannot.
    bool listen(const QString& path);
    // The reply to one request line (exposed for tests).
    static QByteArray handle(const QByteArray& line);
    // What "startAtLogin" calls (the app delegate's changeStartAtLoginState); refused while unset.
    static void setStartAtLogin(std::function<void(bool)> change);

private:
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace kl
