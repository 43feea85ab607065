// kl_qt_menu_app: a main window titled "Menu test" whose menus are
//   File: Open (Ctrl+O), Recent > [a.txt, b.txt], Quit (Ctrl+Q)
//   Edit: Undo (disabled), Word wrap (checkable, checked)
// It prints {"ready":true,"pid":PID,"window":ID} once shown, {"triggered":"TEXT"} for each
// action that runs, and leaves when its standard input closes or on Quit.
#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

namespace {

void say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

QAction* add(QMenu* menu, const QString& text, const QKeySequence& keys = {}) {
    QAction* action = menu->addAction(text);
    if (!keys.isEmpty()) action->setShortcut(keys);
    QObject::connect(action, &QAction::triggered, [text] { say(QString("{\"triggered\":\"%1\"}").arg(text)); });
    return action;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    app.setApplicationName("kl_qt_menu_app");
    QPixmap iconPixmap(64, 64);
    iconPixmap.fill(QColor(0x20, 0xa0, 0x40));
    app.setWindowIcon(QIcon(iconPixmap));

    QMainWindow window;
    window.setWindowTitle("Menu test");
    window.resize(400, 300);
    QMenu* file = window.menuBar()->addMenu("File");
    add(file, "Open", QKeySequence("Ctrl+O"));
    QMenu* recent = file->addMenu("Recent");
    add(recent, "a.txt");
    add(recent, "b.txt");
    QAction* quit = add(file, "Quit", QKeySequence("Ctrl+Q"));
    QObject::connect(quit, &QAction::triggered, &app, &QApplication::quit);
    QMenu* edit = window.menuBar()->addMenu("Edit");
    add(edit, "Undo")->setEnabled(false);
    QAction* wrap = add(edit, "Word wrap");
    wrap->setCheckable(true);
    wrap->setChecked(true);
    window.show();

    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c;
        if (::read(0, &c, 1) <= 0) app.quit();
    });
    QTimer::singleShot(0, [&] {
        say(QString("{\"ready\":true,\"pid\":%1,\"window\":%2}").arg(getpid()).arg(window.winId()));
    });
    return app.exec();
}
