#include "common/ASTCommonFunc.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <mutex>
#include <unistd.h>

#include "common/LogTracker.h"
#include "platform/system/Utf.h"

std::recursive_mutex g_configLock;

namespace {

std::mutex g_moduleDirectoryMutex;
std::optional<std::string> g_moduleDirectoryOverride;

// The charset a code page stands for, or empty for UTF-8 (the fast path).
std::string CharsetOf(unsigned codePage) {
    if (codePage == CP_UTF8)
        return {};
    const char* codeset = nl_langinfo(CODESET);
    if (!codeset || !*codeset || std::strcmp(codeset, "UTF-8") == 0 ||
        std::strcmp(codeset, "ANSI_X3.4-1968") == 0)
        return {};
    return codeset;
}

// One conversion through iconv; false on any unconvertible input.
bool IconvConvert(const char* from, const char* to, const char* data, std::size_t size,
                  std::string& out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string result;
    char* in = const_cast<char*>(data);
    std::size_t inLeft = size;
    char buffer[1024];
    bool ok = true;
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        result.append(buffer, sizeof buffer - outLeft);
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
    }
    if (ok) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
            ok = false;
        result.append(buffer, sizeof buffer - outLeft);
    }
    iconv_close(cd);
    if (ok)
        out = std::move(result);
    return ok;
}

} // namespace

bool LocaleToUtf16(std::string_view text, unsigned codePage, std::u16string& out) {
    const std::string charset = CharsetOf(codePage);
    if (charset.empty())
        return Utf8ToUtf16(text, out);
    std::string utf8;
    return IconvConvert(charset.c_str(), "UTF-8", text.data(), text.size(), utf8) &&
           Utf8ToUtf16(utf8, out);
}

bool Utf16ToLocale(std::u16string_view text, unsigned codePage, std::string& out) {
    const std::string charset = CharsetOf(codePage);
    if (charset.empty())
        return Utf16ToUtf8(text, out);
    std::string utf8;
    return Utf16ToUtf8(text, utf8) &&
           IconvConvert("UTF-8", charset.c_str(), utf8.data(), utf8.size(), out);
}

bool EnsureTrailingBackslash(std::string& path) {
    if (path.size() > 258) {
        LOG_PRINTF(LK_WARNING, "The path <%s> length is too long, [%s|%d]", path);
        return false;
    }
    if (path.empty()) {
        path = "/";
        return true;
    }
    // Judge the last character, not the last byte, so that a trail byte of a
    // multi-byte character is never taken for a separator.
    std::u16string wide;
    char16_t last = 0;
    if (LocaleToUtf16(path, CP_ACP, wide) && !wide.empty())
        last = wide.back();
    else
        last = static_cast<unsigned char>(path.back());
    if (last != u'\\' && last != u'/')
        path.push_back('/');
    return true;
}

void SetModuleDirectoryForTesting(std::optional<std::string> directory) {
    std::lock_guard lock(g_moduleDirectoryMutex);
    if (directory && (directory->empty() || directory->back() != '/'))
        directory->push_back('/');
    g_moduleDirectoryOverride = std::move(directory);
}

void SetProgramDirectory(const std::string& directory) {
    SetModuleDirectoryForTesting(directory);
}

bool GetModuleDirectory(std::string& out) {
    {
        std::lock_guard lock(g_moduleDirectoryMutex);
        if (g_moduleDirectoryOverride) {
            out = *g_moduleDirectoryOverride;
            return true;
        }
    }
    // Program paths are not cut at 260 characters here: a cut path would
    // name some other directory.
    std::string buffer(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size())
        return false;
    buffer.resize(static_cast<std::size_t>(n));
    const auto slash = buffer.rfind('/');
    if (slash == std::string::npos)
        return false;
    out = buffer.substr(0, slash + 1);
    return true;
}

bool GetModuleDirectoryW(std::u16string& out) {
    std::string narrow;
    if (!GetModuleDirectory(narrow))
        return false;
    std::u16string wide;
    if (!LocaleToUtf16(narrow, CP_ACP, wide))
        return false;
    out = std::move(wide);
    return true;
}

int32_t ParseNonNegativeInt(const char* text, bool& error) {
    error = false;
    if (!text || !*text) {
        error = true;
        return 0;
    }
    const std::size_t length = std::strlen(text);
    if (length > 10) {
        error = true;
        return 0;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            error = true;
            return 0;
        }
    }
    if (length == 10 && std::strncmp(text, "2147483648", 10) >= 0) {
        error = true;
        return INT32_MAX;
    }
    int32_t value = 0;
    for (std::size_t i = 0; i < length; ++i)
        value = value * 10 + (text[i] - '0');
    return value;
}

std::unique_ptr<char16_t[]> MultiByteToWide(const char* text, unsigned codePage) {
    if (!text)
        return nullptr;
    std::u16string wide;
    if (!LocaleToUtf16(text, codePage, wide))
        return nullptr;
    auto result = std::make_unique<char16_t[]>(wide.size() + 1);
    std::memcpy(result.get(), wide.data(), wide.size() * sizeof(char16_t));
    result[wide.size()] = u'\0';
    return result;
}

std::unique_ptr<char[]> WideToMultiByte(const char16_t* text, unsigned codePage) {
    if (!text)
        return nullptr;
    std::string narrow;
    if (!Utf16ToLocale(text, codePage, narrow))
        return nullptr;
    auto result = std::make_unique<char[]>(narrow.size() + 1);
    std::memcpy(result.get(), narrow.data(), narrow.size());
    result[narrow.size()] = '\0';
    return result;
}

std::u16string ToWideString(std::string_view text, unsigned codePage) {
    std::u16string wide;
    return LocaleToUtf16(text, codePage, wide) ? wide : std::u16string();
}

std::string ToNarrowString(std::u16string_view text, unsigned codePage) {
    std::string narrow;
    return Utf16ToLocale(text, codePage, narrow) ? narrow : std::string();
}

namespace {

// A negative source length means "up to and including the terminator", as
// the system conversions read it.
template <class Ch> std::size_t SourceLength(const Ch* source, int sourceLength) {
    if (sourceLength >= 0)
        return static_cast<std::size_t>(sourceLength);
    return std::char_traits<Ch>::length(source) + 1;
}

template <class Ch, class Str> int CopyOut(const Str& converted, Ch* target, int targetLength) {
    if (converted.size() > static_cast<std::size_t>(INT_MAX))
        return 0;
    const int needed = static_cast<int>(converted.size());
    if (targetLength == 0)
        return needed;
    if (!target || targetLength < needed)
        return 0;
    std::copy(converted.begin(), converted.end(), target);
    return needed;
}

} // namespace

int AnsiToWide(const char* source, int sourceLength, char16_t* target, int targetLength) {
    if (!source || targetLength < 0)
        return 0;
    std::u16string wide;
    if (!LocaleToUtf16(std::string_view(source, SourceLength(source, sourceLength)), CP_ACP, wide))
        return 0;
    return CopyOut(wide, target, targetLength);
}

int WideToAnsi(const char16_t* source, int sourceLength, char* target, int targetLength) {
    if (!source || targetLength < 0)
        return 0;
    std::string narrow;
    if (!Utf16ToLocale(std::u16string_view(source, SourceLength(source, sourceLength)), CP_ACP,
                       narrow))
        return 0;
    return CopyOut(narrow, target, targetLength);
}

long WideToLong(std::u16string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    // Values are 32-bit on the platform the agent's values were designed
    // on; out-of-range numbers saturate there, as they do here.
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > static_cast<long long>(INT32_MAX) + 1)
            value = static_cast<long long>(INT32_MAX) + 1;
    }
    if (negative)
        return static_cast<long>(-value);
    return static_cast<long>(value > INT32_MAX ? INT32_MAX : value);
}

long RegistryKey::Create(std::u16string_view subKey, HKEY root) {
    Close();
    RegistryKeyHandle key;
    const long result = RegCreateKey(root, subKey, key);
    if (result == ERROR_SUCCESS)
        m_key = std::move(key);
    return result;
}

long RegistryKey::Open(std::u16string_view subKey, HKEY root, unsigned long access) {
    Close();
    RegistryKeyHandle key;
    const long result = RegOpenKey(root, subKey, access, key);
    if (result == ERROR_SUCCESS)
        m_key = std::move(key);
    return result;
}

long RegistryKey::CheckWriteInt(std::u16string_view name) const {
    return m_key ? RegCheckSetValue(*m_key, name) : ERROR_INVALID_HANDLE;
}

long RegistryKey::ReadInt(std::u16string_view name, int32_t& value) {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    std::u16string text;
    // The value is read into a 256-byte buffer, as the agent's readers do.
    const long result = RegQueryString(*m_key, name, text, 256);
    if (result != ERROR_SUCCESS)
        return result;
    value = static_cast<int32_t>(WideToLong(text));
    return ERROR_SUCCESS;
}

long RegistryKey::WriteInt(std::u16string_view name, int32_t value) {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    const std::string digits = std::to_string(value);
    return RegSetString(*m_key, name, std::u16string(digits.begin(), digits.end()));
}

void RegistryKey::Close() { m_key.reset(); }

int SaveToolFile(const std::string& path, std::string_view bytes, SaveFileOptions options,
                 const std::source_location& where) {
    options.inPlaceWhenDirectoryRefuses = true;
    SaveFileReport report;
    const int error = SaveFile(path, bytes, options, &report);
    if (error == 0 && report.inPlace)
        LogSavedInPlace(path, where.file_name(), static_cast<int>(where.line()));
    return error;
}

void LogSavedInPlace(const std::string& path, const char* sourceFile, int line) {
    LogPrintf(LK_WARNING, "Saved %s in place: its directory does not take new files. [%s|%d]", path,
              SourceFileName(sourceFile), line);
}
