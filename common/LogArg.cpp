#include "common/LogArg.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "common/ASTCommonFunc.h"

long long LogArg::AsSigned() const {
    switch (m_type) {
    case Type::Signed:
        return m_signed;
    case Type::Unsigned:
        return static_cast<long long>(m_unsigned);
    case Type::Double:
        // Out-of-range conversions of a double are undefined; clamp instead.
        if (std::isnan(m_double))
            return 0;
        if (m_double >= 9.2233720368547758e18)
            return LLONG_MAX;
        if (m_double <= -9.2233720368547758e18)
            return LLONG_MIN;
        return static_cast<long long>(m_double);
    case Type::Pointer:
        return static_cast<long long>(reinterpret_cast<uintptr_t>(m_pointer));
    default:
        return 0;
    }
}

unsigned long long LogArg::AsUnsigned() const {
    switch (m_type) {
    case Type::Unsigned:
        return m_unsigned;
    case Type::Double:
        if (m_double >= 1.8446744073709552e19)
            return ULLONG_MAX;
        if (m_double >= 0)
            return static_cast<unsigned long long>(m_double);
        return static_cast<unsigned long long>(AsSigned());
    case Type::Pointer:
        return reinterpret_cast<uintptr_t>(m_pointer);
    default:
        return static_cast<unsigned long long>(AsSigned());
    }
}

double LogArg::AsDouble() const {
    switch (m_type) {
    case Type::Signed:
        return static_cast<double>(m_signed);
    case Type::Unsigned:
        return static_cast<double>(m_unsigned);
    case Type::Double:
        return m_double;
    case Type::Pointer:
        return static_cast<double>(reinterpret_cast<uintptr_t>(m_pointer));
    default:
        return 0;
    }
}

namespace {

// Anything wider than the limit makes the whole message too long, so larger
// widths and precisions need not be told apart (and cannot overflow).
constexpr long long kFieldCap = 0x10000;

enum class Length { None, Char, Short, Long, LongLong, Size };

struct ConversionSpec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    long long width = -1;
    long long precision = -1;
    Length length = Length::None;
    // 'h' or 'l'/'w' in front of c/s/C/S: the Windows way of naming the
    // argument's width independently of the format's own.
    bool narrowArg = false;
    bool wideArg = false;
    char conv = 0;
};

// UTF-16 code point boundaries: a surrogate pair is one step, anything else
// (an unpaired surrogate included) one unit.
std::size_t CodePointLength(std::u16string_view text, std::size_t at) {
    if (at + 1 < text.size() && text[at] >= 0xD800 && text[at] <= 0xDBFF &&
        text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF)
        return 2;
    return 1;
}

// Wide text into the locale's charset. Characters the charset cannot carry
// become '?', so one odd character never costs the whole message. At most
// `limit` bytes, never a partial character.
std::string WideToLocaleLenient(std::u16string_view text, std::size_t limit = std::string::npos) {
    std::string out;
    if (limit == std::string::npos && Utf16ToLocale(text, CP_ACP, out))
        return out;
    out.clear();
    std::string piece;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t step = CodePointLength(text, at);
        if (!Utf16ToLocale(text.substr(at, step), CP_ACP, piece))
            piece = "?";
        if (out.size() + piece.size() > limit)
            break;
        out += piece;
        at += step;
    }
    return out;
}

// Locale text into UTF-16; an undecodable byte becomes '?'.
std::u16string LocaleToWideLenient(std::string_view text) {
    std::u16string out;
    if (LocaleToUtf16(text, CP_ACP, out))
        return out;
    out.clear();
    const std::size_t longest = MB_CUR_MAX > 0 ? static_cast<std::size_t>(MB_CUR_MAX) : 1;
    std::u16string piece;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t used = 0;
        for (std::size_t len = 1; len <= longest && at + len <= text.size(); ++len) {
            if (LocaleToUtf16(text.substr(at, len), CP_ACP, piece)) {
                used = len;
                break;
            }
        }
        if (used == 0) {
            out += u'?';
            ++at;
        } else {
            out += piece;
            at += used;
        }
    }
    return out;
}

std::u16string CodePointToUtf16(unsigned long long value) {
    if (value > 0x10FFFF)
        return u"?";
    if (value < 0x10000)
        return std::u16string(1, static_cast<char16_t>(value));
    value -= 0x10000;
    return {static_cast<char16_t>(0xD800 + (value >> 10)),
            static_cast<char16_t>(0xDC00 + (value & 0x3FF))};
}

// Text of an argument in the output's character type.
std::string TextOf(const LogArg& arg, std::string*, std::size_t limit) {
    if (arg.GetType() == LogArg::Type::Wide)
        return WideToLocaleLenient(arg.Wide(), limit);
    std::string text(arg.Narrow());
    if (text.size() > limit)
        text.resize(limit);
    return text;
}

std::u16string TextOf(const LogArg& arg, std::u16string*, std::size_t limit) {
    std::u16string text = arg.GetType() == LogArg::Type::Narrow ? LocaleToWideLenient(arg.Narrow())
                                                                : std::u16string(arg.Wide());
    if (text.size() > limit) {
        // Cut before a surrogate pair rather than through it.
        std::size_t end = 0;
        while (end < text.size()) {
            const std::size_t step = CodePointLength(text, end);
            if (end + step > limit)
                break;
            end += step;
        }
        text.resize(end);
    }
    return text;
}

std::string Widen(const std::string& ascii, std::string*) {
    return ascii;
}

std::u16string Widen(const std::string& ascii, std::u16string*) {
    return std::u16string(ascii.begin(), ascii.end());
}

template <class CharT> class Formatter {
public:
    using String = std::basic_string<CharT>;

    Formatter(const LogArg* args, std::size_t count, String& out)
        : m_args(args), m_count(count), m_out(out) {}

    bool Run(const CharT* format) {
        const CharT* p = format;
        while (*p) {
            if (*p != '%') {
                const CharT* run = p;
                while (*p && *p != '%')
                    ++p;
                if (!Append(String(run, p)))
                    return false;
                continue;
            }
            const CharT* start = p++;
            ConversionSpec conversion;
            if (!ParseConversionSpec(p, conversion)) {
                // An unfinished or unknown conversion is copied as it stands.
                if (!Append(String(start, p)))
                    return false;
                continue;
            }
            if (!Convert(conversion))
                return false;
        }
        return true;
    }

private:
    const LogArg* NextArg() { return m_next < m_count ? &m_args[m_next++] : nullptr; }

    bool Append(const String& text) {
        if (m_out.size() + text.size() > LOG_MAX_FORMATTED)
            return false;
        m_out += text;
        return true;
    }

    static long long ParseNumber(const CharT*& p) {
        long long value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + (*p - '0');
            if (value > kFieldCap)
                value = kFieldCap;
            ++p;
        }
        return value;
    }

    // A '*' without its argument leaves the field as if it were not given.
    std::optional<long long> StarArgument() {
        const LogArg* arg = NextArg();
        if (!arg)
            return std::nullopt;
        return std::clamp(arg->AsSigned(), -kFieldCap, kFieldCap);
    }

    bool ParseConversionSpec(const CharT*& p, ConversionSpec& conversion) {
        for (;; ++p) {
            if (*p == '-')
                conversion.left = true;
            else if (*p == '+')
                conversion.plus = true;
            else if (*p == ' ')
                conversion.space = true;
            else if (*p == '#')
                conversion.alt = true;
            else if (*p == '0')
                conversion.zero = true;
            else
                break;
        }
        if (*p == '*') {
            ++p;
            if (const auto width = StarArgument()) {
                conversion.left = conversion.left || *width < 0;
                conversion.width = *width < 0 ? -*width : *width;
            }
        } else if (*p >= '0' && *p <= '9') {
            conversion.width = ParseNumber(p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                ++p;
                // A negative precision counts as none.
                conversion.precision = StarArgument().value_or(-1);
                if (conversion.precision < 0)
                    conversion.precision = -1;
            } else {
                conversion.precision = ParseNumber(p);
            }
        }
        for (bool more = true; more;) {
            switch (*p) {
            case 'h':
                conversion.length = conversion.length == Length::Short ? Length::Char : Length::Short;
                conversion.narrowArg = true;
                ++p;
                break;
            case 'l':
                conversion.length = conversion.length == Length::Long ? Length::LongLong : Length::Long;
                conversion.wideArg = true;
                ++p;
                break;
            case 'w':
                conversion.wideArg = true;
                ++p;
                break;
            case 'L':
            case 'q':
            case 'j':
                conversion.length = Length::LongLong;
                ++p;
                break;
            case 'z':
            case 't':
                conversion.length = Length::Size;
                ++p;
                break;
            case 'I':
                ++p;
                if (p[0] == '6' && p[1] == '4') {
                    conversion.length = Length::LongLong;
                    p += 2;
                } else if (p[0] == '3' && p[1] == '2') {
                    conversion.length = Length::Long;
                    p += 2;
                } else {
                    conversion.length = Length::Size;
                }
                break;
            default:
                more = false;
            }
        }
        if (*p == 0)
            return false;
        switch (*p) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'c':
        case 'C':
        case 's':
        case 'S':
        case 'p':
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
        case 'n':
        case '%':
            conversion.conv = static_cast<char>(*p++);
            return true;
        default:
            ++p;
            return false;
        }
    }

    bool Pad(String text, const ConversionSpec& conversion) {
        if (conversion.width > 0 && static_cast<long long>(text.size()) < conversion.width) {
            const String fill(static_cast<std::size_t>(conversion.width) - text.size(), CharT(' '));
            text = conversion.left ? text + fill : fill + text;
        }
        return Append(text);
    }

    // printf over a conversion we rebuilt ourselves: the only argument is the
    // value we pass, so no format from outside ever reaches the C library.
    template <class V> bool Printf(const ConversionSpec& conversion, const char* length, char conv, V value) {
        std::string fmt = "%";
        if (conversion.left)
            fmt += '-';
        if (conversion.plus)
            fmt += '+';
        if (conversion.space)
            fmt += ' ';
        if (conversion.alt)
            fmt += '#';
        if (conversion.zero)
            fmt += '0';
        if (conversion.width >= 0)
            fmt += std::to_string(conversion.width);
        if (conversion.precision >= 0)
            fmt += '.' + std::to_string(conversion.precision);
        fmt += length;
        fmt += conv;
        const int needed = std::snprintf(nullptr, 0, fmt.c_str(), value);
        if (needed < 0 || static_cast<std::size_t>(needed) > LOG_MAX_FORMATTED)
            return false;
        std::string text(static_cast<std::size_t>(needed) + 1, '\0');
        std::snprintf(text.data(), text.size(), fmt.c_str(), value);
        text.resize(static_cast<std::size_t>(needed));
        return Append(Widen(text, static_cast<String*>(nullptr)));
    }

    static bool IsText(const LogArg& arg) {
        return arg.GetType() == LogArg::Type::Narrow || arg.GetType() == LogArg::Type::Wide;
    }

    bool Text(const LogArg& arg, const ConversionSpec& conversion) {
        const std::size_t limit =
            conversion.precision >= 0 ? static_cast<std::size_t>(conversion.precision) : String::npos;
        return Pad(TextOf(arg, static_cast<String*>(nullptr), limit), conversion);
    }

    bool SignedValue(const LogArg& arg, const ConversionSpec& conversion) {
        if (arg.GetType() == LogArg::Type::Unsigned && conversion.length != Length::Short &&
            conversion.length != Length::Char)
            return Printf(conversion, "ll", 'u', arg.AsUnsigned());
        long long value = arg.AsSigned();
        if (conversion.length == Length::Short)
            value = static_cast<short>(value);
        else if (conversion.length == Length::Char)
            value = static_cast<signed char>(value);
        return Printf(conversion, "ll", 'd', value);
    }

    bool UnsignedValue(const LogArg& arg, const ConversionSpec& conversion) {
        unsigned long long value = arg.AsUnsigned();
        const bool negative = arg.GetType() != LogArg::Type::Unsigned && arg.AsSigned() < 0;
        if (conversion.length == Length::Short)
            value = static_cast<unsigned short>(value);
        else if (conversion.length == Length::Char)
            value = static_cast<unsigned char>(value);
        else if (negative && (conversion.length == Length::None || conversion.length == Length::Long) &&
                 arg.AsSigned() >= INT32_MIN)
            // A negative int under %x or %u shows its 32-bit pattern, as the
            // program's int arguments always did.
            value = static_cast<uint32_t>(value);
        return Printf(conversion, "ll", conversion.conv, value);
    }

    bool Character(const LogArg& arg, const ConversionSpec& conversion) {
        const unsigned long long value = arg.AsUnsigned();
        String text;
        if constexpr (sizeof(CharT) == 1) {
            const bool wide = conversion.conv == 'C' ? !conversion.narrowArg : conversion.wideArg;
            if (wide)
                text = WideToLocaleLenient(CodePointToUtf16(value));
            else
                text = String(1, static_cast<char>(value & 0xFF));
        } else {
            const bool narrow = conversion.conv == 'C' ? !conversion.wideArg : conversion.narrowArg;
            if (narrow)
                text = LocaleToWideLenient(std::string(1, static_cast<char>(value & 0xFF)));
            else
                text = CodePointToUtf16(value);
        }
        return Pad(text, conversion);
    }

    bool Pointer(const LogArg& arg, const ConversionSpec& conversion) {
        char digits[2 * sizeof(void*) + 1];
        std::snprintf(digits, sizeof digits, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                      static_cast<unsigned long long>(arg.AsUnsigned()));
        return Pad(Widen(digits, static_cast<String*>(nullptr)), conversion);
    }

    bool Convert(const ConversionSpec& conversion) {
        if (conversion.conv == '%')
            return Append(String(1, CharT('%')));
        const LogArg* arg = NextArg();
        if (!arg || conversion.conv == 'n')
            return true;
        // A text given where a number or character was asked for is shown as
        // text, and a number given for a text as a number: the message still
        // says what the caller meant.
        if (IsText(*arg) && conversion.conv != 's' && conversion.conv != 'S')
            return Text(*arg, ConversionSpec{.left = conversion.left, .width = conversion.width});
        switch (conversion.conv) {
        case 's':
        case 'S':
            if (IsText(*arg))
                return Text(*arg, conversion);
            if (arg->GetType() == LogArg::Type::Double)
                return Printf(ConversionSpec{.left = conversion.left, .width = conversion.width}, "", 'g',
                              arg->AsDouble());
            if (arg->GetType() == LogArg::Type::Pointer)
                return Pointer(*arg, conversion);
            return SignedValue(*arg, ConversionSpec{.left = conversion.left, .width = conversion.width});
        case 'd':
        case 'i':
            return SignedValue(*arg, conversion);
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            return UnsignedValue(*arg, conversion);
        case 'c':
        case 'C':
            return Character(*arg, conversion);
        case 'p':
            return Pointer(*arg, conversion);
        default:
            return Printf(conversion, "", conversion.conv, arg->AsDouble());
        }
    }

    const LogArg* m_args;
    std::size_t m_count;
    std::size_t m_next = 0;
    String& m_out;
};

template <class CharT>
bool FormatAny(const CharT* format, const LogArg* args, std::size_t count,
               std::basic_string<CharT>& out) {
    out.clear();
    if (!format)
        return false;
    Formatter<CharT> formatter(args, count, out);
    if (formatter.Run(format))
        return true;
    out.clear();
    return false;
}

} // namespace

bool FormatLogText(const char* format, const LogArg* args, std::size_t count, std::string& out) {
    return FormatAny(format, args, count, out);
}

bool FormatLogTextW(const char16_t* format, const LogArg* args, std::size_t count,
                    std::u16string& out) {
    return FormatAny(format, args, count, out);
}
