#include "platform/gui/RccBundle.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Bundle layout, all numbers big-endian:
//   "qres", version, tree offset, payload offset, name offset[, flags (v3)]
//   tree node: name offset u32, flags u16, then
//     directory: child count u32, first child index u32
//     file:      territory u16, language u16, payload offset u32
//     (version >= 2: last-modified u64)
//   name:    length u16, hash u32, length UTF-16 units
//   payload: length u32, bytes
constexpr uint16_t kCompressed = 0x01;
constexpr uint16_t kDirectory = 0x02;
constexpr uint16_t kCompressedZstd = 0x04;

uint32_t Be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
uint16_t Be16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool Fail(std::string* why, const char* text) {
    if (why != nullptr)
        *why = text;
    return false;
}

// [offset, offset + length) inside [0, size), without overflow.
bool Inside(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

} // namespace

bool CheckRccBundle(const unsigned char* data, std::size_t size, std::string* why) {
    if (data == nullptr || size < 20)
        return Fail(why, "shorter than a bundle header");
    if (std::memcmp(data, "qres", 4) != 0)
        return Fail(why, "no bundle signature");
    const uint32_t version = Be32(data + 4);
    if (version < 1 || version > 3)
        return Fail(why, "unknown bundle version");
    const uint64_t headerSize = version >= 3 ? 24 : 20;
    if (size < headerSize)
        return Fail(why, "shorter than a bundle header");
    const uint64_t treeOffset = Be32(data + 8);
    const uint64_t payloadOffset = Be32(data + 12);
    const uint64_t nameOffset = Be32(data + 16);
    if (version >= 3 && (Be32(data + 20) & ~uint32_t{kCompressed}) != 0)
        return Fail(why, "unsupported bundle flags");
    if (treeOffset >= size || payloadOffset >= size || nameOffset >= size)
        return Fail(why, "section offset outside the bundle");

    const uint64_t nodeSize = version >= 2 ? 22 : 14;
    const uint64_t nodeCount = (size - treeOffset) / nodeSize;
    if (nodeCount == 0)
        return Fail(why, "no root node");

    std::vector<bool> seen(static_cast<std::size_t>(nodeCount), false);
    std::vector<uint64_t> pending{0};
    seen[0] = true;
    while (!pending.empty()) {
        const uint64_t index = pending.back();
        pending.pop_back();
        const unsigned char* node = data + treeOffset + index * nodeSize;

        const uint64_t nameAt = nameOffset + Be32(node);
        if (!Inside(nameAt, 6, size))
            return Fail(why, "node name outside the bundle");
        if (!Inside(nameAt + 6, uint64_t{Be16(data + nameAt)} * 2, size))
            return Fail(why, "node name outside the bundle");

        const uint16_t flags = Be16(node + 4);
        if ((flags & ~(kCompressed | kDirectory | kCompressedZstd)) != 0)
            return Fail(why, "unknown node flags");
        if ((flags & kCompressedZstd) != 0)
            return Fail(why, "zstd-compressed payloads are not accepted");
        if (index == 0 && (flags & kDirectory) == 0)
            return Fail(why, "root node is not a directory");

        if ((flags & kDirectory) != 0) {
            if ((flags & kCompressed) != 0)
                return Fail(why, "compressed directory");
            const uint64_t childCount = Be32(node + 6);
            const uint64_t firstChild = Be32(node + 10);
            if (childCount == 0)
                continue;
            // rcc writes the tree breadth first, so children always follow
            // their parent; demanding that rules out loops.
            if (firstChild <= index || firstChild > nodeCount ||
                childCount > nodeCount - firstChild)
                return Fail(why, "child nodes outside the tree");
            for (uint64_t child = firstChild; child < firstChild + childCount; ++child) {
                if (seen[static_cast<std::size_t>(child)])
                    return Fail(why, "node reached twice");
                seen[static_cast<std::size_t>(child)] = true;
                pending.push_back(child);
            }
        } else {
            const uint64_t payloadAt = payloadOffset + Be32(node + 10);
            if (!Inside(payloadAt, 4, size))
                return Fail(why, "payload outside the bundle");
            const uint64_t length = Be32(data + payloadAt);
            if (!Inside(payloadAt + 4, length, size))
                return Fail(why, "payload outside the bundle");
            if ((flags & kCompressed) != 0) {
                if (length < 4 || Be32(data + payloadAt + 4) > kMaxRccUncompressedSize)
                    return Fail(why, "compressed payload too large");
            }
        }
    }
    return true;
}
