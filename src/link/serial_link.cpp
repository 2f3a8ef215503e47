#include "link/serial_link.h"

#include <cstring>
#include <stdexcept>

#include "link/flash_port.h"
#include "link/timing.h"
#include "platform/bytes.h"

namespace loric {

namespace {

// Longest real wait for input in one go. The reply time-out is checked between waits, so a
// replaced clock moves on after each of them.
constexpr uint32_t kPollSliceMs = 10;

int64_t MillisecondsOf(const platform::CalendarTime& t) {
    return t.seconds * 1000 + t.milliseconds;
}

// The whole-second time-out strikes once the seconds have moved on by more than the limit,
// that is at the start of second start + limit + 1.
bool TimedOut(const platform::CalendarTime& now, int64_t start) {
    return now.seconds - start > kSerialTimeoutSeconds;
}

// Offsets inside the request block of an asynchronous transaction.
constexpr uint32_t kRequestDestination = 8;
constexpr uint32_t kRequestOffsetHigh = 12;
constexpr uint32_t kRequestOffsetLow = 16;
constexpr uint32_t kRequestData = 36;

}  // namespace

SerialLink::SerialLink(const char* portName) {
    if (portName == nullptr) {
        platform::SetLastErrorCode(platform::kErrorInvalidParameter);
        throw std::runtime_error("couldn't create file");
    }
    portName_ = portName;
    handle_ = platform::OpenSerialPort(portName_.c_str());
    if (handle_ == platform::kInvalidHandle) throw std::runtime_error("couldn't create file");

    int failedStep = 0;
    if (!platform::ConfigureSerialPort(handle_, &failedStep)) {
        ClosePort();
        if (failedStep == 1) throw std::runtime_error("couldn't get comm params");
        if (failedStep == 2) throw std::runtime_error("couldn't set comm params");
        throw std::runtime_error("couldn't set timeouts");
    }
    if (!TestLink()) {
        ClosePort();
        throw std::runtime_error("test failed");
    }
    QueryLocalNode();
}

SerialLink::~SerialLink() { ClosePort(); }

void SerialLink::ClosePort() {
    if (handle_ != platform::kInvalidHandle) platform::CloseSerialPort(handle_);
    handle_ = platform::kInvalidHandle;
}

// ---- Transactions ------------------------------------------------------------------------

bool SerialLink::SendFrame(const uint8_t* frame, uint32_t length) {
    // Bytes already accepted by the port are not sent again: a repeated head would be read
    // by the adapter as the start of a frame. A port that accepts nothing ends the
    // transaction at the same time-out as a missing reply.
    const int64_t start = platform::Now().seconds;
    uint32_t sent = 0;
    while (sent < length) {
        uint32_t written = 0;
        if (!platform::WriteSerialPort(handle_, frame + sent, length - sent, &written))
            return false;
        if (written > length - sent) written = length - sent;
        sent += written;
        if (sent >= length) break;
        if (written == 0) {
            if (TimedOut(platform::Now(), start)) {
                platform::SetLastErrorCode(platform::kErrorTimeout);
                return false;
            }
            platform::SleepMilliseconds(1);
        }
    }
    return true;
}

bool SerialLink::WaitForReply(uint32_t received, const platform::CalendarTime& now, int64_t start) {
    const int64_t left = (start + kSerialTimeoutSeconds + 1) * 1000 - MillisecondsOf(now);
    uint32_t wait = kPollSliceMs;
    if (left < static_cast<int64_t>(wait)) wait = left > 0 ? static_cast<uint32_t>(left) : 1;
    if (received >= kSerialReplySize) {
        // The buffer is full and the reply claims more: only the time-out can end this.
        platform::SleepMilliseconds(wait);
        return true;
    }
    return platform::WaitSerialInput(handle_, wait);
}

bool SerialLink::Transact(const uint8_t* frame) {
    const uint32_t length = frame[1];
    platform::PurgeSerialPort(handle_);
    for (;;) {
        if (!SendFrame(frame, length)) return false;
        const int64_t start = platform::Now().seconds;
        uint32_t received = 0;

        // Header: the reply code and the length byte.
        while (received < 2) {
            uint32_t got = 0;
            if (!platform::ReadSerialPort(handle_, reply_ + received, kSerialReplySize - received,
                                          &got))
                return false;
            received += got;
            if (got != 0) continue;
            const platform::CalendarTime now = platform::Now();
            if (TimedOut(now, start)) {
                platform::SetLastErrorCode(platform::kErrorTimeout);
                return false;
            }
            if (!WaitForReply(received, now, start)) return false;
        }

        // Body: up to the length the reply gives itself.
        while (received < reply_[1]) {
            uint32_t got = 0;
            if (!platform::ReadSerialPort(handle_, reply_ + received, kSerialReplySize - received,
                                          &got))
                return false;
            received += got;
            const platform::CalendarTime now = platform::Now();
            if (TimedOut(now, start)) {
                platform::SetLastErrorCode(platform::kErrorTimeout);
                return false;
            }
            if (got == 0 && !WaitForReply(received, now, start)) return false;
        }

        if (reply_[0] == kSerialResend) continue;  // the adapter asks for the same frame again
        if (reply_[0] == kSerialRefused) {
            platform::SetLastErrorCode(platform::kErrorBusy);
            return false;
        }
        return true;
    }
}

bool SerialLink::TestLink() {
    static constexpr uint8_t kEcho[7] = {kSerialEcho, 7, 1, 2, 3, 4, 5};
    return Transact(kEcho) && std::memcmp(reply_, kEcho, sizeof kEcho) == 0;
}

bool SerialLink::QueryLocalNode() {
    static constexpr uint8_t kFrame[2] = {kSerialLocalNode, 2};
    // The node ID needs bytes 2 and 3 of this reply, not what an earlier one left there.
    if (!Transact(kFrame) || reply_[0] != kSerialLocalNode || reply_[1] == 2 || reply_[1] < 4)
        return false;
    localNode_ = static_cast<uint16_t>(reply_[2] * 256 + reply_[3]);
    hasLocalNode_ = true;
    return true;
}

bool SerialLink::WriteQuadletCommand(uint32_t offsetHigh, uint32_t offsetLow, uint32_t value) {
    uint8_t frame[20] = {kSerialWriteQuadlet, 20};
    bytes::StoreLittleEndian32(frame + 4, targetNode_);
    bytes::StoreLittleEndian32(frame + 8, offsetHigh & 0xFFFF);
    bytes::StoreLittleEndian32(frame + 12, offsetLow);
    bytes::StoreLittleEndian32(frame + 16, value);
    if (Transact(frame) && reply_[0] == kSerialWriteQuadlet && reply_[1] != 2) return true;
    platform::SetLastErrorCode(platform::kErrorBusy);
    return false;
}

bool SerialLink::ReadQuadletCommand(uint32_t offsetHigh, uint32_t offsetLow, uint32_t* value) {
    uint8_t frame[16] = {kSerialReadQuadlet, 16};
    bytes::StoreLittleEndian32(frame + 4, targetNode_);
    bytes::StoreLittleEndian32(frame + 8, offsetHigh & 0xFFFF);
    bytes::StoreLittleEndian32(frame + 12, offsetLow);
    // A reply shorter than the value field carries no value.
    if (Transact(frame) && reply_[0] == kSerialReadQuadlet && reply_[1] != 2 && reply_[1] >= 8) {
        *value = bytes::LoadLittleEndian32(reply_ + 4);
        return true;
    }
    platform::SetLastErrorCode(platform::kErrorBusy);
    return false;
}

bool SerialLink::BusResetCommand() {
    static constexpr uint8_t kFrame[2] = {kSerialBusReset, 2};
    if (Transact(kFrame) && reply_[0] == kSerialBusReset) return true;
    platform::SetLastErrorCode(platform::kErrorBusy);
    return false;
}

bool SerialLink::WriteTargetQuadlet(uint32_t offsetHigh, uint32_t offsetLow, uint32_t value) {
    return WriteQuadletCommand(offsetHigh, offsetLow, value);
}

bool SerialLink::FlashPortSequence(const CommandPair* pairs, uint32_t count,
                                   uint32_t replacementAddress) {
    return flash_port::WriteCycles(*this, pairs, count, replacementAddress);
}

// ---- DeviceLink operations ---------------------------------------------------------------

uint32_t SerialLink::GetNodeList(NODE_INFO* records, uint32_t size) {
    static constexpr uint8_t kFrame[2] = {kSerialNodeList, 2};
    if (!Transact(kFrame) || reply_[0] != kSerialNodeList || reply_[1] == 2) return 0;
    // Only the entries the reply really carries are counted, and only those that fit the
    // caller's buffer are stored.
    constexpr uint32_t kEntrySize = 12, kFirstEntry = 4;
    const uint32_t replyLength = reply_[1];
    const uint32_t carried =
        replyLength > kFirstEntry ? (replyLength - kFirstEntry) / kEntrySize : 0;
    uint32_t count = reply_[2];
    if (count > carried) count = carried;
    const uint32_t room = records != nullptr ? size / sizeof(NODE_INFO) : 0;
    for (uint32_t k = 0; k < count && k < room; ++k) {
        const uint8_t* entry = reply_ + kFirstEntry + kEntrySize * k;
        const uint16_t nodeId = static_cast<uint16_t>(entry[0] | (entry[1] << 8));
        NODE_INFO info;
        info.reserved[0] = 0xDEADBEEF;
        info.reserved[1] = 0xDEADBEEF;
        info.nodeNumber = nodeId & 0x3F;
        info.busNumber = nodeId >> 6;
        info.idHigh = bytes::LoadLittleEndian32(entry + 4);
        info.idLow = bytes::LoadLittleEndian32(entry + 8);
        std::memcpy(reinterpret_cast<uint8_t*>(records) + sizeof(NODE_INFO) * k, &info,
                    sizeof info);
    }
    return count;
}

bool SerialLink::SetTargetNode(uint16_t nodeId) {
    targetNode_ = (hasLocalNode_ && nodeId == localNode_) ? kSerialLocalTarget : nodeId;
    return true;
}

bool SerialLink::SetFlashCommandSet(const FLASH_COMMAND_SET& commandSet) {
    commandSet_ = commandSet;
    if ((commandSet_.words[0] & 0xFE00u) == 0) return true;
    platform::SetLastErrorCode(platform::kErrorInvalidParameter);
    return false;
}

bool SerialLink::Reset(uint32_t kind) {
    switch (kind) {
    case RESET_FLASH: return flash_port::ResetFlash(*this, commandSet_);
    case RESET_DEVICE:
        flash_port::ResetDevice(*this);  // the device may reset before it answers
        return true;
    case RESET_BUS: {
        const bool ok = BusResetCommand();
        WaitSeconds(1);
        return ok;
    }
    default: platform::SetLastErrorCode(platform::kErrorInvalidParameter); return false;
    }
}

bool SerialLink::UploadBlock(bool useFlashPort, const UploadBlockRequest& request) {
    if (request.data == nullptr && request.byteCount != 0) {
        platform::SetLastErrorCode(platform::kErrorInvalidParameter);
        return false;
    }
    if (!useFlashPort) {
        // Upload mode: the device takes the image quadlet by quadlet; a tail of 1 to 3 bytes
        // is not sent.
        for (uint32_t i = 0; i + 4 <= request.byteCount; i += 4) {
            const uint32_t quadlet = bytes::LoadLittleEndian32(request.data + i);
            if (!WriteQuadletCommand(REGISTER_OFFSET_HIGH, FLASH_UPLOAD_CHECKSUM, quadlet))
                return false;
        }
        return true;
    }
    return flash_port::Program(*this, commandSet_, request.flashAddress, request.data,
                               request.byteCount, byteProgramDelayMs_);
}

bool SerialLink::EraseSector(uint32_t sectorAddress) {
    return flash_port::EraseSector(*this, commandSet_, sectorAddress);
}

bool SerialLink::SetByteProgramDelay(uint32_t delayMicroseconds) {
    byteProgramDelayMs_ = delayMicroseconds / 1000;
    if (byteProgramDelayMs_ == 0) byteProgramDelayMs_ = 1;
    return true;
}

namespace {

// Where a request block sends its one quadlet; false (error 87) when the block cannot hold it.
struct QuadletTarget {
    uint16_t destination;
    uint16_t offsetHigh;
    uint32_t offsetLow;
};

bool ReadQuadletTarget(const uint8_t* request, uint32_t length, QuadletTarget* target) {
    if (request == nullptr || length < kRequestData + 4) {
        platform::SetLastErrorCode(platform::kErrorInvalidParameter);
        return false;
    }
    std::memcpy(&target->destination, request + kRequestDestination, 2);
    std::memcpy(&target->offsetHigh, request + kRequestOffsetHigh, 2);
    std::memcpy(&target->offsetLow, request + kRequestOffsetLow, 4);
    return true;
}

}  // namespace

bool SerialLink::AsyncRead(uint8_t* request, uint32_t length) {
    QuadletTarget target;
    if (!ReadQuadletTarget(request, length, &target)) return false;

    const uint16_t saved = targetNode_;
    SetTargetNode(target.destination);
    uint32_t value = 0;
    const bool ok = ReadQuadletCommand(target.offsetHigh, target.offsetLow, &value);
    targetNode_ = saved;
    if (!ok) {
        platform::SetLastErrorCode(platform::kErrorBusy);
        return false;
    }
    bytes::StoreBigEndian32(request + kRequestData, value);
    return true;
}

bool SerialLink::AsyncWrite(uint8_t* request, uint32_t length) {
    QuadletTarget target;
    if (!ReadQuadletTarget(request, length, &target)) return false;
    const uint32_t value = bytes::LoadBigEndian32(request + kRequestData);

    const uint16_t saved = targetNode_;
    SetTargetNode(target.destination);
    const bool ok = WriteQuadletCommand(target.offsetHigh, target.offsetLow, value);
    targetNode_ = saved;
    if (!ok) {
        platform::SetLastErrorCode(platform::kErrorBusy);
        return false;
    }
    return true;
}

}  // namespace loric
