#include "tests/comm/StringTableFile.h"

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "common/ASTCommonFunc.h"

namespace commtest {
namespace {

std::string Decoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t end = text[i] == '&' ? text.find(';', i) : std::string::npos;
        if (end == std::string::npos) {
            out += text[i];
            continue;
        }
        const std::string name = text.substr(i + 1, end - i - 1);
        if (name == "amp")
            out += '&';
        else if (name == "lt")
            out += '<';
        else if (name == "gt")
            out += '>';
        else if (name == "quot")
            out += '"';
        else if (name == "apos")
            out += '\'';
        else if (!name.empty() && name[0] == '#') {
            const unsigned long code = name.size() > 1 && name[1] == 'x'
                                           ? std::stoul(name.substr(2), nullptr, 16)
                                           : std::stoul(name.substr(1));
            out += ToNarrowString(std::u16string(1, static_cast<char16_t>(code)), CP_UTF8);
        } else {
            out += text.substr(i, end - i + 1);
        }
        i = end;
    }
    return out;
}

} // namespace

DiagnosisStrings LoadStringTableFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string xml = buffer.str();
    auto table = std::make_shared<std::map<unsigned, std::u16string>>();
    constexpr char kOpen[] = "<string id=\"";
    for (std::size_t at = xml.find(kOpen); at != std::string::npos; at = xml.find(kOpen, at)) {
        at += sizeof kOpen - 1;
        const unsigned id = static_cast<unsigned>(std::stoul(xml.substr(at)));
        const std::size_t from = xml.find('>', at) + 1;
        const std::size_t to = xml.find("</string>", from);
        if (to == std::string::npos)
            break;
        (*table)[id] = ToWideString(Decoded(xml.substr(from, to - from)), CP_UTF8);
        at = to;
    }
    return [table](unsigned id) {
        const auto found = table->find(id);
        return found == table->end() ? std::u16string() : found->second;
    };
}

const DiagnosisStrings& EnglishStrings() {
    static const DiagnosisStrings strings =
        LoadStringTableFile(std::filesystem::path(OPAL_SOURCE_DIR) / "res" / "strings.xml");
    return strings;
}

const DiagnosisStrings& JapaneseStrings() {
    static const DiagnosisStrings strings =
        LoadStringTableFile(std::filesystem::path(OPAL_SOURCE_DIR) / "lang" / "ja" / "strings.xml");
    return strings;
}

} // namespace commtest
