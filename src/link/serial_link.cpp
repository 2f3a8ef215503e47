#include "link/serial_link.h"

#include <cstring>
#include <stdexcept>

#include "link/timing.h"

namespace loric {

namespace {

// Longest real wait for input in one go. The reply time-out is checked between waits, so a
// replaced clock moves on after each of them.
constexpr uint32_t kPollSliceMs = 10;

void PutLe32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

int64_t MillisecondsOf(const platform::CalendarTime& t) { return t.seconds * 1000 + t.milliseconds; }

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
        if (!platform::WriteSerialPort(handle_, frame + sent, length - sent, &written)) return false;
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
            if (!platform::ReadSerialPort(handle_, reply_ + received, kSerialReplySize - received, &got))
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
            if (!platform::ReadSerialPort(handle_, reply_ + received, kSerialReplySize - received, &got))
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
    if (!Transact(kFrame) || reply_[0] != kSerialLocalNode || reply_[1] == 2 || reply_[1] < 4) return false;
    localNode_ = static_cast<uint16_t>(reply_[2] * 256 + reply_[3]);
    hasLocalNode_ = true;
    return true;
}

bool SerialLink::WriteQuadletCommand(uint32_t offsetHigh, uint32_t offsetLow, uint32_t value) {
    uint8_t frame[20] = {kSerialWriteQuadlet, 20};
    PutLe32(frame + 4, targetNode_);
    PutLe32(frame + 8, offsetHigh & 0xFFFF);
    PutLe32(frame + 12, offsetLow);
    PutLe32(frame + 16, value);
    if (Transact(frame) && reply_[0] == kSerialWriteQuadlet && reply_[1] != 2) return true;
    platform::SetLastErrorCode(platform::kErrorBusy);
    return false;
}

bool SerialLink::ReadQuadletCommand(uint32_t offsetHigh, uint32_t offsetLow, uint32_t* value) {
    uint8_t frame[16] = {kSerialReadQuadlet, 16};
    PutLe32(frame + 4, targetNode_);
    PutLe32(frame + 8, offsetHigh & 0xFFFF);
    PutLe32(frame + 12, offsetLow);
    // A reply shorter than the value field carries no value.
    if (Transact(frame) && reply_[0] == kSerialReadQuadlet && reply_[1] != 2 && reply_[1] >= 8) {
        *value = GetLe32(reply_ + 4);
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

bool SerialLink::FlashPortSequence(const CommandPair* pairs, uint32_t count, uint32_t replacementAddress) {
    for (uint32_t i = 0; i < count; ++i) {
        CommandPair pair = pairs[i];
        if (i + 1 == count && (replacementAddress & 0x80000000u) != 0)
            pair.address = replacementAddress & FLASH_PORT_ADDRESS_MASK;
        uint32_t words[3];
        FlashPortWords(pair, words);
        for (uint32_t word : words)
            if (!WriteQuadletCommand(REGISTER_OFFSET_HIGH, FLASH_PORT_CTRL, word)) return false;
    }
    return true;
}

// ---- DeviceLink operations ---------------------------------------------------------------

uint32_t SerialLink::GetNodeList(NODE_INFO* records, uint32_t size) {
    static constexpr uint8_t kFrame[2] = {kSerialNodeList, 2};
    if (!Transact(kFrame) || reply_[0] != kSerialNodeList || reply_[1] == 2) return 0;
    // Only the entries the reply really carries are counted, and only those that fit the
    // caller's buffer are stored.
    constexpr uint32_t kEntrySize = 12, kFirstEntry = 4;
    const uint32_t replyLength = reply_[1];
    const uint32_t carried = replyLength > kFirstEntry ? (replyLength - kFirstEntry) / kEntrySize : 0;
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
        info.idHigh = GetLe32(entry + 4);
        info.idLow = GetLe32(entry + 8);
        std::memcpy(reinterpret_cast<uint8_t*>(records) + sizeof(NODE_INFO) * k, &info, sizeof info);
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
    case RESET_FLASH: {
        CommandPair pairs[FLASH_COMMAND_SET::kResetSlots];
        const uint32_t count = CommandGroup(commandSet_, FLASH_COMMAND_SET::kResetFirst, commandSet_.ResetCount(),
                                            FLASH_COMMAND_SET::kResetSlots, pairs);
        return FlashPortSequence(pairs, count, 0);
    }
    case RESET_DEVICE:
        // The device resets as the write arrives and may never answer it.
        WriteQuadletCommand(REGISTER_OFFSET_HIGH, FLASH_PORT_CTRL, FLASH_PORT_DEVICE_RESET);
        return true;
    case RESET_BUS: {
        const bool ok = BusResetCommand();
        WaitSeconds(1);
        return ok;
    }
    default:
        platform::SetLastErrorCode(platform::kErrorInvalidParameter);
        return false;
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
        for (uint32_t i = 0; i + 4 <= request.byteCount; i += 4)
            if (!WriteQuadletCommand(REGISTER_OFFSET_HIGH, FLASH_UPLOAD_CHECKSUM, GetLe32(request.data + i)))
                return false;
        return true;
    }

    CommandPair unlock[FLASH_COMMAND_SET::kUnlockSlots];
    const uint32_t unlockCount = CommandGroup(commandSet_, FLASH_COMMAND_SET::kUnlockFirst,
                                              commandSet_.UnlockCount(), FLASH_COMMAND_SET::kUnlockSlots, unlock);
    if (unlockCount != 0 && !FlashPortSequence(unlock, unlockCount, 0)) return false;

    CommandPair program[FLASH_COMMAND_SET::kProgramSlots];
    const uint32_t programCount = CommandGroup(commandSet_, FLASH_COMMAND_SET::kProgramFirst,
                                               commandSet_.ProgramCount(), FLASH_COMMAND_SET::kProgramSlots, program);
    const bool wide = commandSet_.Is16Bit();
    for (uint32_t i = 0; i < request.byteCount;) {
        uint32_t address, data;
        if (wide) {
            address = request.flashAddress + i / 2;
            // An odd last byte goes with an erased (all ones) high byte, which programming
            // leaves as it is; the byte after the block is not read.
            const uint32_t high = i + 1 < request.byteCount ? request.data[i + 1] : 0xFF;
            data = request.data[i] + 256 * high;
            i += 2;
        } else {
            address = request.flashAddress + i;
            data = request.data[i];
            i += 1;
        }
        if (programCount != 0) program[programCount - 1].data = data;
        if (!FlashPortSequence(program, programCount, address | 0x80000000u)) return false;
        platform::SleepMilliseconds(byteProgramDelayMs_);
    }

    if (unlockCount != 0) {
        CommandPair reset[FLASH_COMMAND_SET::kResetSlots];
        const uint32_t resetCount = CommandGroup(commandSet_, FLASH_COMMAND_SET::kResetFirst,
                                                 commandSet_.ResetCount(), FLASH_COMMAND_SET::kResetSlots, reset);
        if (!FlashPortSequence(reset, resetCount, 0)) return false;
    }
    return true;
}

bool SerialLink::EraseSector(uint32_t sectorAddress) {
    CommandPair pairs[FLASH_COMMAND_SET::kEraseSlots];
    const uint32_t count = CommandGroup(commandSet_, FLASH_COMMAND_SET::kEraseFirst, commandSet_.EraseCount(),
                                        FLASH_COMMAND_SET::kEraseSlots, pairs);
    if (sectorAddress == ERASE_ALL) return FlashPortSequence(pairs, count, 0);
    if (count != 0) pairs[count - 1].data = 0x30;
    return FlashPortSequence(pairs, count, sectorAddress | 0x80000000u);
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
    request[kRequestData + 0] = static_cast<uint8_t>(value >> 24);
    request[kRequestData + 1] = static_cast<uint8_t>(value >> 16);
    request[kRequestData + 2] = static_cast<uint8_t>(value >> 8);
    request[kRequestData + 3] = static_cast<uint8_t>(value);
    return true;
}

bool SerialLink::AsyncWrite(uint8_t* request, uint32_t length) {
    QuadletTarget target;
    if (!ReadQuadletTarget(request, length, &target)) return false;
    const uint8_t* data = request + kRequestData;
    const uint32_t value = (static_cast<uint32_t>(data[0]) << 24) | (static_cast<uint32_t>(data[1]) << 16) |
                           (static_cast<uint32_t>(data[2]) << 8) | data[3];

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
