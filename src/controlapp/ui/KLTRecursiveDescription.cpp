#include "controlapp/ui/KLTRecursiveDescription.h"

#include <QWidget>

#include <cstdio>

namespace kl {

namespace {

std::string line(const QWidget* view) {
    const QRect frame = view->geometry();
    std::string name = view->metaObject()->className();
    if (name.starts_with("kl::")) name.erase(0, 4);
    char text[512];
    std::snprintf(text, sizeof text, "<%s: %p; frame = {{%d, %d}, {%d, %d}}>", name.c_str(),
                  static_cast<const void*>(view), frame.x(), frame.y(), frame.width(), frame.height());
    return text;
}

void describe(const QWidget* view, int depth, std::string& out) {
    out += line(view);
    for (const QObject* child : view->children()) {
        const auto* subview = qobject_cast<const QWidget*>(child);
        if (!subview || subview->isWindow()) continue;
        out += '\n';
        for (int i = 0; i <= depth; ++i) out += "    |";
        out += ' ';
        describe(subview, depth + 1, out);
    }
}

}  // namespace

std::string recursiveDescription(const QWidget* view) {
    std::string out;
    if (view) describe(view, 0, out);
    return out;
}

}  // namespace kl
