#include "link/firewire_link.h"

#if defined(__linux__)

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "api/context.h"
#include "link/timing.h"
#include "platform/bytes.h"
#include "platform/platform.h"
#include "platform/posix/firewire.h"

namespace loric {

namespace fw = platform::firewire;

namespace {

constexpr uint64_t kRegisterSpace = static_cast<uint64_t>(REGISTER_OFFSET_HIGH) << 32;

// Offsets inside the request block of an asynchronous transaction.
constexpr uint32_t kRequestDestination = 8;
constexpr uint32_t kRequestOffsetHigh = 12;
constexpr uint32_t kRequestOffsetLow = 16;
constexpr uint32_t kRequestByteCount = 20;
constexpr uint32_t kRequestData = 36;

}  // namespace

FirewireLink::FirewireLink() {
    if (fw::NodeFiles().empty()) {
        platform::SetLastErrorCode(platform::kErrorFileNotFound);
        throw std::runtime_error("no node files");
    }
}

FirewireLink::~FirewireLink() {
    for (const NodeFile& file : files_) fw::CloseNode(file.fd);
}

// ---- Node files ----------------------------------------------------------------------------

void FirewireLink::Drop(size_t index) {
    fw::CloseNode(files_[index].fd);
    files_.erase(files_.begin() + static_cast<std::ptrdiff_t>(index));
}

void FirewireLink::Rescan() {
    const uint32_t savedError = platform::GetLastErrorCode();
    const std::vector<std::string> deniedBefore = std::move(denied_);
    denied_.clear();
    const std::vector<std::string> paths = fw::NodeFiles();
    auto refresh = [&](size_t i) {
        fw::NodeInfo info;
        if (fw::GetNodeInfo(files_[i].fd, &info) != fw::Outcome::kDone) return false;
        NodeFile& file = files_[i];
        file.generation = info.generation;
        file.nodeId = info.nodeId;
        file.localNodeId = info.localNodeId;
        file.idHigh = info.rom.size() > 4 ? info.rom[3] : 0;
        file.idLow = info.rom.size() > 4 ? info.rom[4] : 0;
        return true;
    };
    // Files whose name went, or whose node left (a dead file), are closed first: the kernel
    // may already have given their name to another node.
    for (size_t i = files_.size(); i-- > 0;)
        if (std::find(paths.begin(), paths.end(), files_[i].path) == paths.end() || !refresh(i))
            Drop(i);
    for (const std::string& path : paths) {
        const bool open = std::any_of(files_.begin(), files_.end(),
                                      [&](const NodeFile& file) { return file.path == path; });
        if (open) continue;
        const int fd = fw::OpenNode(path.c_str());
        if (fd < 0) {
            if (platform::GetLastErrorCode() == platform::kErrorAccessDenied)
                denied_.push_back(path);
            continue;
        }
        files_.push_back(NodeFile{path, ++opened_, fd, 0, 0, 0, 0, 0});
        if (!refresh(files_.size() - 1)) Drop(files_.size() - 1);
    }
    // Said once, not at every scan that meets the same files.
    if (!denied_.empty() && denied_ != deniedBefore)
        Trace(TRACE_ERROR, "No access to %s: install the udev rule 60-loric-firewire.rules\n",
              denied_.front().c_str());
    platform::SetLastErrorCode(savedError);
}

int FirewireLink::FileOf(uint16_t nodeId) const {
    // The newest generation wins when a file's state is older than another's.
    int best = -1;
    for (size_t i = 0; i < files_.size(); ++i) {
        if (files_[i].nodeId != nodeId) continue;
        if (best < 0 || files_[i].generation > files_[static_cast<size_t>(best)].generation)
            best = static_cast<int>(i);
    }
    return best;
}

bool FirewireLink::Transact(uint16_t nodeId, bool write, uint64_t offset, uint8_t* data,
                            uint32_t length) {
    int index = FileOf(nodeId);
    if (index < 0) {
        Rescan();
        index = FileOf(nodeId);
    }
    if (index < 0) {
        // No node with a config ROM has this ID: nothing can be sent to it.
        platform::SetLastErrorCode(denied_.empty() ? platform::kErrorDeviceNotConnected
                                                   : platform::kErrorAccessDenied);
        return false;
    }
    // A request stays with the node it was meant for: after a bus reset it is sent once more to
    // the same node if that node kept its ID, and never to a node that took the ID over.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const NodeFile& file = files_[static_cast<size_t>(index)];
        const uint64_t serial = file.serial;
        switch (fw::Transaction(file.fd, write, offset, file.generation, data, length)) {
        case fw::Outcome::kDone: return true;
        case fw::Outcome::kFailed: return false;
        case fw::Outcome::kNodeGone:
            Drop(static_cast<size_t>(index));
            Rescan();
            platform::SetLastErrorCode(platform::kErrorDeviceNotConnected);
            return false;
        case fw::Outcome::kStaleGeneration: {
            Rescan();
            const auto same = std::find_if(files_.begin(), files_.end(),
                                           [&](const NodeFile& f) { return f.serial == serial; });
            if (same == files_.end() || same->nodeId != nodeId) {
                platform::SetLastErrorCode(platform::kErrorDeviceNotConnected);
                return false;
            }
            index = static_cast<int>(same - files_.begin());
            break;
        }
        }
    }
    platform::SetLastErrorCode(platform::kErrorDeviceNotConnected);
    return false;
}

bool FirewireLink::WriteQuadlet(uint16_t nodeId, uint32_t offsetLow, uint32_t value) {
    uint8_t data[4];
    bytes::StoreBigEndian32(data, value);
    return Transact(nodeId, true, kRegisterSpace | offsetLow, data, 4);
}

bool FirewireLink::ReadQuadlet(uint16_t nodeId, uint32_t offsetLow, uint32_t* value) {
    uint8_t data[4] = {};
    if (!Transact(nodeId, false, kRegisterSpace | offsetLow, data, 4)) return false;
    *value = bytes::LoadBigEndian32(data);
    return true;
}

bool FirewireLink::WriteTargetQuadlet(uint32_t offsetHigh, uint32_t offsetLow, uint32_t value) {
    uint8_t data[4];
    bytes::StoreBigEndian32(data, value);
    const uint64_t offset = (static_cast<uint64_t>(offsetHigh & 0xFFFF) << 32) | offsetLow;
    return Transact(targetNode_, true, offset, data, 4);
}

// ---- DeviceLink operations ---------------------------------------------------------------

uint32_t FirewireLink::GetNodeList(NODE_INFO* records, uint32_t size) {
    Rescan();
    if (files_.empty() && !denied_.empty()) {
        platform::SetLastErrorCode(platform::kErrorAccessDenied);
        throw static_cast<uint32_t>(LORIC_ERR_DRIVER_INTERNAL);
    }
    // Every node but the host's own, by node ID, in the newest generation seen.
    uint32_t generation = 0;
    for (const NodeFile& file : files_) generation = std::max(generation, file.generation);
    std::vector<const NodeFile*> nodes;
    for (const NodeFile& file : files_)
        if (file.generation == generation && file.nodeId != file.localNodeId)
            nodes.push_back(&file);
    std::sort(nodes.begin(), nodes.end(),
              [](const NodeFile* a, const NodeFile* b) { return a->nodeId < b->nodeId; });

    const uint32_t room = records != nullptr ? size / sizeof(NODE_INFO) : 0;
    for (uint32_t k = 0; k < nodes.size() && k < room; ++k) {
        NODE_INFO info;
        info.reserved[0] = generation;
        info.reserved[1] = 0;
        info.nodeNumber = nodes[k]->nodeId & 0x3F;
        info.busNumber = nodes[k]->nodeId >> 6;
        info.idHigh = nodes[k]->idHigh;
        info.idLow = nodes[k]->idLow;
        std::memcpy(reinterpret_cast<uint8_t*>(records) + sizeof(NODE_INFO) * k, &info,
                    sizeof info);
    }
    Trace(TRACE_VERBOSE, "Node files: %d  Nodes %d\n", static_cast<int>(files_.size()),
          static_cast<int>(nodes.size()));
    return static_cast<uint32_t>(nodes.size());
}

bool FirewireLink::SetTargetNode(uint16_t nodeId) {
    targetNode_ = nodeId;
    return true;
}

bool FirewireLink::SetFlashCommandSet(const FLASH_COMMAND_SET& commandSet) {
    commandSet_ = commandSet;
    if ((commandSet_.words[0] & 0xFE00u) == 0) return true;
    platform::SetLastErrorCode(platform::kErrorInvalidParameter);
    return false;
}

bool FirewireLink::Reset(uint32_t kind) {
    switch (kind) {
    case RESET_FLASH: return flash_port::ResetFlash(*this, commandSet_);
    case RESET_DEVICE:
        flash_port::ResetDevice(*this);  // the device may reset before it answers
        return true;
    case RESET_BUS: {
        if (files_.empty()) Rescan();
        bool ok = false;
        for (size_t i = 0; i < files_.size() && !ok;) {
            const fw::Outcome outcome = fw::InitiateBusReset(files_[i].fd);
            if (outcome == fw::Outcome::kDone)
                ok = true;
            else if (outcome == fw::Outcome::kNodeGone)
                Drop(i);
            else
                ++i;
        }
        if (!ok && files_.empty())
            platform::SetLastErrorCode(denied_.empty() ? platform::kErrorDeviceNotConnected
                                                       : platform::kErrorAccessDenied);
        // The kernel reads the config ROMs again after the reset.
        WaitSeconds(1);
        Rescan();
        return ok;
    }
    default: platform::SetLastErrorCode(platform::kErrorInvalidParameter); return false;
    }
}

bool FirewireLink::UploadBlock(bool useFlashPort, const UploadBlockRequest& request) {
    if (request.data == nullptr && request.byteCount != 0) {
        platform::SetLastErrorCode(platform::kErrorInvalidParameter);
        return false;
    }
    if (!useFlashPort) {
        // Upload mode: the device takes the image quadlet by quadlet; a tail of 1 to 3 bytes
        // is not sent.
        for (uint32_t i = 0; i + 4 <= request.byteCount; i += 4)
            if (!WriteQuadlet(targetNode_, FLASH_UPLOAD_CHECKSUM,
                              bytes::LoadLittleEndian32(request.data + i)))
                return false;
        return true;
    }

    return flash_port::Program(*this, commandSet_, request.flashAddress, request.data,
                               request.byteCount, byteProgramDelayMs_);
}

bool FirewireLink::EraseSector(uint32_t sectorAddress) {
    return flash_port::EraseSector(*this, commandSet_, sectorAddress);
}

bool FirewireLink::SetByteProgramDelay(uint32_t delayMicroseconds) {
    byteProgramDelayMs_ = delayMicroseconds / 1000;
    if (byteProgramDelayMs_ == 0) byteProgramDelayMs_ = 1;
    return true;
}

namespace {

// Where a request block goes and how many bytes of data it carries (at least one quadlet,
// whole quadlets); false (error 87) when its data area cannot hold them.
struct BlockTarget {
    uint16_t destination;
    uint64_t offset;
    uint32_t length;
};

bool ReadBlockTarget(const uint8_t* request, uint32_t length, BlockTarget* target) {
    if (request == nullptr || length < kRequestData + 4) {
        platform::SetLastErrorCode(platform::kErrorInvalidParameter);
        return false;
    }
    uint16_t offsetHigh;
    uint32_t offsetLow, byteCount;
    std::memcpy(&target->destination, request + kRequestDestination, 2);
    std::memcpy(&offsetHigh, request + kRequestOffsetHigh, 2);
    std::memcpy(&offsetLow, request + kRequestOffsetLow, 4);
    std::memcpy(&byteCount, request + kRequestByteCount, 4);
    byteCount = byteCount < 4 ? 4 : (byteCount + 3) & ~3u;
    if (byteCount > fw::kMaxPayload || byteCount > length - kRequestData) {
        platform::SetLastErrorCode(platform::kErrorInvalidParameter);
        return false;
    }
    target->offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    target->length = byteCount;
    return true;
}

}  // namespace

bool FirewireLink::AsyncRead(uint8_t* request, uint32_t length) {
    BlockTarget target;
    if (!ReadBlockTarget(request, length, &target)) return false;
    return Transact(target.destination, false, target.offset, request + kRequestData,
                    target.length);
}

bool FirewireLink::AsyncWrite(uint8_t* request, uint32_t length) {
    BlockTarget target;
    if (!ReadBlockTarget(request, length, &target)) return false;
    return Transact(target.destination, true, target.offset, request + kRequestData, target.length);
}

DeviceLink* MakeFirewireLinkIfChosen() {
    if (!fw::KernelStackChosen()) return nullptr;
    return new FirewireLink();
}

}  // namespace loric

#endif  // __linux__
