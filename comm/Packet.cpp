#include "comm/Packet.h"

#include <cstring>

#include "common/LogTracker.h"

namespace {
constexpr char kInvalidDataLine[] = "invalid data buffer or data length %d/%d . [%s|%d]";
}

void InitPacketHeader(PacketHeader& header) {
    std::memset(&header, 0, sizeof(header));
    header.HeaderVersion = PACKET_HEADER_VERSION;
    header.PacketBuffer = nullptr;
}

uint8_t* PutUInt32BE(uint32_t value, uint8_t* out) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
    return out + 4;
}

uint8_t* PutUInt16BE(uint16_t value, uint8_t* out) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
    return out + 2;
}

uint32_t GetUInt32BE(const uint8_t* in) {
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

uint16_t GetUInt16BE(const uint8_t* in) {
    return static_cast<uint16_t>((in[0] << 8) | in[1]);
}

uint8_t* BuildPacketHeader(const PacketHeader& header, uint8_t* out) {
    out = PutUInt16BE(header.HeaderVersion, out);
    out = PutUInt16BE(header.PluginType, out);
    out = PutUInt32BE(header.Param1, out);
    out = PutUInt32BE(header.Code, out);
    // The record keeps the GUID as a terminated text; whatever follows a
    // shorter text goes out as zeros, never as stale bytes of the array.
    const std::size_t guidLength = strnlen(header.AgentGUID, PACKET_GUID_LENGTH);
    std::memcpy(out, header.AgentGUID, guidLength);
    std::memset(out + guidLength, 0, PACKET_GUID_LENGTH - guidLength);
    out += PACKET_GUID_LENGTH;
    out = PutUInt32BE(header.Param2, out);
    out = PutUInt32BE(header.Param3, out);
    return PutUInt32BE(header.PayloadLength, out);
}

int ParsePacketHeader(const uint8_t* data, int32_t length, PacketHeader& out) {
    if (data == nullptr || length < static_cast<int32_t>(PACKET_HEADER_SIZE)) {
        LOG_PRINTF(LK_WARNING, kInvalidDataLine, length, static_cast<int>(PACKET_HEADER_SIZE));
        return ERR_PACKET_INVALID_DATA;
    }
    std::memset(&out, 0, sizeof(out));
    out.HeaderVersion = GetUInt16BE(data);
    out.PluginType = GetUInt16BE(data + 2);
    out.Param1 = GetUInt32BE(data + 4);
    out.Code = GetUInt32BE(data + 8);
    std::memcpy(out.AgentGUID, data + 12, PACKET_GUID_LENGTH);
    out.Param2 = GetUInt32BE(data + 48);
    out.Param3 = GetUInt32BE(data + 52);
    out.PayloadLength = GetUInt32BE(data + 56);
    return 0;
}

ResponseFraming ParseResponseBody(const uint8_t* body, int32_t length, PacketHeader& out) {
    if (body == nullptr || length < static_cast<int32_t>(RESPONSE_MIN_LENGTH))
        return ResponseFraming::TooShort;
    if (ParsePacketHeader(body + RESPONSE_HEADER_OFFSET,
                          length - static_cast<int32_t>(RESPONSE_TRAILER_SLACK), out) != 0)
        return ResponseFraming::Invalid;
    return ResponseFraming::Ok;
}
