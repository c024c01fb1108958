// The single-DES primitives of libcrypto are deprecated in OpenSSL 3 but live
// in the default library, without the legacy provider; the stored form needs
// exactly single DES in ECB mode, so this file asks for the 1.1 API.
#define OPENSSL_API_COMPAT 0x10100000L

#include "comm/ValueEncryption.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include <openssl/crypto.h>
#include <openssl/des.h>

namespace {

// Stored configuration files depend on these three values: every password
// already written was encrypted with a key derived from them, so changing any
// of them makes those passwords unreadable. Never change them.
constexpr ValueKey kInitialKeyBlock = {0x3B, 0x91, 0xC4, 0x5E, 0x07, 0xA2, 0x6D, 0xF8};
constexpr uint16_t kKeySeed = 0x4C2B;
constexpr uint16_t kKeyMixingConstant = 0x9E37;

constexpr std::size_t kMaxBlocksPerChunk = CRYPT_CHUNK_LENGTH / 8;
constexpr std::size_t kPieceHeaderLength = 3;
constexpr std::size_t kChecksumDigits = 8;

unsigned char ReverseBits(unsigned char byte) {
    byte = static_cast<unsigned char>((byte & 0xF0) >> 4 | (byte & 0x0F) << 4);
    byte = static_cast<unsigned char>((byte & 0xCC) >> 2 | (byte & 0x33) << 2);
    byte = static_cast<unsigned char>((byte & 0xAA) >> 1 | (byte & 0x55) << 1);
    return byte;
}

// The stored form numbers the bits of every byte from the least significant
// one, standard DES from the most significant one: reversing the bits of each
// byte of key, input and output maps one onto the other.
void ReverseBitsOfEachByte(const unsigned char* in, unsigned char* out) {
    for (std::size_t i = 0; i < 8; ++i)
        out[i] = ReverseBits(in[i]);
}

// The round keys of one key, held for one chunk only, so that no two calls
// share any state.
class CValueDes {
public:
    explicit CValueDes(const ValueKey& key) {
        DES_cblock desKey;
        ReverseBitsOfEachByte(key.data(), desKey);
        DES_set_key_unchecked(&desKey, &m_schedule);
        OPENSSL_cleanse(desKey, sizeof desKey);
    }
    ~CValueDes() { OPENSSL_cleanse(&m_schedule, sizeof m_schedule); }
    CValueDes(const CValueDes&) = delete;
    CValueDes& operator=(const CValueDes&) = delete;

    void Run(const unsigned char* in, unsigned char* out, bool encrypt) const {
        DES_cblock input;
        DES_cblock output;
        ReverseBitsOfEachByte(in, input);
        // libcrypto only reads the schedule, though its signature is not const.
        DES_ecb_encrypt(&input, &output, &m_schedule, encrypt ? DES_ENCRYPT : DES_DECRYPT);
        ReverseBitsOfEachByte(output, out);
    }

private:
    mutable DES_key_schedule m_schedule;
};

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

void AppendHexByte(std::string& out, unsigned char byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
}

std::string FormatChecksum(uint32_t checksum) {
    char text[kChecksumDigits + 1];
    std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(checksum));
    return std::string(text, kChecksumDigits);
}

// Three decimal digits from a generator reseeded from the millisecond clock on
// every call. The generator is local, so concurrent calls do not disturb each
// other; nothing ever reads the salt back.
std::string MakeSalt() {
    const auto ticks = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(ticks));
    char salt[8];
    std::snprintf(salt, sizeof salt, "%03u", static_cast<unsigned>(generator() % 1000));
    return std::string(salt, CRYPT_SALT_LENGTH);
}

} // namespace

ValueKey DeriveValueKey(std::string_view first, std::string_view second) {
    uint16_t words[4];
    for (std::size_t i = 0; i < 4; ++i)
        words[i] =
            static_cast<uint16_t>(kInitialKeyBlock[2 * i] | kInitialKeyBlock[2 * i + 1] << 8);

    static constexpr std::size_t kWordOrder[4] = {0, 2, 1, 3};
    uint16_t running = kKeySeed;
    std::size_t p = 0; // into the second key string
    std::size_t q = 0; // into the first
    for (std::size_t step = 0; step < 4 && (p < second.size() || q < first.size()); ++step) {
        // Characters count as signed bytes widened to 16 bits, so one above
        // 0x7F in the second string fills the high byte of the mixed value.
        const auto widen = [](char c) {
            return static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(c)));
        };
        const uint16_t a = p < second.size() ? widen(second[p]) : 0;
        const uint16_t b = q < first.size() ? widen(first[q]) : 0;
        running ^= static_cast<uint16_t>((a | static_cast<uint16_t>(b << 8)) ^ kKeyMixingConstant);
        words[kWordOrder[step]] ^= running;
        if (p < second.size())
            ++p;
        if (q < first.size())
            ++q;
    }

    ValueKey key;
    for (std::size_t i = 0; i < 4; ++i) {
        key[2 * i] = static_cast<unsigned char>(words[i] & 0xFF);
        key[2 * i + 1] = static_cast<unsigned char>(words[i] >> 8);
    }
    return key;
}

ValueBlock EncryptValueBlock(const ValueKey& key, const ValueBlock& plain) {
    ValueBlock out;
    CValueDes(key).Run(plain.data(), out.data(), true);
    return out;
}

ValueBlock DecryptValueBlock(const ValueKey& key, const ValueBlock& cipher) {
    ValueBlock out;
    CValueDes(key).Run(cipher.data(), out.data(), false);
    return out;
}

uint32_t ChunkChecksum(std::string_view chunk) {
    uint32_t checksum = CRYPT_CHECKSUM_START;
    for (std::size_t offset = 0; offset + 4 <= chunk.size(); offset += 4) {
        const auto byte = [&](std::size_t i) {
            return static_cast<uint32_t>(static_cast<unsigned char>(chunk[offset + i]));
        };
        checksum ^= byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
    }
    return checksum;
}

std::string EncodeChunk(std::string_view chunk, const ValueKey& key) {
    // Callers cut chunks of at most 64 characters; a longer piece would be
    // refused on the way back, so it is never written.
    if (chunk.size() > CRYPT_CHUNK_LENGTH)
        chunk = chunk.substr(0, CRYPT_CHUNK_LENGTH);
    const std::size_t blocks = (chunk.size() + 7) / 8;

    // The last block is padded with zero bytes; the stated length drops the
    // padding again on the way back.
    unsigned char padded[CRYPT_CHUNK_LENGTH] = {};
    if (!chunk.empty())
        std::memcpy(padded, chunk.data(), chunk.size());

    std::string piece;
    piece.reserve(kPieceHeaderLength + 16 * blocks + kChecksumDigits);
    piece += static_cast<char>('0' + blocks);
    AppendHexByte(piece, static_cast<unsigned char>(chunk.size()));

    const CValueDes des(key);
    unsigned char cipher[8];
    for (std::size_t j = 0; j < blocks; ++j) {
        des.Run(padded + 8 * j, cipher, true);
        for (unsigned char byte : cipher)
            AppendHexByte(piece, byte);
    }
    piece += FormatChecksum(ChunkChecksum(chunk));
    return piece;
}

std::string DecodePiece(std::string_view piece, const ValueKey& key) {
    if (piece.size() < kPieceHeaderLength)
        return std::string(piece);
    const int high = HexDigitValue(piece[1]);
    const int low = HexDigitValue(piece[2]);
    if (high < 0 || low < 0 || piece[0] < '0' || piece[0] > '0' + int(kMaxBlocksPerChunk))
        return std::string(piece);
    const std::size_t blocks = static_cast<std::size_t>(piece[0] - '0');
    const std::size_t length = static_cast<std::size_t>(high * 16 + low);
    if (length > CRYPT_CHUNK_LENGTH || blocks != (length + 7) / 8)
        return std::string(piece);

    // Digits missing at the end of a short piece, and characters that are
    // not hexadecimal digits, count as zero.
    const auto digitAt = [&](std::size_t position) {
        const int value = position < piece.size() ? HexDigitValue(piece[position]) : -1;
        return value < 0 ? 0 : value;
    };
    const CValueDes des(key);
    unsigned char plain[CRYPT_CHUNK_LENGTH];
    for (std::size_t j = 0; j < blocks; ++j) {
        unsigned char cipher[8];
        const std::size_t start = kPieceHeaderLength + 16 * j;
        for (std::size_t i = 0; i < 8; ++i)
            cipher[i] = static_cast<unsigned char>(digitAt(start + 2 * i) << 4 |
                                                   digitAt(start + 2 * i + 1));
        des.Run(cipher, plain + 8 * j, false);
    }

    const std::string_view decoded(reinterpret_cast<const char*>(plain), length);
    const std::size_t checksumAt = kPieceHeaderLength + 16 * blocks;
    const bool intact = checksumAt <= piece.size() && piece.substr(checksumAt, kChecksumDigits) ==
                                                          FormatChecksum(ChunkChecksum(decoded));
    return std::string(intact ? decoded : piece.substr(0, length));
}

std::string EncryptValue(const std::string& plain) {
    if (plain.empty())
        return {};
    const std::string salted = MakeSalt() + plain;
    const ValueKey key = DeriveValueKey(VALUE_KEY_FIRST, VALUE_KEY_SECOND);

    std::string stored(CRYPT_PREFIX);
    const std::string_view text(salted);
    for (std::size_t offset = 0; offset < text.size(); offset += CRYPT_CHUNK_LENGTH) {
        if (offset != 0)
            stored += CRYPT_PIECE_SEPARATOR;
        stored += EncodeChunk(text.substr(offset, CRYPT_CHUNK_LENGTH), key);
    }
    return stored;
}

std::string DecryptValue(const std::string& stored) {
    // Whatever stands in the prefix's place is dropped unread.
    if (stored.size() <= CRYPT_PREFIX.size())
        return {};
    const ValueKey key = DeriveValueKey(VALUE_KEY_FIRST, VALUE_KEY_SECOND);

    std::string salted;
    const std::string_view rest = std::string_view(stored).substr(CRYPT_PREFIX.size());
    std::size_t start = 0;
    while (start < rest.size()) {
        std::size_t end = rest.find(CRYPT_PIECE_SEPARATOR, start);
        if (end == std::string_view::npos)
            end = rest.size();
        if (end > start)
            salted += DecodePiece(rest.substr(start, end - start), key);
        start = end + 1;
    }
    if (salted.size() < CRYPT_SALT_LENGTH)
        return {};
    return salted.substr(CRYPT_SALT_LENGTH);
}
