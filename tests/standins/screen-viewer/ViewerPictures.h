// Decoders of the picture payloads the viewer receives.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "ViewerFramebuffer.h"

namespace viewer {

std::optional<Picture> decodeJpeg(std::span<const uint8_t> file);
std::optional<Picture> decodePng(std::span<const uint8_t> file);
// A PNG's alpha channel too (BGRA), for cursor images.
std::optional<Picture> decodePngWithAlpha(std::span<const uint8_t> file);
// Writes the picture as an RGB PNG file (an empty picture cannot be written); false on failure.
bool writePng(const Picture& picture, const std::string& path);

}  // namespace viewer
