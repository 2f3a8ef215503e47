// The device link over the kernel's 1394 stack on Linux: one node file per node that presents
// a config ROM (/dev/fwN), quadlet transactions sent through the file of the node that has the
// target's node ID now, and the flash work built from quadlet writes to the device's registers
// (link/flash_port.h), as the serial link does.
//
// A node the kernel made no file for (a blank board answering only at its flash port, a board
// running its bootstrap loader) cannot be reached through this link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/device_link.h"
#include "link/flash_port.h"
#include "link/registers.h"

namespace loric {

#if defined(__linux__)

class FirewireLink final : public DeviceLink, private QuadletWriter {
public:
    // Throws std::runtime_error when there is no node file at all.
    FirewireLink();
    ~FirewireLink() override;
    FirewireLink(const FirewireLink&) = delete;
    FirewireLink& operator=(const FirewireLink&) = delete;

    uint32_t GetNodeList(NODE_INFO* records, uint32_t size) override;
    bool SetTargetNode(uint16_t nodeId) override;
    bool SetFlashCommandSet(const FLASH_COMMAND_SET& commandSet) override;
    bool Reset(uint32_t kind) override;
    bool UploadBlock(bool useFlashPort, const UploadBlockRequest& request) override;
    bool EraseSector(uint32_t sectorAddress) override;
    bool SetByteProgramDelay(uint32_t delayMicroseconds) override;
    bool AsyncRead(uint8_t* request, uint32_t length) override;
    bool AsyncWrite(uint8_t* request, uint32_t length) override;

    // One transaction of `length` bytes (bus byte order) with the node that has `nodeId`. On a
    // stale generation the files are read again and the transaction tried once more with the
    // same node, if it kept that ID; a node that left or was renumbered gives error 1167.
    // False with the last error set.
    bool Transact(uint16_t nodeId, bool write, uint64_t offset, uint8_t* data, uint32_t length);
    bool WriteQuadlet(uint16_t nodeId, uint32_t offsetLow, uint32_t value);
    bool ReadQuadlet(uint16_t nodeId, uint32_t offsetLow, uint32_t* value);

    uint16_t TargetNode() const { return targetNode_; }
    uint32_t ByteProgramDelayMs() const { return byteProgramDelayMs_; }
    // Node files that could not be opened for lack of permission at the last scan.
    const std::vector<std::string>& DeniedFiles() const { return denied_; }

private:
    struct NodeFile {
        std::string path;
        uint64_t serial;  // which opening of a file this is (descriptors are reused)
        int fd;
        uint32_t generation;
        uint16_t nodeId;
        uint16_t localNodeId;
        uint32_t idHigh, idLow;
    };

    // Opens the node files not yet open, reads every file's state again and closes the files
    // of nodes that left.
    void Rescan();
    void Drop(size_t index);
    // The open file whose node has `nodeId`, or -1.
    int FileOf(uint16_t nodeId) const;
    // QuadletWriter: a quadlet to the target node's registers.
    bool WriteTargetQuadlet(uint32_t offsetHigh, uint32_t offsetLow, uint32_t value) override;

    std::vector<NodeFile> files_;
    std::vector<std::string> denied_;
    uint64_t opened_ = 0;
    uint16_t targetNode_ = 0;
    uint32_t byteProgramDelayMs_ = 1;
    FLASH_COMMAND_SET commandSet_ = {};
};

// The link OpenLORIC makes on Linux when the kernel's stack is chosen (LORIC_LINK=firewire, or
// node files present and neither BRENNOCK_SOCKET nor LORIC_LINK=socket set); null otherwise.
DeviceLink* MakeFirewireLinkIfChosen();

#endif

}  // namespace loric
