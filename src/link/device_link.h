// The transport to the device. Everything that reaches the bus goes through the one
// DeviceLink held by the API context; callers never know which transport is in use.
#pragma once

#include <cstdint>

#include "link/registers.h"
#include "loric.h"

namespace loric {

// What UploadBlock hands to the link: program `byteCount` bytes at `data` into flash at
// `flashAddress` (words of the bus width). `uploadMode` is passed to the driver unchanged.
struct UploadBlockRequest {
    uint32_t flashAddress;
    uint32_t byteCount;
    const uint8_t* data;
    uint32_t uploadMode;
};

// The contract every link keeps:
//  - The operations that return bool report failure with false and leave a non-zero last-error
//    code (platform::GetLastErrorCode) that the caller reads at once: it becomes the message
//    argument of status 4, the result of the asynchronous exports, or an "ERROR INFO: " line.
//  - The operations without a node argument act on the node chosen by the last SetTargetNode;
//    AsyncRead and AsyncWrite name their destination in the request.
//  - Calls come from the caller's thread, one at a time; a link holds no lock.
//  - A link that cannot be built throws from its constructor (the open exports report status 1).
// DriverLink hands each operation to the kernel driver as one request; SerialLink carries them
// over a serial adapter, its flash work built from quadlet writes (link/flash_port.h).
class DeviceLink {
public:
    // Called by CloseLORIC (through this interface): closes the transport.
    virtual ~DeviceLink() = default;

    // The nodes on the bus, for GetNodeInfo. Stores at most `size` bytes of NODE_INFO records
    // into `records` (null stores none) and returns the number of nodes the transport reported,
    // which may be more than fit. A failure either throws a uint32_t StatusCode (8: no memory
    // for the reply, 4: the transport failed, its code left as the last error) or returns 0
    // nodes; callers catch exactly uint32_t.
    virtual uint32_t GetNodeList(NODE_INFO* records, uint32_t size) = 0;

    // Chooses the node that SetFlashCommandSet, Reset, UploadBlock, EraseSector and
    // SetByteProgramDelay act on, from now until the next call (the SetTargetNode export).
    virtual bool SetTargetNode(uint16_t nodeId) = 0;

    // Takes `commandSet` (the selected chip's, from SetFlashDevice) for the later flash port
    // programming, erases and flash resets of the target. False when the link cannot use it
    // (the serial link refuses any of bits 9-15 of word 0 set, built-in set 6 among them).
    virtual bool SetFlashCommandSet(const FLASH_COMMAND_SET& commandSet) = 0;

    // Carries out a reset of `kind` (IssueReset): RESET_FLASH sends the command set's reset
    // cycles to the target's flash chip; RESET_DEVICE restarts the target, which may not answer
    // (the serial link reports true whatever the write gave); RESET_BUS resets the 1394 bus
    // (the serial link then waits a second for it to settle). The serial link refuses any other
    // kind with error 87 and sends nothing; the driver link leaves that to the driver.
    virtual bool Reset(uint32_t kind) = 0;

    // Programs one block into the target's flash (UploadBuffer). `useFlashPort` true: cycle by
    // cycle through the flash port with the command set and the byte program delay last given;
    // false: through the device's uploader, which must be in upload mode. True once every byte
    // has been handed over; the device's checksum, if any, is the caller's to read. On false,
    // part of the block may already be programmed. Missing data for a non-zero count is
    // refused before anything is sent (error 87 from the serial link and the driver socket).
    virtual bool UploadBlock(bool useFlashPort, const UploadBlockRequest& request) = 0;

    // Starts the erase of the target's flash sector at `sectorAddress`, or of the whole chip for
    // ERASE_ALL, through the flash port with the command set last given
    // (FlashPortEraseSector). Does not wait for the chip to finish: the caller waits.
    virtual bool EraseSector(uint32_t sectorAddress) = 0;

    // Takes the pause after each byte or word programmed through the flash port, in
    // microseconds (the chip record's byteProgramDelay). The serial link sleeps whole
    // milliseconds, at least 1.
    virtual bool SetByteProgramDelay(uint32_t delayMicroseconds) = 0;

    // One asynchronous read at the request block's destination and offset (the bus layer's
    // AsyncRead); `length` is the whole block's size. On true the data stands in the block's
    // data area in bus order (most significant byte first). The target node is unchanged.
    virtual bool AsyncRead(uint8_t* request, uint32_t length) = 0;

    // One asynchronous write of the data area of the request block, taken in bus order, to its
    // destination and offset (the bus layer's AsyncWrite). The target node is unchanged.
    virtual bool AsyncWrite(uint8_t* request, uint32_t length) = 0;
};

}  // namespace loric
