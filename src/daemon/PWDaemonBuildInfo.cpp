#include "daemon/PWDaemonBuildInfo.h"

#include "platform/ValuePlist.h"

namespace kl {

PWDaemonBuildInfo buildInfoFromInfoPlist(std::string_view infoPlist, PWDaemonBuildInfo fallback) {
    auto info = valueFromPlist(infoPlist);
    const Dictionary* dictionary = info.ok() ? info->asDictionary() : nullptr;
    if (!dictionary) return fallback;
    if (const Value* version = dictionary->find("CFBundleShortVersionString"); version && version->asString())
        fallback.version = *version->asString();
    if (const Value* revision = dictionary->find("CFBundleVersion"); revision && revision->asString())
        fallback.revision = *revision->asString();
    if (const Value* date = dictionary->find("KLTBuildDate"); date && date->asDate())
        fallback.buildDate = date->asDate()->secondsSince1970;
    return fallback;
}

}  // namespace kl
