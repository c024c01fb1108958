#include "ctl/CtlJson.h"

#include <cstdio>

#include "platform/system/Utf.h"

JsonValue::JsonValue(const std::u16string& text) : m_kind(Kind::String) {
    if (!Utf16ToUtf8(text, m_text))
        m_text.clear();
}

JsonValue& JsonValue::Set(const std::string& key, JsonValue value) {
    for (auto& member : m_members) {
        if (member.first == key) {
            member.second = std::move(value);
            return *this;
        }
    }
    m_members.emplace_back(key, std::move(value));
    return *this;
}

JsonValue& JsonValue::Push(JsonValue value) {
    m_items.push_back(std::move(value));
    return *this;
}

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
    return out;
}

std::string JsonValue::Dump() const {
    std::string out;
    DumpTo(out, 0);
    out.push_back('\n');
    return out;
}

void JsonValue::DumpTo(std::string& out, int depth) const {
    const std::string indent(static_cast<std::size_t>(2 * (depth + 1)), ' ');
    const std::string closing(static_cast<std::size_t>(2 * depth), ' ');
    switch (m_kind) {
    case Kind::Null:
        out += "null";
        return;
    case Kind::Bool:
        out += m_bool ? "true" : "false";
        return;
    case Kind::Number:
        out += std::to_string(m_number);
        return;
    case Kind::String:
        out += JsonQuote(m_text);
        return;
    case Kind::Array:
        if (m_items.empty()) {
            out += "[]";
            return;
        }
        out += "[\n";
        for (std::size_t i = 0; i < m_items.size(); ++i) {
            out += indent;
            m_items[i].DumpTo(out, depth + 1);
            out += i + 1 < m_items.size() ? ",\n" : "\n";
        }
        out += closing + "]";
        return;
    case Kind::Object:
        if (m_members.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        for (std::size_t i = 0; i < m_members.size(); ++i) {
            out += indent + JsonQuote(m_members[i].first) + ": ";
            m_members[i].second.DumpTo(out, depth + 1);
            out += i + 1 < m_members.size() ? ",\n" : "\n";
        }
        out += closing + "}";
        return;
    }
}
