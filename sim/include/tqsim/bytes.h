// Byte order, in one place for the simulator, which shares no code with the library it tests.
//
// The simulated bus and device meet two byte orders and no other:
//   - big-endian ("bus order"): a quadlet on the 1394 bus and in the data area of an
//     asynchronous request block, most significant byte first;
//   - little-endian ("file order"): the words of configuration files and images, the numbers of
//     the driver socket's exchanges and of the serial adapter's frames.
// Everywhere else a quadlet is a plain host number; these helpers convert at the edges.
#pragma once

#include <cstdint>

namespace tqsim::bytes {

// Reads four bytes most significant first.
constexpr uint32_t LoadBigEndian32(const uint8_t* at) {
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) |
           uint32_t{at[3]};
}

// Writes four bytes most significant first.
constexpr void StoreBigEndian32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

// Reads four bytes least significant first.
constexpr uint32_t LoadLittleEndian32(const uint8_t* at) {
    return uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) |
           (uint32_t{at[3]} << 24);
}

// Writes four bytes least significant first.
constexpr void StoreLittleEndian32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

// Reads two bytes least significant first (node IDs and offsets in the driver's request blocks).
constexpr uint16_t LoadLittleEndian16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

// Writes two bytes least significant first.
constexpr void StoreLittleEndian16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

// Reverses the byte order of a quadlet: a host number read from bus-order memory on a
// little-endian host, and back.
constexpr uint32_t SwapBytes32(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) |
           (value << 24);
}

}  // namespace tqsim::bytes
