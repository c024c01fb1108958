#pragma once
// Small routines every subsystem shares: paths, strict numbers, text
// conversions between the locale's charset and UTF-16, the agent's registry
// values and the process-wide configuration lock.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "platform/system/AtomicFile.h"
#include "platform/system/RegistryStore.h"

// Code pages as the callers name them. CP_ACP is the C library's locale
// charset after setlocale(LC_CTYPE, ""); a plain C/POSIX locale (ASCII) is
// taken as UTF-8, which is what every file on the machine is written in.
inline constexpr unsigned CP_ACP = 0;
inline constexpr unsigned CP_UTF8 = 65001;

// Windows paths were limited to 260 characters with the terminator; the tool
// keeps that limit so that stored paths stay readable by the agent.
inline constexpr std::size_t MAX_PATH = 260;

bool EnsureTrailingBackslash(std::string& path);

// The directory of the running program, ending with '/'.
bool GetModuleDirectory(std::string& out);
bool GetModuleDirectoryW(std::u16string& out);

// Test seam: makes GetModuleDirectory answer `directory` (a trailing '/' is
// added when missing) instead of the program's own; nullopt restores it.
// Production code never calls it.
void SetModuleDirectoryForTesting(std::optional<std::string> directory);
// For a program that does not live in the agent's home (the system helper):
// GetModuleDirectory answers `directory` from now on.
void SetProgramDirectory(const std::string& directory);

int32_t ParseNonNegativeInt(const char* text, bool& error);

// Conversions. The pointer forms return null for a null text, an empty
// conversion or text the code page cannot carry.
std::unique_ptr<char16_t[]> MultiByteToWide(const char* text, unsigned codePage);
std::unique_ptr<char[]> WideToMultiByte(const char16_t* text, unsigned codePage);
std::u16string ToWideString(std::string_view text, unsigned codePage);
std::string ToNarrowString(std::u16string_view text, unsigned codePage);

// Converts with the caller's buffer sizes (in units). A target length of 0
// asks for the size needed. Returns 0 on failure or when the target is too
// small.
int AnsiToWide(const char* source, int sourceLength, char16_t* target, int targetLength);
int WideToAnsi(const char16_t* source, int sourceLength, char* target, int targetLength);

// Strict conversions used by the ones above: false for text the charset
// cannot carry (invalid byte sequences, unpaired surrogates).
bool LocaleToUtf16(std::string_view text, unsigned codePage, std::u16string& out);
bool Utf16ToLocale(std::u16string_view text, unsigned codePage, std::string& out);

// `_wtol`: leading blanks, an optional sign, then the leading decimal digits;
// 0 when there are none.
long WideToLong(std::u16string_view text);

// A file of the tool's own making (a PEM copy, a kept document) saved the
// way every save goes: SaveFile, rewritten in place where its directory
// takes no new file. Returns SaveFile's result.
int SaveToolFile(const std::string& path, std::string_view bytes, SaveFileOptions options,
                 const std::source_location& where = std::source_location::current());
// Logs that `path` was rewritten in place, at the caller's place.
void LogSavedInPlace(const std::string& path, const char* sourceFile, int line);

class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { Close(); }

    // Opens with all access rights, creating the key when missing.
    long Create(std::u16string_view subKey, HKEY root = HKEY_LOCAL_MACHINE);
    // Opens an existing key with `access` only, creating nothing: reading
    // values needs no write rights.
    long Open(std::u16string_view subKey, HKEY root = HKEY_LOCAL_MACHINE,
              unsigned long access = KEY_READ);
    long ReadInt(std::u16string_view name, int32_t& value);
    long WriteInt(std::u16string_view name, int32_t value);
    // 0 when this user may write the value `name` (the handle's own rights
    // aside); nothing is written.
    long CheckWriteInt(std::u16string_view name) const;
    void Close();
    bool IsOpen() const { return m_key.has_value(); }
    bool MaySetValues() const { return m_key && (m_key->access & KEY_SET_VALUE) != 0; }

private:
    std::optional<RegistryKeyHandle> m_key;
};

extern std::recursive_mutex g_configLock;

class ConfigLockGuard {
public:
    ConfigLockGuard() { g_configLock.lock(); }
    ~ConfigLockGuard() { g_configLock.unlock(); }
    ConfigLockGuard(const ConfigLockGuard&) = delete;
    ConfigLockGuard& operator=(const ConfigLockGuard&) = delete;
};
