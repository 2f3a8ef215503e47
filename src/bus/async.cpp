// Asynchronous transactions through the link, with their trace, and the quadlet exports.
#include "bus/async.h"

#include <cstring>

#include "api/context.h"
#include "api/export_frame.h"
#include "link/device_link.h"
#include "platform/bytes.h"
#include "platform/platform.h"

namespace loric {

namespace {

AsyncRequestHeader ReadHeader(const uint8_t* request) {
    AsyncRequestHeader header;
    std::memcpy(&header, request, sizeof header);
    return header;
}

void TraceHeader(const AsyncRequestHeader& header, const char* countName) {
    Trace(TRACE_VERBOSE, "bRawMode = %d\r\n", static_cast<int>(header.bRawMode));
    Trace(TRACE_VERBOSE, "DestinationAddress.IA_Destination_ID.NA_Bus_Number = 0x%x\r\n",
          static_cast<unsigned>(header.destinationId >> 6));
    Trace(TRACE_VERBOSE, "DestinationAddress.IA_Destination_ID.NA_Node_Number = 0x%x\r\n",
          static_cast<unsigned>(header.destinationId & 0x3F));
    Trace(TRACE_VERBOSE, "DestinationAddress.IA_Destination_Offset.Off_High = 0x%x\r\n",
          static_cast<unsigned>(header.offsetHigh));
    Trace(TRACE_VERBOSE, "DestinationAddress.IA_Destination_Offset.Off_Low = 0x%x\r\n",
          static_cast<unsigned>(header.offsetLow));
    if (TraceOn(TRACE_VERBOSE)) {
        TraceLine(TracePrefix(TRACE_VERBOSE));
        TraceLine("%s = 0x%x\r\n", countName, static_cast<unsigned>(header.byteCount));
    }
    Trace(TRACE_VERBOSE, "nBlockSize = 0x%x\r\n", static_cast<unsigned>(header.blockSize));
    Trace(TRACE_VERBOSE, "fulFlags = 0x%x\r\n", static_cast<unsigned>(header.flags));
    Trace(TRACE_VERBOSE, "ulGeneration = 0x%x\r\n", static_cast<unsigned>(header.generation));
}

void TraceQuadlets(const uint8_t* request, uint32_t byteCount) {
    if (!TraceOn(TRACE_VERBOSE)) return;
    for (uint32_t i = 0; i < byteCount / 4; ++i) {
        uint32_t quadlet;
        std::memcpy(&quadlet, request + kAsyncHeaderSize + 4 * i, 4);
        Trace(TRACE_VERBOSE, "Quadlet[0x%x] = 0x%x\r\n", static_cast<unsigned>(i),
              static_cast<unsigned>(quadlet));
    }
}

// The code of a failed link operation; never 0, so that a failure cannot pass as success.
uint32_t FailureCode() {
    uint32_t code = platform::GetLastErrorCode();
    return code != 0 ? code : platform::kErrorGenFailure;
}

}  // namespace

void SwapQuadlet(uint32_t& value) { value = bytes::SwapBytes32(value); }

uint32_t AsyncRead(uint8_t* request) {
    Trace(TRACE_INTERNAL, "Enter AsyncRead\n");
    const AsyncRequestHeader header = ReadHeader(request);
    TraceHeader(header, "nNumberOfBytesToRead");
    uint32_t result = 0;
    if (!ApiOpen()) {
        result = platform::kErrorInvalidHandle;
    } else if (!g_api.link->AsyncRead(request,
                                      header.byteCount + kAsyncHeaderSize + kAsyncSpareSize)) {
        result = FailureCode();
        Trace(TRACE_ERROR, "AsyncRead Error = 0x%x\r\n", static_cast<unsigned>(result));
    }
    TraceQuadlets(request, header.byteCount);
    Trace(TRACE_INTERNAL, "Exit AsyncRead (ret %d)\n", static_cast<int>(result));
    return result;
}

uint32_t AsyncWrite(uint8_t* request) {
    Trace(TRACE_INTERNAL, "Enter AsyncWrite\n");
    const AsyncRequestHeader header = ReadHeader(request);
    TraceHeader(header, "nNumberOfBytesToWrite");
    TraceQuadlets(request, header.byteCount);
    uint32_t result = 0;
    if (!ApiOpen()) {
        result = platform::kErrorInvalidHandle;
    } else if (!g_api.link->AsyncWrite(request,
                                       header.byteCount + kAsyncHeaderSize + kAsyncSpareSize)) {
        result = FailureCode();
        Trace(TRACE_ERROR, "AsynWrite Error = 0x%x\r\n", static_cast<unsigned>(result));
    }
    Trace(TRACE_INTERNAL, "Exit AsyncWrite (ret %d)\n", static_cast<int>(result));
    return result;
}

namespace {

QuadletRequest MakeQuadletRequest(uint32_t nodeId, uint32_t offsetHigh, uint32_t offsetLow) {
    QuadletRequest request{};
    request.header.bRawMode = 1;
    request.header.bGetGeneration = 1;
    request.header.destinationId = static_cast<uint16_t>(nodeId & 0xFFFF);
    request.header.offsetHigh = static_cast<uint16_t>(offsetHigh & 0xFFFF);
    request.header.offsetLow = offsetLow;
    request.header.byteCount = 4;
    return request;
}

}  // namespace

}  // namespace loric

extern "C" LORIC_EXPORT uint32_t LORIC_CALL ReadQuadlet(uint32_t nodeId, uint32_t offsetHigh,
                                                        uint32_t offsetLow, uint32_t* value) {
    using namespace loric;
    return RunExport({TRACE_VERBOSE, "ReadQuadlet"}, [&]() -> uint32_t {
        if (value == nullptr) return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
        QuadletRequest request = MakeQuadletRequest(nodeId, offsetHigh, offsetLow);
        if (AsyncRead(reinterpret_cast<uint8_t*>(&request)) != 0)
            return ReportFailure(LORIC_ERR_QUADLET_READ, offsetLow);
        uint32_t quadlet;
        std::memcpy(&quadlet, request.data, 4);
        SwapQuadlet(quadlet);
        *value = quadlet;
        return LORIC_OK;
    });
}

extern "C" LORIC_EXPORT uint32_t LORIC_CALL WriteQuadlet(uint32_t nodeId, uint32_t offsetHigh,
                                                         uint32_t offsetLow, uint32_t value) {
    using namespace loric;
    return RunExport({TRACE_VERBOSE, "WriteQuadlet"}, [&]() -> uint32_t {
        QuadletRequest request = MakeQuadletRequest(nodeId, offsetHigh, offsetLow);
        SwapQuadlet(value);
        std::memcpy(request.data, &value, 4);
        if (AsyncWrite(reinterpret_cast<uint8_t*>(&request)) != 0)
            return ReportFailure(LORIC_ERR_QUADLET_WRITE, offsetLow);
        return LORIC_OK;
    });
}
