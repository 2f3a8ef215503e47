// The device link over a serial adapter. The adapter is itself a node on the 1394 bus and
// carries out six short commands for the host (echo, node list, quadlet write, quadlet read,
// bus reset, its own node ID); everything else the link builds from quadlet writes to the
// device's registers, the flash chip's cycles through the flash port module.
#pragma once

#include <cstdint>
#include <string>

#include "link/device_link.h"
#include "link/flash_port.h"
#include "link/registers.h"
#include "platform/platform.h"

namespace loric {

// Adapter command codes and the two special reply codes.
inline constexpr uint8_t kSerialEcho = 0x02;
inline constexpr uint8_t kSerialNodeList = 0x03;
inline constexpr uint8_t kSerialWriteQuadlet = 0x04;
inline constexpr uint8_t kSerialReadQuadlet = 0x05;
inline constexpr uint8_t kSerialBusReset = 0x06;
inline constexpr uint8_t kSerialLocalNode = 0x07;
inline constexpr uint8_t kSerialResend = 0x00;
inline constexpr uint8_t kSerialRefused = 0xAA;

inline constexpr uint32_t kSerialReplySize = 128;
// A reply must be complete before the clock in whole seconds has moved on by more than this.
inline constexpr int64_t kSerialTimeoutSeconds = 3;
// Node ID under which the adapter's own node is addressed as a target.
inline constexpr uint16_t kSerialLocalTarget = 0xFFC1;

class SerialLink : public DeviceLink, private QuadletWriter {
public:
    // Opens and sets up the port, tests the adapter and asks for its node ID. Throws
    // std::runtime_error when the port cannot be opened or set up or the echo test fails.
    explicit SerialLink(const char* portName);
    ~SerialLink() override;
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    uint32_t GetNodeList(NODE_INFO* records, uint32_t size) override;
    bool SetTargetNode(uint16_t nodeId) override;
    bool SetFlashCommandSet(const FLASH_COMMAND_SET& commandSet) override;
    bool Reset(uint32_t kind) override;
    bool UploadBlock(bool useFlashPort, const UploadBlockRequest& request) override;
    bool EraseSector(uint32_t sectorAddress) override;
    bool SetByteProgramDelay(uint32_t delayMicroseconds) override;
    bool AsyncRead(uint8_t* request, uint32_t length) override;
    bool AsyncWrite(uint8_t* request, uint32_t length) override;

    // True when the echo frame comes back byte for byte.
    virtual bool TestLink();

    // Sends one frame (its byte 1 is its length) and receives one reply into Reply().
    // False on time-out, a failed port read or write, or a refusal (0xAA).
    bool Transact(const uint8_t* frame);
    bool WriteQuadletCommand(uint32_t offsetHigh, uint32_t offsetLow, uint32_t value);
    bool ReadQuadletCommand(uint32_t offsetHigh, uint32_t offsetLow, uint32_t* value);
    bool BusResetCommand();
    bool QueryLocalNode();
    // flash_port::WriteCycles through this link: `count` command pairs as flash write cycles.
    // When `replacementAddress` has bit 31 set, the last pair goes to its low 20 bits instead.
    bool FlashPortSequence(const CommandPair* pairs, uint32_t count, uint32_t replacementAddress);

    const uint8_t* Reply() const { return reply_; }
    uint16_t TargetNode() const { return targetNode_; }
    bool HasLocalNode() const { return hasLocalNode_; }
    uint16_t LocalNode() const { return localNode_; }
    uint32_t ByteProgramDelayMs() const { return byteProgramDelayMs_; }

private:
    // The flash port's quadlet writes: WriteQuadletCommand to the target node.
    bool WriteTargetQuadlet(uint32_t offsetHigh, uint32_t offsetLow, uint32_t value) override;
    bool SendFrame(const uint8_t* frame, uint32_t length);
    // Waits a short while for input (or, with a full reply buffer, just for time to pass).
    // False when the port has gone away.
    bool WaitForReply(uint32_t received, const platform::CalendarTime& now, int64_t start);
    void ClosePort();

    std::string portName_;
    platform::Handle handle_ = platform::kInvalidHandle;
    uint8_t reply_[kSerialReplySize] = {};
    uint16_t targetNode_ = 0;
    uint32_t byteProgramDelayMs_ = 1;
    FLASH_COMMAND_SET commandSet_ = {};
    // A failed query leaves no local node, so no target is remapped.
    bool hasLocalNode_ = false;
    uint16_t localNode_ = 0;
};

}  // namespace loric
