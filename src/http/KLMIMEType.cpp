#include "http/KLMIMEType.h"

#include <fstream>
#include <sstream>
#include <unordered_map>

#include "http/KLURLRequest.h"

namespace kl {
namespace {

using ExtensionMap = std::unordered_map<std::string, std::string>;

ExtensionMap loadTable() {
    ExtensionMap table = {
        {"txt", "text/plain"},        {"html", "text/html"},        {"htm", "text/html"},
        {"css", "text/css"},          {"csv", "text/csv"},          {"xml", "application/xml"},
        {"json", "application/json"}, {"pdf", "application/pdf"},  {"zip", "application/zip"},
        {"gz", "application/gzip"},   {"png", "image/png"},         {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},       {"gif", "image/gif"},         {"tiff", "image/tiff"},
        {"mp3", "audio/mpeg"},        {"mp4", "video/mp4"},
    };
    // Lines of "type ext ext ..."; the first type named for an extension wins.
    std::ifstream file("/etc/mime.types");
    ExtensionMap fromSystem;
    std::string line;
    while (std::getline(file, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string type, extension;
        if (!(words >> type)) continue;
        while (words >> extension) fromSystem.emplace(lowercased(extension), type);
    }
    for (auto& [extension, type] : fromSystem) table[extension] = type;
    return table;
}

}  // namespace

std::string KLMIMETypeForPathExtension(std::string_view extension) {
    static const ExtensionMap table = loadTable();
    auto found = table.find(lowercased(extension));
    return found != table.end() ? found->second : "application/octet-stream";
}

}  // namespace kl
