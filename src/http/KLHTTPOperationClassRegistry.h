// The process's table of HTTP operation classes by name: a client keeps only class names, as the
// classes it registered, and finds the classes here.
#pragma once

#include <string>

#include "http/KLHTTPRequestOperation.h"

namespace kl {

void KLRegisterHTTPOperationClassName(const KLHTTPOperationClass& operationClass);
// The class of that name, or nullptr when none is known.
const KLHTTPOperationClass* KLHTTPOperationClassFromString(const std::string& name);

}  // namespace kl
