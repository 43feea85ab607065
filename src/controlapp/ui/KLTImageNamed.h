// The images the control app names ("statusmenu-icon", "warning-mini", "settings_btn", ...),
// drawn in code. An unknown name gives a null pixmap.
#pragma once

#include <QPixmap>

#include <string>

namespace kl {

QPixmap KLTImageNamed(const std::string& name);

}  // namespace kl
