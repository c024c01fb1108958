#pragma once
// Structural check of a binary resource bundle (the output of `rcc --binary`)
// before it is handed to Qt. Qt's registration trusts every offset in the
// bundle and is told no size, so a damaged or hostile language library would
// otherwise make it read outside the buffer. No Qt here.

#include <cstddef>
#include <string>

// True when every header field, tree node, name and payload of the bundle lies
// inside `size` bytes, the tree is a proper tree (each node reached once,
// children after their parent) and only zlib compression with a sane size is
// used. `why` receives the first problem found.
bool CheckRccBundle(const unsigned char* data, std::size_t size, std::string* why = nullptr);

// Upper bound for the declared size of one compressed payload.
inline constexpr std::size_t kMaxRccUncompressedSize = 16u * 1024u * 1024u;
