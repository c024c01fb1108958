// Feeds arbitrary bytes to the packet header parser, directly and as a whole
// response body, and checks that a parsed header serialises back to exactly
// the bytes it was read from.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "comm/Packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int32_t length = size > static_cast<size_t>(std::numeric_limits<int32_t>::max())
                               ? std::numeric_limits<int32_t>::max()
                               : static_cast<int32_t>(size);

    PacketHeader header;
    InitPacketHeader(header);
    const int result = ParsePacketHeader(data, length, header);
    if ((result == 0) != (size >= PACKET_HEADER_SIZE))
        std::abort();
    if (result == 0) {
        if (header.AgentGUID[PACKET_GUID_LENGTH] != '\0')
            std::abort();
        uint8_t wire[PACKET_HEADER_SIZE];
        BuildPacketHeader(header, wire);
        // The identifier goes out up to its first zero byte and zero-padded,
        // so only the bytes around it may differ from the input.
        const std::size_t guidLength = std::strlen(header.AgentGUID);
        if (std::memcmp(wire, data, 12 + guidLength) != 0 ||
            std::memcmp(wire + 48, data + 48, 12) != 0)
            std::abort();
        for (std::size_t i = 12 + guidLength; i < 48; ++i)
            if (wire[i] != 0)
                std::abort();
    }

    PacketHeader response;
    InitPacketHeader(response);
    const ResponseFraming framing = ParseResponseBody(data, length, response);
    if ((framing == ResponseFraming::Ok) != (size >= RESPONSE_MIN_LENGTH))
        std::abort();
    if (framing == ResponseFraming::Ok && response.Code != GetUInt32BE(data + 24))
        std::abort();
    return 0;
}
