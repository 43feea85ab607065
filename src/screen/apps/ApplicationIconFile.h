// An application's icon as the viewer gets it: one picture as an LZW TIFF with the TIFF's MD5.
// An application without an icon gets the generic one, so that an icon length of 0 on the wire
// keeps meaning "the viewer has it".
#pragma once

#include <memory>
#include <vector>

#include "screen/apps/KLTApplicationRecords.h"

namespace kl {

// From the icon's representations (trimmed to the sizes worth sending); the generic icon when
// none can be used or encoded.
std::shared_ptr<const ApplicationIcon> makeApplicationIcon(std::vector<BitmapImage> representations);
std::shared_ptr<const ApplicationIcon> genericApplicationIcon();

}  // namespace kl
