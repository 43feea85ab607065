// The pasteboard of the keyboard injection on the X clipboard.
#pragma once

#include <memory>

#include "platform/x11/X11Clipboard.h"
#include "screen/input/Pasteboard.h"

namespace kl {

class X11Pasteboard : public Pasteboard {
public:
    // Null when no X server answers.
    static std::unique_ptr<X11Pasteboard> open();

    PasteboardContents save() override { return clipboard_->read(); }
    void writeText(const std::string& text) override;
    void restore(const PasteboardContents& contents) override { clipboard_->own(contents); }

private:
    explicit X11Pasteboard(std::unique_ptr<X11Clipboard> clipboard) : clipboard_(std::move(clipboard)) {}
    std::unique_ptr<X11Clipboard> clipboard_;
};

}  // namespace kl
