// The desktop's clipboard as the keyboard injection uses it to paste text: what it holds now, by
// type, can be saved and put back later.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Value.h"

namespace kl {

// Each type the clipboard offered with its data; types that gave no data are left out.
using PasteboardContents = std::vector<std::pair<std::string, Bytes>>;

class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    virtual PasteboardContents save() = 0;
    // Clears the clipboard and makes it hold text alone.
    virtual void writeText(const std::string& text) = 0;
    // Clears the clipboard and writes back every type of contents (empty: leaves it empty).
    virtual void restore(const PasteboardContents& contents) = 0;
};

}  // namespace kl
