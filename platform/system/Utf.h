#pragma once
// Strict UTF-8 <-> UTF-16 conversion: malformed, overlong or surrogate-coded
// UTF-8 and unpaired surrogates in UTF-16 are refused, never replaced.

#include <string>
#include <string_view>

bool Utf8ToUtf16(std::string_view text, std::u16string& out);
bool Utf16ToUtf8(std::u16string_view text, std::string& out);
