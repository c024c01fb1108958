#pragma once
// A file-backed stand-in for the Windows registry.
//
// The root directory comes from OPAL_REGISTRY_ROOT (default
// /var/lib/opal4hbs/registry). A key is the directory
// <root>/<hive>/<subkey with '\' as '/'>; each REG_SZ value is one file named
// after the value, holding its characters as UTF-8 without terminator. Values
// are replaced atomically (temporary file + rename), so a reader never sees a
// half-written value.

#include <string>
#include <string_view>

#include "platform/system/Win32Error.h"

enum class HKEY { LocalMachine };
inline constexpr HKEY HKEY_LOCAL_MACHINE = HKEY::LocalMachine;

inline constexpr const char* REGISTRY_ROOT_ENV = "OPAL_REGISTRY_ROOT";
inline constexpr const char* REGISTRY_ROOT_DEFAULT = "/var/lib/opal4hbs/registry";

// An open key: the directory that holds its values.
struct RegistryKeyHandle {
    std::string directory;
};

std::string RegistryRoot();

// Opens `subKey` under `root`, creating the directories when missing.
long RegCreateKey(HKEY root, std::u16string_view subKey, RegistryKeyHandle& key);
// Opens an existing `subKey` for reading values, creating nothing;
// ERROR_FILE_NOT_FOUND when it does not exist.
long RegOpenKeyForReading(HKEY root, std::u16string_view subKey, RegistryKeyHandle& key);
// Reads a REG_SZ value. `maxBytes` is the caller's buffer size in bytes of
// UTF-16 (two per unit, terminator not counted): a longer value gives
// ERROR_MORE_DATA.
long RegQueryString(const RegistryKeyHandle& key, std::u16string_view name, std::u16string& value,
                    std::size_t maxBytes);
long RegSetString(const RegistryKeyHandle& key, std::u16string_view name, std::u16string_view value);
