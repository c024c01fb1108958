#pragma once
// The tool's own configuration, "SettingToolSysConfig.xml" beside the
// program: the chosen UI language. The tool never creates this file; without
// it, a choice made in the menu lasts until the end of the run.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char16_t TOOL_CONFIG_FILE[] = u"SettingToolSysConfig.xml";
inline constexpr char ACCEPTED_LANGUAGE_VERSION[] = "2.5.0";

// The saved language number; 0 (English) when the file, its root or its
// "Language" element is missing or unreadable (each logged).
int32_t ReadLanguageSetting();
// Writes "Language" into the existing file; logs and gives up otherwise.
void SaveLanguageSetting(int32_t number);
// The tool's way to store a choice: written directly by root and by a user
// who owns the agent's home, through the system helper by everybody else
// (`userAsked`: polkit may ask for a password). False, logged, when the
// helper refused or is missing.
bool SaveLanguageChoice(int32_t number, bool userAsked);

// Whether a library's resource version matches an accepted one: leading
// blanks skipped on both sides, then compared up to the end of either text
// or a blank on either side ("2.5.0.1234" and "2.5" both match "2.5.0").
bool MatchesAcceptedVersion(std::u16string_view version, std::string_view accepted);

// The menu order of language display names: by the text after the first
// "(", code unit by code unit; a name without "(" ties with every other.
bool LanguageNameLess(std::u16string_view a, std::u16string_view b);

// One installed language library as the scan found it.
struct LanguageCandidate {
    std::u16string number;  // string 7056, absent when `hasNumber` is false
    std::u16string version; // string 7121
    std::u16string name;    // string 7057
    bool hasNumber = false;
    bool hasVersion = false;
    bool hasName = false;
};

struct LanguageChoice {
    int32_t number = 0;
    std::u16string name;
    std::size_t candidate = 0; // index into the scanned candidates
};

// Applies the acceptance rules to the libraries in enumeration order: a
// library needs all three strings and an accepted version; of several with
// the same number the first wins; the result is stably sorted for the menu.
std::vector<LanguageChoice> SelectLanguages(const std::vector<LanguageCandidate>& candidates,
                                            const std::vector<std::string>& acceptedVersions);
