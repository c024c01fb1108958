#pragma once
// Encryption of the passwords held in the agent's local configuration.
//
// Stored form: "!CRYPT!" followed by one or more pieces joined by "!". A piece
// carries one chunk of up to 64 characters of the salted value:
//
//   <'0' + blocks> <length as %02X> <16 hex digits per DES block> <%08lX checksum>
//
// The agent reads the same form, so every byte of it is a contract. The
// operations never fail and keep no state between calls, so they may run on
// any thread.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The key strings from which every stored value's key is derived.
inline constexpr std::string_view VALUE_KEY_FIRST = "Amber5182094Glade";
inline constexpr std::string_view VALUE_KEY_SECOND = "Harbors4398125QZ";

inline constexpr std::string_view CRYPT_PREFIX = "!CRYPT!";
inline constexpr char CRYPT_PIECE_SEPARATOR = '!';
inline constexpr std::size_t CRYPT_CHUNK_LENGTH = 64;
inline constexpr std::size_t CRYPT_SALT_LENGTH = 3;
inline constexpr uint32_t CRYPT_CHECKSUM_START = 0x5A3C91E7;

using ValueKey = std::array<unsigned char, 8>;
using ValueBlock = std::array<unsigned char, 8>;

// Plain value (8-bit text) to stored form; empty gives empty.
std::string EncryptValue(const std::string& plain);

// Stored form to plain value. Empty gives empty. Text that is not in the
// stored form is passed through piece by piece (see DecodePiece); the first
// seven characters and the three salt characters are always dropped, and a
// text whose pieces give fewer than three characters yields an empty value.
std::string DecryptValue(const std::string& stored);

// The DES key for a pair of key strings. Only the first four characters of
// each string take part.
ValueKey DeriveValueKey(std::string_view first, std::string_view second);

// DES on one block with the bits of key, input and output numbered least
// significant bit first within each byte (so the ignored parity bit of a key
// byte is its most significant bit).
ValueBlock EncryptValueBlock(const ValueKey& key, const ValueBlock& plain);
ValueBlock DecryptValueBlock(const ValueKey& key, const ValueBlock& cipher);

// The XOR of CRYPT_CHECKSUM_START and the chunk's complete little-endian
// 32-bit words; a trailing partial word does not count.
uint32_t ChunkChecksum(std::string_view chunk);

// One chunk of 1 to 64 characters to its piece (11 + 16 * blocks characters).
std::string EncodeChunk(std::string_view chunk, const ValueKey& key);

// One piece back to its chunk. A piece whose header is not that of an encoded
// chunk comes back unchanged; one whose checksum does not match comes back as
// its own first L characters, L being the length its header states.
std::string DecodePiece(std::string_view piece, const ValueKey& key);
