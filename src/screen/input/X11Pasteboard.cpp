#include "screen/input/X11Pasteboard.h"

namespace kl {

std::unique_ptr<X11Pasteboard> X11Pasteboard::open() {
    auto clipboard = X11Clipboard::open();
    if (!clipboard) return nullptr;
    return std::unique_ptr<X11Pasteboard>(new X11Pasteboard(std::move(clipboard)));
}

void X11Pasteboard::writeText(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    clipboard_->own({{"UTF8_STRING", bytes}, {"text/plain;charset=utf-8", bytes}, {"TEXT", bytes}});
}

}  // namespace kl
