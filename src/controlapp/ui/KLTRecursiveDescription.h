// A dump of a widget tree for debugging: one line per widget, "<Class: address; frame = {{x, y},
// {w, h}}>", each child on its own line after the prefix "    |" repeated (depth + 1) times and a
// blank.
#pragma once

#include <string>

class QWidget;

namespace kl {

std::string recursiveDescription(const QWidget* view);

}  // namespace kl
