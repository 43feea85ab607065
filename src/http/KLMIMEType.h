// Media types by file extension, for file parts whose type the caller leaves to us.
#pragma once

#include <string>
#include <string_view>

namespace kl {

// The preferred media type of a path extension ("png" gives "image/png"), compared without regard
// to case; "application/octet-stream" when none is known. Read from the system's /etc/mime.types,
// with a few common types built in for systems without it.
std::string KLMIMETypeForPathExtension(std::string_view extension);

}  // namespace kl
