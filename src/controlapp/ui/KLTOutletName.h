// Widgets built in code stand for the outlets of an interface file: an outlet's name is both its
// objectName and its accessible name, so tests and the UI probe find it by that name.
#pragma once

#include <QWidget>

namespace kl {

template <class W>
W* outlet(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setAccessibleName(QString::fromLatin1(name));
    return widget;
}

}  // namespace kl
