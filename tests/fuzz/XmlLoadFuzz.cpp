// Any bytes as an XML document: the load either gives a document, which then
// serializes, or throws the document layer's exception. Nothing else may
// happen: no crash, no other exception, no file or network access.

#include <cstddef>
#include <cstdint>
#include <string>

#include "xml/CXMLAPI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The memory source reads a NUL-terminated text, as every caller passes
    // one; a NUL inside the input ends the document there.
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        CXMLObject xml(text.c_str(), XML_SOURCE_MEMORY, false, 1, "UTF-8", 1, 1, false);
        const std::string bytes = xml.SerializeNode(xml.GetDocument());
        // The saved text goes through the loader once more.
        if (!bytes.empty()) {
            CXMLObject again(bytes.c_str(), XML_SOURCE_MEMORY, false, 1, "UTF-8", 1, 1, false);
            again.SerializeNode(again.GetDocument());
        }
    } catch (const CXMLObjectException&) {
    }
    return 0;
}
