#pragma once
// Text that came from the network (a server's headers, a reason phrase, a
// certificate's names, libcurl's account of a peer) may carry terminal
// control sequences. Everything that prints, logs or bundles such text
// passes it through here first.

#include <string>
#include <string_view>

// `text` with every control character written as \xNN: C0 except tab and
// line ends (LF, and CR right before LF), DEL, and C1 (U+0080..U+009F, also as the single bytes
// 0x80..0x9F that are not part of a UTF-8 sequence). Any other byte that is
// not part of a well-formed UTF-8 sequence is escaped the same way, so that a
// terminal never reads a stray byte as the start of a sequence. Escaping
// escaped text changes nothing (a backslash is kept as it is).
std::string EscapeControlChars(std::string_view text);

// Whether `text` holds a byte that EscapeControlChars would escape.
bool HasControlChars(std::string_view text);
