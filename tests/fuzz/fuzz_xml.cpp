// libFuzzer target over XML replies: the document reader (text of every node, attributes, writing
// it back) and the event parser over the same bytes.
#include <cstdint>

#include "http/KLXMLDocument.h"
#include "http/KLXMLParser.h"

namespace {

class CountingDelegate : public kl::KLXMLParserDelegate {
public:
    void didStartElement(kl::KLXMLParser&, const std::string& name, const std::string&, const Attributes& attributes) override {
        bytes += name.size();
        for (const auto& [key, value] : attributes) bytes += key.size() + value.size();
    }
    void foundCharacters(kl::KLXMLParser&, const std::string& characters) override { bytes += characters.size(); }
    size_t bytes = 0;
};

void visit(const kl::KLXMLNode& node, int depth) {
    (void)node.name();
    (void)node.attribute("a");
    if (depth > 64) return;
    for (const auto& child : node.children()) visit(child, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kl::Bytes bytes(data, data + size);
    if (auto document = kl::KLXMLDocument::documentWithData(bytes)) {
        if (auto root = (*document)->rootElement()) {
            // Everything a reader can pull out stays within a small multiple of the input.
            if (root->stringValue().size() > 64 * 1024 + 8 * size) __builtin_trap();
            visit(*root, 0);
        }
        (void)(*document)->XMLString();
    }
    auto delegate = std::make_shared<CountingDelegate>();
    kl::KLXMLParser parser(std::move(bytes));
    parser.setDelegate(delegate);
    parser.parse();
    return 0;
}
