// Asynchronous quadlet transactions: the request block handed to the link, and the
// internal operations that trace it.
#pragma once

#include <cstdint>

namespace loric {

// The 36-byte header of an asynchronous request; the data area (bus byte order) and 4
// spare bytes follow it. Host byte order except the data.
struct AsyncRequestHeader {
    uint32_t bRawMode;
    uint32_t bGetGeneration;
    uint16_t destinationId;
    uint16_t padding1;
    uint16_t offsetHigh;
    uint16_t padding2;
    uint32_t offsetLow;
    uint32_t byteCount;
    uint32_t blockSize;
    uint32_t flags;
    uint32_t generation;
};
static_assert(sizeof(AsyncRequestHeader) == 36);

inline constexpr uint32_t kAsyncHeaderSize = 36;
inline constexpr uint32_t kAsyncSpareSize = 4;
inline constexpr uint32_t kQuadletRequestSize = kAsyncHeaderSize + 4 + kAsyncSpareSize;  // 44

// A quadlet request as ReadQuadlet and WriteQuadlet build it.
struct QuadletRequest {
    AsyncRequestHeader header;
    uint8_t data[4];
    uint8_t spare[4];
};
static_assert(sizeof(QuadletRequest) == kQuadletRequestSize);

// Turns a quadlet between the host order of a little-endian host and the bus order of a
// request's data area (the same swap both ways).
void SwapQuadlet(uint32_t& value);

// Hand a request block (header, n data bytes, spare) to the link and trace it. Return 0 or
// the link's last-error code.
uint32_t AsyncRead(uint8_t* request);
uint32_t AsyncWrite(uint8_t* request);

}  // namespace loric
