#pragma once
// The command line's JSON answers: a small value type whose objects keep
// their keys in the order they were set, so that every answer reads in the
// order the manual documents it.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class JsonValue {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    JsonValue() = default;
    JsonValue(bool value) : m_kind(Kind::Bool), m_bool(value) {}
    JsonValue(int value) : m_kind(Kind::Number), m_number(value) {}
    JsonValue(long value) : m_kind(Kind::Number), m_number(value) {}
    JsonValue(long long value) : m_kind(Kind::Number), m_number(value) {}
    JsonValue(unsigned value) : m_kind(Kind::Number), m_number(value) {}
    JsonValue(unsigned long value) : m_kind(Kind::Number), m_number(static_cast<int64_t>(value)) {}
    JsonValue(const char* text) : m_kind(Kind::String), m_text(text ? text : "") {}
    JsonValue(std::string text) : m_kind(Kind::String), m_text(std::move(text)) {}
    // UTF-16 text, stored as UTF-8.
    JsonValue(const std::u16string& text);

    static JsonValue Array() { return JsonValue(Kind::Array); }
    static JsonValue Object() { return JsonValue(Kind::Object); }

    // An object's member: replaced in place when the key is there already.
    JsonValue& Set(const std::string& key, JsonValue value);
    JsonValue& Push(JsonValue value);

    Kind GetKind() const { return m_kind; }
    // Two-space indentation, one member per line.
    std::string Dump() const;

private:
    explicit JsonValue(Kind kind) : m_kind(kind) {}
    void DumpTo(std::string& out, int depth) const;

    Kind m_kind = Kind::Null;
    bool m_bool = false;
    int64_t m_number = 0;
    std::string m_text;
    std::vector<JsonValue> m_items;
    std::vector<std::pair<std::string, JsonValue>> m_members;
};

// `text` as a JSON string literal, quotes included.
std::string JsonQuote(const std::string& text);
