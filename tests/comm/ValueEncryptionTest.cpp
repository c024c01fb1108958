#include "comm/ValueEncryption.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

const ValueKey& StoredKey() {
    static const ValueKey key = DeriveValueKey(VALUE_KEY_FIRST, VALUE_KEY_SECOND);
    return key;
}

ValueBlock BlockFromHex(const char* hex) {
    ValueBlock block{};
    for (std::size_t i = 0; i < block.size(); ++i) {
        unsigned value = 0;
        std::sscanf(hex + 2 * i, "%2X", &value);
        block[i] = static_cast<unsigned char>(value);
    }
    return block;
}

ValueBlock ReverseBitsOfEachByte(ValueBlock block) {
    for (auto& byte : block) {
        unsigned char reversed = 0;
        for (int bit = 0; bit < 8; ++bit)
            reversed = static_cast<unsigned char>(reversed | ((byte >> bit) & 1) << (7 - bit));
        byte = reversed;
    }
    return block;
}

bool IsUpperHex(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

std::string Hex2(std::size_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value));
    return text;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> SplitPieces(const std::string& stored) {
    std::vector<std::string> pieces;
    std::string rest = stored.substr(CRYPT_PREFIX.size());
    for (std::size_t start = 0;;) {
        const std::size_t end = rest.find('!', start);
        pieces.push_back(rest.substr(start, end - start));
        if (end == std::string::npos)
            return pieces;
        start = end + 1;
    }
}

// The salt of a stored value: the first three characters its first piece
// decodes to.
std::string SaltOf(const std::string& stored) {
    return DecodePiece(SplitPieces(stored).front(), StoredKey()).substr(0, CRYPT_SALT_LENGTH);
}

// ---------------------------------------------------------------------------
// Block cipher

// Standard DES known answers (FIPS 81 appendix B, SP 800-17 tables 1-4),
// standard bit order: key, plain text, cipher text.
struct KnownAnswer {
    const char* key;
    const char* plain;
    const char* cipher;
};
constexpr KnownAnswer kFipsVectors[] = {
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"}, // "Now is t"
    {"0123456789ABCDEF", "68652074696D6520", "6A271787AB8883F9"}, // "he time "
    {"0123456789ABCDEF", "666F7220616C6C20", "893D51EC4B563B53"}, // "for all "
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"}, // variable plain text
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"}, // variable key
    {"0101010101010102", "0000000000000000", "869EFD7F9F265A09"},
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"}, // permutation
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"}, // substitution
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    {"07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
};

// With bits numbered from the least significant end, DES is standard DES on
// bit-reversed bytes: each standard vector maps to one of ours.
TEST(ValueBlockCipher, MatchesFipsVectorsThroughBitReversal) {
    for (const auto& vector : kFipsVectors) {
        SCOPED_TRACE(std::string(vector.key) + " " + vector.plain);
        const ValueBlock rawKey = ReverseBitsOfEachByte(BlockFromHex(vector.key));
        ValueKey key;
        std::copy(rawKey.begin(), rawKey.end(), key.begin());
        const ValueBlock plain = ReverseBitsOfEachByte(BlockFromHex(vector.plain));
        const ValueBlock cipher = ReverseBitsOfEachByte(BlockFromHex(vector.cipher));

        EXPECT_EQ(EncryptValueBlock(key, plain), cipher);
        EXPECT_EQ(DecryptValueBlock(key, cipher), plain);
    }
}

TEST(ValueBlockCipher, ParityBitIsTheMostSignificantBitOfEachKeyByte) {
    const ValueBlock plain = BlockFromHex("0123456789ABCDEF");
    const ValueBlock reference = EncryptValueBlock(StoredKey(), plain);
    for (std::size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        ValueKey parityFlipped = StoredKey();
        parityFlipped[i] ^= 0x80;
        EXPECT_EQ(EncryptValueBlock(parityFlipped, plain), reference);
        ValueKey keyBitFlipped = StoredKey();
        keyBitFlipped[i] ^= 0x01;
        EXPECT_NE(EncryptValueBlock(keyBitFlipped, plain), reference);
    }
}

// ---------------------------------------------------------------------------
// Key derivation

TEST(DeriveValueKey, OnlyTheFirstFourCharactersOfEachKeyStringCount) {
    const std::string first(VALUE_KEY_FIRST);
    const std::string second(VALUE_KEY_SECOND);
    struct Case {
        const char* what;
        std::string first;
        std::string second;
        bool sameKey;
    };
    const Case cases[] = {
        {"fifth character of the first", "Ambe?5182094Glade", second, true},
        {"tail of the first", "AmbeX", second, true},
        {"first cut to four", "Ambe", second, true},
        {"tail of the second", first, "Harb0rs-anything-at-all", true},
        {"both cut to four", "Ambe", "Harb", true},
        {"fourth character of the first", "Ambx5182094Glade", second, false},
        {"first character of the first", "bmber5182094Glade", second, false},
        {"fourth character of the second", first, "HarBors4398125QZ", false},
        {"first character of the second", first, "harbors4398125QZ", false},
        {"first cut to three", "Amb", second, false},
        {"strings swapped", second, first, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DeriveValueKey(c.first, c.second) == StoredKey(), c.sameKey);
    }
}

TEST(DeriveValueKey, StopsWhenBothStringsAreExhausted) {
    // Nothing to mix in leaves the initial block; mixing in zero bytes once a
    // string has run out is not the same as stopping.
    const ValueKey initial = DeriveValueKey("", "");
    EXPECT_NE(DeriveValueKey("A", ""), initial);
    EXPECT_NE(DeriveValueKey("", "A"), initial);
    EXPECT_NE(DeriveValueKey("A", ""), DeriveValueKey(std::string_view("A\0", 2), ""));
    EXPECT_EQ(DeriveValueKey(std::string_view("A\0\0\0", 4), ""),
              DeriveValueKey(std::string_view("A\0\0\0\0\0", 6), ""));
}

// Passwords in existing configuration files were written with this key; it
// must never change.
TEST(DeriveValueKey, StoredKeyIsStable) {
    EXPECT_EQ(StoredKey(), (ValueKey{0x6F, 0x02, 0x83, 0xC2, 0x05, 0xC2, 0x7F, 0x9F}));
}

// ---------------------------------------------------------------------------
// Chunks and pieces

TEST(ChunkChecksum, XorsCompleteLittleEndianWordsIntoTheStartValue) {
    struct Case {
        std::string chunk;
        uint32_t checksum;
    };
    const Case cases[] = {
        {"", CRYPT_CHECKSUM_START},
        {"abc", CRYPT_CHECKSUM_START},
        {"ABCD", CRYPT_CHECKSUM_START ^ 0x44434241},
        {"ABCDxyz", CRYPT_CHECKSUM_START ^ 0x44434241},
        {"ABCDABCD", CRYPT_CHECKSUM_START},
        {std::string("\xFF\x00\x00\x80", 4), CRYPT_CHECKSUM_START ^ 0x800000FF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chunk);
        EXPECT_EQ(ChunkChecksum(c.chunk), c.checksum);
    }
}

TEST(EncodeChunk, PieceLayoutForEveryBlockCount) {
    for (std::size_t length : {1, 2, 7, 8, 9, 16, 17, 33, 56, 57, 63, 64}) {
        SCOPED_TRACE(length);
        std::string chunk;
        for (std::size_t i = 0; i < length; ++i)
            chunk += static_cast<char>('!' + (i * 7) % 90);
        const std::size_t blocks = (length + 7) / 8;

        const std::string piece = EncodeChunk(chunk, StoredKey());
        ASSERT_EQ(piece.size(), 11 + 16 * blocks);
        EXPECT_EQ(piece[0], static_cast<char>('0' + blocks));
        EXPECT_EQ(piece.substr(1, 2), Hex2(length));
        EXPECT_TRUE(IsUpperHex(piece.substr(1))) << piece;
        char checksum[9];
        std::snprintf(checksum, sizeof checksum, "%08lX",
                      static_cast<unsigned long>(ChunkChecksum(chunk)));
        EXPECT_EQ(piece.substr(3 + 16 * blocks), checksum);
        EXPECT_EQ(DecodePiece(piece, StoredKey()), chunk);
    }
}

TEST(EncodeChunk, BlocksAreEncipheredIndependentlyAndPaddedWithZeros) {
    const std::string piece = EncodeChunk("ABCDEFGHABCDEFGHxy", StoredKey());
    ASSERT_EQ(piece.size(), 11u + 48u);
    const std::string first = piece.substr(3, 16);
    EXPECT_EQ(piece.substr(19, 16), first);

    ValueBlock last{'x', 'y', 0, 0, 0, 0, 0, 0};
    std::string expected;
    for (unsigned char byte : EncryptValueBlock(StoredKey(), last))
        expected += Hex2(byte);
    EXPECT_EQ(piece.substr(35, 16), expected);
}

// Pieces that are not encoded chunks come back as they are.
TEST(DecodePiece, PassesThroughPiecesWithABadHeader) {
    const std::string valid = EncodeChunk("123secret", StoredKey());
    const std::string cases[] = {
        "",
        "1",
        "10",
        "1G3" + valid.substr(3),  // not a hex length
        "9" + valid.substr(1),    // more than eight blocks
        "/" + valid.substr(1),    // below '0'
        "\xC1" + valid.substr(1), // high-bit block count
        "241" + valid.substr(3),  // length above 64
        "109" + valid.substr(3),  // nine characters need two blocks, not one
        "208" + valid.substr(3),  // eight characters need one block, not two
        "plain text of any kind",
    };
    for (const auto& piece : cases) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(DecodePiece(piece, StoredKey()), piece);
    }
}

TEST(DecodePiece, ReadsBlockDigitsOfEitherCaseButOnlyAnUpperCaseChecksum) {
    // A chunk under four characters keeps the start value as its checksum,
    // which has letters in it.
    const std::string chunk = "123";
    const std::string piece = EncodeChunk(chunk, StoredKey());
    const std::string blocks = piece.substr(3, 16);
    const std::string checksum = piece.substr(19);
    ASSERT_NE(Lower(blocks), blocks);
    ASSERT_NE(Lower(checksum), checksum);

    struct Case {
        const char* what;
        std::string piece;
        std::string decoded;
    };
    const Case cases[] = {
        {"as written", piece, chunk},
        {"lower-case block digits", piece.substr(0, 3) + Lower(blocks) + checksum, chunk},
        {"lower-case checksum", piece.substr(0, 19) + Lower(checksum), piece.substr(0, 3)},
        {"checksum edited", piece.substr(0, 19) + "00000000", piece.substr(0, 3)},
        {"checksum missing", piece.substr(0, 19), piece.substr(0, 3)},
        {"block digits missing", piece.substr(0, 3), piece.substr(0, 3)},
        {"text after the checksum", piece + "tail", chunk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DecodePiece(c.piece, StoredKey()), c.decoded);
    }
}

TEST(DecodePiece, ReadsALowerCaseLength) {
    const std::string chunk = "123456789ab";
    const std::string piece = EncodeChunk(chunk, StoredKey());
    ASSERT_EQ(piece.substr(0, 3), "20B");
    EXPECT_EQ(DecodePiece("20b" + piece.substr(3), StoredKey()), chunk);
}

TEST(DecodePiece, MismatchReturnsTheFirstLengthCharactersOfThePiece) {
    const std::string chunk = "123a-longer-secret-of-40-characters-xxxx";
    ASSERT_EQ(chunk.size(), 40u);
    const std::string piece = EncodeChunk(chunk, StoredKey());
    std::string checksumEdited = piece;
    checksumEdited.back() = checksumEdited.back() == '0' ? '1' : '0';
    std::string blockEdited = piece;
    blockEdited[30] = blockEdited[30] == '0' ? '1' : '0';
    for (const auto& edited : {checksumEdited, blockEdited}) {
        SCOPED_TRACE(edited);
        EXPECT_EQ(DecodePiece(edited, StoredKey()), edited.substr(0, 40));
    }
}

// ---------------------------------------------------------------------------
// Stored values

TEST(EncryptValue, EmptyValueGivesEmptyText) {
    EXPECT_EQ(EncryptValue(""), "");
    EXPECT_EQ(DecryptValue(""), "");
}

TEST(EncryptValue, StoredFormAtTheChunkBoundaries) {
    struct Case {
        std::size_t valueLength;
        std::vector<std::string> pieceHeads; // block count and length of each piece
    };
    const Case cases[] = {
        {1, {"104"}},                 // the shortest value
        {3, {"106"}},                 // 34 characters stored
        {5, {"108"}},                 // one full block
        {6, {"209"}},                 // one character into the second block
        {61, {"840"}},                // one full chunk
        {62, {"840", "101"}},         // one character into the second chunk
        {125, {"840", "840"}},        // two full chunks
        {126, {"840", "840", "101"}}, // and one more character
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.valueLength);
        const std::string value(c.valueLength, 'v');
        const std::string stored = EncryptValue(value);
        ASSERT_EQ(stored.substr(0, CRYPT_PREFIX.size()), CRYPT_PREFIX);
        EXPECT_NE(stored[CRYPT_PREFIX.size()], '!');
        EXPECT_NE(stored.back(), '!');

        const auto pieces = SplitPieces(stored);
        ASSERT_EQ(pieces.size(), c.pieceHeads.size());
        std::size_t total = CRYPT_PREFIX.size() + pieces.size() - 1;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const std::size_t blocks = static_cast<std::size_t>(pieces[i][0] - '0');
            EXPECT_EQ(pieces[i].substr(0, 3), c.pieceHeads[i]);
            EXPECT_EQ(pieces[i].size(), 11 + 16 * blocks);
            EXPECT_TRUE(IsUpperHex(pieces[i])) << pieces[i];
            total += pieces[i].size();
        }
        EXPECT_EQ(stored.size(), total);
        EXPECT_EQ(DecryptValue(stored), value);
    }
    EXPECT_EQ(EncryptValue("abc").size(), 34u);
}

TEST(EncryptValue, RoundTrips) {
    std::vector<std::string> values = {
        "a",
        "!",
        "!!",
        "pass!word",
        "!CRYPT!",
        "ends with!",
        "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC",
        "\x80\xFF\xFE\x81",
        std::string("nul\0inside", 10),
        "trailing spaces   ",
    };
    for (std::size_t length = 1; length <= 140; ++length) {
        std::string value;
        for (std::size_t i = 0; i < length; ++i)
            value += static_cast<char>(1 + (i * 37) % 255);
        values.push_back(value);
    }
    values.push_back(std::string(20000, '!'));
    for (const auto& value : values) {
        SCOPED_TRACE(value.size());
        const std::string stored = EncryptValue(value);
        EXPECT_EQ(stored.find_first_not_of("!CRYPT0123456789ABCDEF"), std::string::npos);
        EXPECT_EQ(DecryptValue(stored), value);
    }
}

TEST(EncryptValue, SaltIsThreeDigitsAndFollowsTheClock) {
    std::set<std::string> salts;
    for (int i = 0; i < 8; ++i) {
        const std::string salt = SaltOf(EncryptValue("secret"));
        ASSERT_EQ(salt.size(), 3u);
        EXPECT_EQ(salt.find_first_not_of("0123456789"), std::string::npos) << salt;
        salts.insert(salt);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_GT(salts.size(), 1u);
}

TEST(EncryptValue, ConcurrentCallsDoNotDisturbEachOther) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < 300; ++round) {
                const std::string value =
                    "thread " + std::to_string(t) + " round " + std::to_string(round) + '!';
                if (DecryptValue(EncryptValue(value)) != value)
                    ++failures[t];
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// ---------------------------------------------------------------------------
// Reading stored text

// Written by an earlier build; every later build must read it.
TEST(DecryptValue, ReadsAValueWrittenBefore) {
    const std::string stored =
        "!CRYPT!8407267B487BF43D63DEEA000FAA190E484BB050A60F26AF06CCBFB8D0CA27EF85065"
        "9C0AC6EA313A1C18A4091F406AD4C57E24D3C84FD15C6D9BCA460BF0CE8DDDE6DBDDFF!1014BE7D"
        "38F51063F165A3C91E7";
    EXPECT_EQ(DecryptValue(stored),
              "Tr0ub4dor&3 caf\xC3\xA9 ! with a long tail that makes a second piece");
}

TEST(DecryptValue, PassThroughRules) {
    const std::string head = EncodeChunk("123first-half", StoredKey());
    const std::string tail = EncodeChunk("second", StoredKey());
    std::string tampered = tail;
    tampered.back() = tampered.back() == '0' ? '1' : '0';

    struct Case {
        const char* what;
        std::string stored;
        std::string value;
    };
    const Case cases[] = {
        {"two pieces", "!CRYPT!" + head + "!" + tail, "first-halfsecond"},
        {"runs of separators", "!CRYPT!!!" + head + "!!!" + tail + "!!", "first-halfsecond"},
        {"prefix not checked", "XXXXXXX" + head, "first-half"},
        {"tampered second piece", "!CRYPT!" + head + "!" + tampered,
         "first-half" + tampered.substr(0, 6)},
        {"clear text", "plainpassword", "ord"},
        {"clear text with separators", "plainpa!ssword!x", "ordx"},
        {"clear text of ten characters", "plainpassw", ""},
        {"only the prefix", "!CRYPT!", ""},
        {"shorter than the prefix", "!CRY", ""},
        {"only separators", "!CRYPT!!!!!", ""},
        {"pieces give fewer than three characters", "!CRYPT!ab", ""},
        {"pieces give exactly the salt", "!CRYPT!" + EncodeChunk("123", StoredKey()), ""},
        {"empty chunk header", "!CRYPT!000", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DecryptValue(c.stored), c.value);
    }
}

TEST(DecryptValue, KeyStringsMatterOnlyUpToTheirFourthCharacter) {
    const std::string value = "123key-check";
    const ValueKey alike = DeriveValueKey("AmbeRRRR", "Harb");
    const ValueKey different = DeriveValueKey("Ambr5182094Glade", VALUE_KEY_SECOND);
    EXPECT_EQ(DecryptValue("!CRYPT!" + EncodeChunk(value, alike)), "key-check");
    const std::string foreign = "!CRYPT!" + EncodeChunk(value, different);
    EXPECT_EQ(DecryptValue(foreign), foreign.substr(10, 9));
}

} // namespace
