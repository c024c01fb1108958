#pragma once
// The 60-byte binary header that the server's data servlet speaks, in both
// directions: request code and identity going out, the server's result code
// coming back. Every integer is big-endian on the wire.

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t PACKET_HEADER_SIZE = 60;
inline constexpr std::size_t PACKET_GUID_LENGTH = 36;
inline constexpr uint16_t PACKET_HEADER_VERSION = 0x0104;

// Request code of the connection test.
inline constexpr uint32_t PACKET_CODE_TEST_CONNECTION = 50;

// ParsePacketHeader's only failure: no region, or one shorter than a header.
inline constexpr int ERR_PACKET_INVALID_DATA = -402;

// The server's answer wraps its header: 16 bytes of its own first, and the
// body is never shorter than RESPONSE_MIN_LENGTH. The parser gets the body
// length less RESPONSE_TRAILER_SLACK as the length of its region.
inline constexpr std::size_t RESPONSE_HEADER_OFFSET = 16;
inline constexpr std::size_t RESPONSE_MIN_LENGTH = 94;
inline constexpr std::size_t RESPONSE_TRAILER_SLACK = 34;

struct PacketHeader {
    uint16_t HeaderVersion;
    uint16_t PluginType;
    uint32_t Param1;
    uint32_t Code;
    char AgentGUID[PACKET_GUID_LENGTH + 1];
    uint32_t Param2;
    uint32_t Param3;
    uint32_t PayloadLength;
    // The serialised packet, owned by whoever built it.
    uint8_t* PacketBuffer;
};

void InitPacketHeader(PacketHeader& header);

// Writes the 60 wire bytes into `out` (room for at least 60) and returns the
// position after the last one. The GUID goes out as its 36 bytes, zero-padded
// when the text is shorter, without terminator.
uint8_t* BuildPacketHeader(const PacketHeader& header, uint8_t* out);

// 0, or ERR_PACKET_INVALID_DATA (logged) when `data` is null or shorter than
// a header; `out` is untouched then. No field is checked.
int ParsePacketHeader(const uint8_t* data, int32_t length, PacketHeader& out);

// Reads the server's header out of a whole response body. The caller logs
// the two failures differently, so they are told apart.
enum class ResponseFraming { Ok, TooShort, Invalid };
ResponseFraming ParseResponseBody(const uint8_t* body, int32_t length, PacketHeader& out);

uint8_t* PutUInt32BE(uint32_t value, uint8_t* out);
uint8_t* PutUInt16BE(uint16_t value, uint8_t* out);
uint32_t GetUInt32BE(const uint8_t* in);
uint16_t GetUInt16BE(const uint8_t* in);
