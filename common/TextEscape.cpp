#include "common/TextEscape.h"

#include <cstdint>

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`, with
// its code point, or 0 when the bytes there are not one.
std::size_t Utf8Sequence(std::string_view text, char32_t& codePoint) {
    const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(0);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1Fu;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0Fu;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07u;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u)
            return 0;
        codePoint = (codePoint << 6) | (byte(i) & 0x3Fu);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

void AppendEscaped(std::string& out, uint32_t value) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[(value >> 4) & 0xFu];
    out += kHex[value & 0xFu];
}

bool IsControl(char32_t c) {
    return (c < 0x20 && c != '\t' && c != '\n') || c == 0x7F || (c >= 0x80 && c <= 0x9F);
}

template <typename Sink> void Walk(std::string_view text, Sink&& sink) {
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<uint8_t>(text[at]);
        if (lead < 0x80) {
            // CR LF is a line end (the log's); a lone CR could overwrite a
            // terminal's line.
            const bool lineEnd = lead == '\r' && at + 1 < text.size() && text[at + 1] == '\n';
            sink(text.substr(at, 1), !lineEnd && IsControl(lead), lead);
            ++at;
            continue;
        }
        char32_t codePoint = 0;
        const std::size_t length = Utf8Sequence(text.substr(at), codePoint);
        if (length == 0) {
            sink(text.substr(at, 1), true, lead);
            ++at;
        } else {
            sink(text.substr(at, length), IsControl(codePoint), codePoint);
            at += length;
        }
    }
}

} // namespace

std::string EscapeControlChars(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    Walk(text, [&](std::string_view piece, bool control, char32_t value) {
        if (control)
            AppendEscaped(out, static_cast<uint32_t>(value));
        else
            out += piece;
    });
    return out;
}

bool HasControlChars(std::string_view text) {
    bool found = false;
    Walk(text, [&](std::string_view, bool control, char32_t) { found = found || control; });
    return found;
}
