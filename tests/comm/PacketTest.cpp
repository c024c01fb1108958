#include "comm/Packet.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

using testsupport::LogCapture;
using testsupport::TempDir;

constexpr char kGuid[] = "0F8E2C4A-5B6D-4E7F-8091-A2B3C4D5E6F7";

std::vector<uint8_t> Build(const PacketHeader& header) {
    std::vector<uint8_t> out(PACKET_HEADER_SIZE + 4, 0xEE);
    const uint8_t* end = BuildPacketHeader(header, out.data());
    EXPECT_EQ(end, out.data() + PACKET_HEADER_SIZE);
    // Nothing is written past the header.
    EXPECT_EQ(out[PACKET_HEADER_SIZE], 0xEE);
    out.resize(PACKET_HEADER_SIZE);
    return out;
}

TEST(PacketTest, ByteOrderHelpersWriteMostSignificantFirst) {
    uint8_t buffer[6] = {};
    EXPECT_EQ(PutUInt32BE(0x01020304u, buffer), buffer + 4);
    EXPECT_EQ(PutUInt16BE(0xA0B1u, buffer + 4), buffer + 6);
    const uint8_t expected[6] = {0x01, 0x02, 0x03, 0x04, 0xA0, 0xB1};
    EXPECT_EQ(0, std::memcmp(buffer, expected, sizeof(expected)));
    EXPECT_EQ(GetUInt32BE(buffer), 0x01020304u);
    EXPECT_EQ(GetUInt16BE(buffer + 4), 0xA0B1u);

    for (const uint32_t value : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        PutUInt32BE(value, buffer);
        EXPECT_EQ(GetUInt32BE(buffer), value);
    }
    for (const uint16_t value :
         {uint16_t{0}, uint16_t{0x00FF}, uint16_t{0xFF00}, uint16_t{0xFFFF}}) {
        PutUInt16BE(value, buffer);
        EXPECT_EQ(GetUInt16BE(buffer), value);
    }
}

TEST(PacketTest, InitialisedHeaderHoldsVersionAndZeros) {
    PacketHeader header;
    std::memset(&header, 0x5A, sizeof(header));
    InitPacketHeader(header);
    EXPECT_EQ(header.HeaderVersion, 0x0104);
    EXPECT_EQ(header.PluginType, 0);
    EXPECT_EQ(header.Param1 | header.Code | header.Param2 | header.Param3 | header.PayloadLength,
              0u);
    EXPECT_EQ(header.PacketBuffer, nullptr);
    for (const char c : header.AgentGUID)
        EXPECT_EQ(c, '\0');
}

TEST(PacketTest, ConnectionTestRequestSerialisesToTheWireLayout) {
    PacketHeader header;
    InitPacketHeader(header);
    header.PluginType = 3;
    header.Code = PACKET_CODE_TEST_CONNECTION;
    std::memcpy(header.AgentGUID, kGuid, 37);
    const std::vector<uint8_t> wire = Build(header);

    const uint8_t start[12] = {0x01, 0x04, 0x00, 0x03, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x32};
    EXPECT_EQ(0, std::memcmp(wire.data(), start, sizeof(start)));
    EXPECT_EQ(std::string(wire.begin() + 12, wire.begin() + 48), kGuid);
    EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 48, wire.end()), std::vector<uint8_t>(12, 0));
}

TEST(PacketTest, FieldsSurviveARoundTrip) {
    struct Case {
        const char* name;
        uint16_t pluginType;
        uint32_t param1, code, param2, param3, payload;
        const char* guid;
    };
    const Case cases[] = {
        {"full identifier", 3, 0, 50, 0, 0, 0, kGuid},
        {"short identifier is zero-padded", 7, 1, 2, 3, 4, 5, "ABC"},
        {"empty identifier", 0, 0, 0, 0, 0, 0, ""},
        {"all bits set", 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
         "ffffffff-ffff-ffff-ffff-ffffffffffff"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PacketHeader header;
        InitPacketHeader(header);
        header.PluginType = c.pluginType;
        header.Param1 = c.param1;
        header.Code = c.code;
        header.Param2 = c.param2;
        header.Param3 = c.param3;
        header.PayloadLength = c.payload;
        std::strncpy(header.AgentGUID, c.guid, PACKET_GUID_LENGTH);
        const std::vector<uint8_t> wire = Build(header);
        const std::size_t guidLength = std::strlen(c.guid);
        for (std::size_t i = 12 + guidLength; i < 48; ++i)
            EXPECT_EQ(wire[i], 0) << "byte " << i;

        PacketHeader parsed;
        ASSERT_EQ(ParsePacketHeader(wire.data(), 60, parsed), 0);
        EXPECT_EQ(parsed.HeaderVersion, 0x0104);
        EXPECT_EQ(parsed.PluginType, c.pluginType);
        EXPECT_EQ(parsed.Param1, c.param1);
        EXPECT_EQ(parsed.Code, c.code);
        EXPECT_EQ(parsed.Param2, c.param2);
        EXPECT_EQ(parsed.Param3, c.param3);
        EXPECT_EQ(parsed.PayloadLength, c.payload);
        EXPECT_STREQ(parsed.AgentGUID, c.guid);
        EXPECT_EQ(parsed.PacketBuffer, nullptr);
    }
}

TEST(PacketTest, StaleBytesAfterAShortIdentifierNeverReachTheWire) {
    PacketHeader header;
    InitPacketHeader(header);
    std::memset(header.AgentGUID, 'X', PACKET_GUID_LENGTH);
    std::memcpy(header.AgentGUID, "ID\0", 3);
    const std::vector<uint8_t> wire = Build(header);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(wire.data()) + 12, 2), "ID");
    for (std::size_t i = 14; i < 48; ++i)
        EXPECT_EQ(wire[i], 0) << "byte " << i;
}

TEST(PacketTest, ForeignHeadersAreAcceptedAsTheyStand) {
    std::vector<uint8_t> wire(60, 0xAB);
    PacketHeader parsed;
    ASSERT_EQ(ParsePacketHeader(wire.data(), 60, parsed), 0);
    EXPECT_EQ(parsed.HeaderVersion, 0xABAB);
    EXPECT_EQ(parsed.PayloadLength, 0xABABABABu);
    // The identifier stays terminated even when all 36 bytes are text.
    EXPECT_EQ(std::strlen(parsed.AgentGUID), PACKET_GUID_LENGTH);
}

TEST(PacketTest, ShortOrMissingRegionFailsAndLeavesTheRecord) {
    TempDir temp;
    LogCapture log(temp.Path() / "test.log");
    std::vector<uint8_t> wire(60, 0);
    struct Case {
        const uint8_t* data;
        int32_t length;
        const char* expectedLine;
    };
    const Case cases[] = {
        {wire.data(), 59, "invalid data buffer or data length 59/60 . [Packet.cpp|"},
        {wire.data(), 0, "invalid data buffer or data length 0/60 . [Packet.cpp|"},
        {wire.data(), -1, "invalid data buffer or data length -1/60 . [Packet.cpp|"},
        {nullptr, 60, "invalid data buffer or data length 60/60 . [Packet.cpp|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expectedLine);
        PacketHeader out;
        InitPacketHeader(out);
        out.Code = 12345;
        EXPECT_EQ(ParsePacketHeader(c.data, c.length, out), ERR_PACKET_INVALID_DATA);
        EXPECT_EQ(out.Code, 12345u);
        EXPECT_NE(log.Text().find(c.expectedLine), std::string::npos) << log.Text();
    }
}

TEST(PacketTest, ResponseFramingNeedsNinetyFourBytesAndReadsFromByteSixteen) {
    std::vector<uint8_t> body(200, 0xCC);
    PacketHeader server;
    InitPacketHeader(server);
    server.Code = 7;
    server.PayloadLength = 99;
    BuildPacketHeader(server, body.data() + 16);

    struct Case {
        int32_t length;
        ResponseFraming expected;
    };
    for (const Case c : {Case{0, ResponseFraming::TooShort}, Case{93, ResponseFraming::TooShort},
                         Case{94, ResponseFraming::Ok}, Case{200, ResponseFraming::Ok}}) {
        SCOPED_TRACE(c.length);
        PacketHeader parsed;
        InitPacketHeader(parsed);
        EXPECT_EQ(ParseResponseBody(body.data(), c.length, parsed), c.expected);
        if (c.expected == ResponseFraming::Ok) {
            EXPECT_EQ(parsed.Code, 7u);
            EXPECT_EQ(parsed.PayloadLength, 99u);
        }
    }
    PacketHeader parsed;
    EXPECT_EQ(ParseResponseBody(nullptr, 94, parsed), ResponseFraming::TooShort);
}

} // namespace
