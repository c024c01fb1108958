#pragma once
// Type-safe printf arguments for the log.
//
// The log's formats are Windows-style printf formats: in a narrow format
// "%S" inserts a UTF-16 string and "%s" a narrow one; in a UTF-16 format it
// is the other way round. glibc reads "%S" differently, so formats never
// reach the C library's printf as they are: each argument is captured with
// its type and FormatLogText walks the format itself.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

class LogArg {
public:
    enum class Type { Signed, Unsigned, Double, Narrow, Wide, Pointer };

    template <class T>
        requires(std::is_integral_v<T> && std::is_signed_v<T>)
    LogArg(T value) : m_type(Type::Signed), m_signed(value) {}
    template <class T>
        requires(std::is_integral_v<T> && !std::is_signed_v<T> && !std::is_same_v<T, bool>)
    LogArg(T value) : m_type(Type::Unsigned), m_unsigned(value) {}
    LogArg(bool value) : m_type(Type::Signed), m_signed(value ? 1 : 0) {}
    template <class E>
        requires std::is_enum_v<E>
    LogArg(E value) : LogArg(static_cast<std::underlying_type_t<E>>(value)) {}
    LogArg(double value) : m_type(Type::Double), m_double(value) {}

    // A null C string prints as "(null)", as the C library's printf does.
    LogArg(const char* text) : m_type(Type::Narrow), m_narrow(text ? text : "(null)") {}
    LogArg(char* text) : LogArg(static_cast<const char*>(text)) {}
    LogArg(const std::string& text) : m_type(Type::Narrow), m_narrow(text) {}
    LogArg(std::string_view text) : m_type(Type::Narrow), m_narrow(text) {}
    LogArg(const char16_t* text) : m_type(Type::Wide), m_wide(text ? text : u"(null)") {}
    LogArg(char16_t* text) : LogArg(static_cast<const char16_t*>(text)) {}
    LogArg(const std::u16string& text) : m_type(Type::Wide), m_wide(text) {}
    LogArg(std::u16string_view text) : m_type(Type::Wide), m_wide(text) {}
    LogArg(const void* pointer) : m_type(Type::Pointer), m_pointer(pointer) {}

    Type GetType() const { return m_type; }
    long long AsSigned() const;
    unsigned long long AsUnsigned() const;
    double AsDouble() const;
    std::string_view Narrow() const { return m_narrow; }
    std::u16string_view Wide() const { return m_wide; }
    const void* Pointer() const { return m_pointer; }

private:
    Type m_type;
    long long m_signed = 0;
    unsigned long long m_unsigned = 0;
    double m_double = 0;
    std::string_view m_narrow;
    std::u16string_view m_wide;
    const void* m_pointer = nullptr;
};

// The largest formatted message, in characters, that the log accepts; a
// longer one is dropped whole rather than cut.
inline constexpr std::size_t LOG_MAX_FORMATTED = 0xBFFF;

// Formats a narrow format: "%s" narrow text, "%S" UTF-16 text converted to the
// locale's charset. Returns false (and leaves out empty) when the result
// would be longer than LOG_MAX_FORMATTED characters.
bool FormatLogText(const char* format, const LogArg* args, std::size_t count, std::string& out);

// Formats a UTF-16 format: "%s" UTF-16 text, "%S" narrow text from the
// locale's charset. The limit counts UTF-16 units.
bool FormatLogTextW(const char16_t* format, const LogArg* args, std::size_t count,
                    std::u16string& out);
