#include "controlapp/uitest/KLTWidgetTree.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>

namespace kl {

namespace {

QString textOf(const QWidget* widget) {
    if (widget->isWindow()) return widget->windowTitle();
    if (auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
    if (auto* field = qobject_cast<const QLineEdit*>(widget)) return field->text();
    return {};
}

void collect(QWidget* widget, const QString& name, std::vector<QWidget*>& found) {
    if (widget->accessibleName() == name) found.push_back(widget);
    for (QObject* child : widget->children())
        if (auto* sub = qobject_cast<QWidget*>(child)) collect(sub, name, found);
}

}  // namespace

QJsonObject KLTWidgetTree(const QWidget* widget) {
    QJsonObject node;
    // Our classes by their own names, without the namespace.
    node["class"] = QString::fromLatin1(widget->metaObject()->className()).remove(QStringLiteral("kl::"));
    node["objectName"] = widget->objectName();
    node["accessibleName"] = widget->accessibleName();
    node["text"] = textOf(widget);
    node["visible"] = widget->isVisible();
    node["enabled"] = widget->isEnabled();
    QJsonArray children;
    for (const QObject* child : widget->children())
        if (auto* sub = qobject_cast<const QWidget*>(child)) children.append(KLTWidgetTree(sub));
    if (!children.isEmpty()) node["children"] = children;
    return node;
}

QJsonArray KLTWindowTrees() {
    QList<QWidget*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (!widget->objectName().isEmpty()) windows.append(widget);
    std::stable_sort(windows.begin(), windows.end(),
                     [](QWidget* a, QWidget* b) { return a->objectName() < b->objectName(); });
    QJsonArray trees;
    for (QWidget* window : windows) trees.append(KLTWidgetTree(window));
    return trees;
}

QWidget* KLTFindWidgetByAccessibleName(const QString& name) {
    std::vector<QWidget*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) collect(widget, name, found);
    auto visible = std::find_if(found.begin(), found.end(), [](QWidget* w) { return w->isVisible(); });
    if (visible != found.end()) return *visible;
    return found.empty() ? nullptr : found.front();
}

}  // namespace kl
