// Runs the connection test a number of times against a server and prints how
// long each run took, one number of seconds per line. The agent home (with
// its "AgentSysConfig.xml") is given on the command line, so the bench can
// run from the build directory.
//
//   connection_test_bench <home> <server> <port> <service path> <count>
//   connection_test_bench --write-body <file> <guid> <plugin type>
//       writes the 60-byte request the test posts, for other clients to send

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comm/ConfigureAgent4VSM.h"
#include "comm/Packet.h"
#include "common/ASTCommonFunc.h"

namespace {

std::u16string Wide(const char* text) {
    return ToWideString(text, CP_ACP);
}

int WriteBody(const char* file, const char* guid, const char* pluginType) {
    PacketHeader header;
    InitPacketHeader(header);
    header.PluginType = static_cast<uint16_t>(std::strtoul(pluginType, nullptr, 10));
    header.Code = PACKET_CODE_TEST_CONNECTION;
    std::strncpy(header.AgentGUID, guid, PACKET_GUID_LENGTH);
    uint8_t wire[PACKET_HEADER_SIZE];
    BuildPacketHeader(header, wire);
    std::FILE* out = std::fopen(file, "wb");
    if (out == nullptr || std::fwrite(wire, 1, sizeof(wire), out) != sizeof(wire)) {
        std::perror(file);
        return 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    if (argc == 5 && std::strcmp(argv[1], "--write-body") == 0)
        return WriteBody(argv[2], argv[3], argv[4]);
    if (argc != 6) {
        std::fprintf(stderr,
                     "usage: %s <home> <server> <port> <service path> <count>\n"
                     "       %s --write-body <file> <guid> <plugin type>\n",
                     argv[0], argv[0]);
        return 2;
    }
    // The bench stands in for the program in its own directory.
    SetModuleDirectoryForTesting(std::string(argv[1]));

    ConnectionTestSettings settings;
    settings.ServerName = Wide(argv[2]);
    settings.ServerPort = std::atoi(argv[3]);
    settings.ServiceURI = Wide(argv[4]);
    settings.ConnTimeOut = 30;
    const int count = std::atoi(argv[5]);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const ConnectionTestOutcome outcome = RunConnectionTest(settings);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%.6f\n", took.count());
        if (!outcome.Success) {
            ++failures;
            std::fprintf(stderr, "run %d: message %u (transfer %d, HTTP %ld)\n", i + 1,
                         outcome.TextId, outcome.TransferResult, outcome.HttpCode);
        }
    }
    return failures == 0 ? 0 : 1;
}
