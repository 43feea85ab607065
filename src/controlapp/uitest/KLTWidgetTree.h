// The widget tree as JSON, without geometry, so that it compares across screens and styles: each
// widget's class, objectName, accessible name, text (a window's title), visibility and
// enabledness, with its child widgets in order.
#pragma once

#include <QJsonArray>
#include <QJsonObject>

class QWidget;

namespace kl {

QJsonObject KLTWidgetTree(const QWidget* widget);
// Every named top-level window of the application, ordered by name.
QJsonArray KLTWindowTrees();
// The first widget with that accessible name, visible ones first; none when there is none.
QWidget* KLTFindWidgetByAccessibleName(const QString& name);

}  // namespace kl
