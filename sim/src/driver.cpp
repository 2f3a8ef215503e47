#include "tqsim/driver.h"

#include <cstdio>
#include <cstring>

#include "tqsim/bytes.h"
#include "tqsim/device.h"

namespace tqsim {

using namespace reg;

const char* ioctl::Name(uint32_t code) {
    switch (code) {
    case kGetNodeList: return "GetNodeList";
    case kSetTargetNode: return "SetTargetNode";
    case kUploadFlashPort: return "UploadBlock(flash port)";
    case kUploadUploader: return "UploadBlock(uploader)";
    case kEraseSector: return "EraseSector";
    case kReset: return "Reset";
    case kSetCommandSet: return "SetFlashCommandSet";
    case kSetByteProgramDelay: return "SetByteProgramDelay";
    case kAsyncRead: return "AsyncRead";
    case kAsyncWrite: return "AsyncWrite";
    }
    return "unknown";
}

uint32_t Driver::PortPairs(unsigned first, unsigned count, bool replaceLast, uint32_t address,
                           uint32_t data) {
    for (unsigned i = 0; i < count; ++i) {
        CommandPair p = set_.Pair(first + i);
        if (replaceLast && i + 1 == count) p = {address, data};
        const uint32_t words[3] = {kPortAddressCycle | (p.address & 0xFFFFF),
                                   kPortDataCycle | (p.data & 0xFFFF),
                                   kPortDataEnd | (p.data & 0xFFFF)};
        for (uint32_t w : words)
            if (uint32_t e = bus_.Write(target_, kOffsetHigh, kFlashPortCtrl, w)) return e;
    }
    return 0;
}

uint32_t Driver::FlashPortUpload(uint32_t flashAddress, const std::vector<uint8_t>& data) {
    if (set_.UnlockCount())
        if (uint32_t e = PortPairs(CommandSet::kUnlock, set_.UnlockCount(), false, 0, 0)) return e;
    const bool wide = set_.Wide();
    for (size_t i = 0; i < data.size();) {
        uint32_t address, word;
        if (wide) {
            address = flashAddress + static_cast<uint32_t>(i / 2);
            word = data[i] | ((i + 1 < data.size() ? data[i + 1] : 0xFF) << 8);
            i += 2;
        } else {
            address = flashAddress + static_cast<uint32_t>(i);
            word = data[i];
            i += 1;
        }
        if (uint32_t e = PortPairs(CommandSet::kProgram, set_.ProgramCount(), true, address, word))
            return e;
        if (delayUs_) clock_.SleepUs(delayUs_);
    }
    if (set_.UnlockCount())
        if (uint32_t e = PortPairs(CommandSet::kReset, set_.ResetCount(), false, 0, 0)) return e;
    return 0;
}

uint32_t Driver::Async(bool write, std::vector<uint8_t>& block) {
    const uint16_t node = bytes::LoadLittleEndian16(&block[8]);
    const uint16_t offHigh = bytes::LoadLittleEndian16(&block[12]);
    const uint32_t offLow = bytes::LoadLittleEndian32(&block[16]);
    const uint32_t n = bytes::LoadLittleEndian32(&block[20]);
    if (n == 0 || n % 4 != 0 || 40ull + n > block.size()) return kErrInvalidParameter;
    const bool romSpace = offHigh == kOffsetHigh && offLow >= kConfigRomBase &&
                          static_cast<uint64_t>(offLow) + n <= kConfigRomBase + kConfigRomSize;
    if (n != 4 && (write || !romSpace)) return kErrIoDevice;  // block access to a register
    for (uint32_t k = 0; k < n; k += 4) {
        uint8_t* q = &block[36 + k];
        if (write) {
            const uint32_t v = bytes::LoadBigEndian32(q);
            if (uint32_t e = bus_.Write(node, offHigh, offLow + k, v)) return e;
        } else {
            uint32_t v = 0;
            if (uint32_t e = bus_.Read(node, offHigh, offLow + k, &v)) return e;
            bytes::StoreBigEndian32(q, v);
        }
    }
    return 0;
}

DriverReply Driver::Handle(uint32_t code, const std::vector<uint8_t>& in, uint32_t outLength,
                           const std::vector<uint8_t>& uploadData) {
    ++requests_;
    DriverReply r;
    r.out.assign(outLength, 0);
    uint32_t error = 0;
    std::string detail;
    auto need = [&](size_t inLen) {
        if (in.size() != inLen) {
            error = kErrInvalidParameter;
            detail = "wrong input length " + std::to_string(in.size());
            return false;
        }
        return true;
    };
    char buf[128];
    switch (code) {
    case ioctl::kGetNodeList: {
        if (!need(0)) break;
        if (outLength < 4) {
            error = kErrInvalidParameter;
            break;
        }
        auto nodes = bus_.ListedNodes();
        bytes::StoreLittleEndian32(r.out.data(), static_cast<uint32_t>(nodes.size()));
        uint32_t written = 4;
        for (const auto& e : nodes) {
            if (written + 20 > outLength) break;
            uint8_t* rec = r.out.data() + written;
            bytes::StoreLittleEndian32(rec, bus_.Generation());
            bytes::StoreLittleEndian32(rec + 4, 0);
            rec[8] = static_cast<uint8_t>(e.nodeId & 0x3F);
            rec[9] = 0;
            rec[10] = static_cast<uint8_t>((e.nodeId >> 6) & 0xFF);
            rec[11] = static_cast<uint8_t>(e.nodeId >> 14);
            bytes::StoreLittleEndian32(rec + 12, e.idLow);
            bytes::StoreLittleEndian32(rec + 16, e.idHigh);
            written += 20;
        }
        r.bytesReturned = written;
        std::snprintf(buf, sizeof buf, "%zu node(s)", nodes.size());
        detail = buf;
        break;
    }
    case ioctl::kSetTargetNode:
        if (!need(2)) break;
        target_ = bytes::LoadLittleEndian16(&in[0]);
        std::snprintf(buf, sizeof buf, "node %04X", target_);
        detail = buf;
        break;
    case ioctl::kUploadFlashPort:
    case ioctl::kUploadUploader: {
        if (!need(16)) break;
        const uint32_t address = bytes::LoadLittleEndian32(&in[0]);
        const uint32_t count = bytes::LoadLittleEndian32(&in[4]);
        const uint32_t mode = bytes::LoadLittleEndian32(&in[12]);
        std::snprintf(buf, sizeof buf, "address %05X, %u bytes, mode %08X", address, count, mode);
        detail = buf;
        if (uploadData.size() != count) {
            error = kErrInvalidParameter;
            break;
        }
        if (count == 0) break;
        if (code == ioctl::kUploadFlashPort) {
            if (!haveSet_) {
                error = kErrNotReady;
                break;
            }
            error = FlashPortUpload(address, uploadData);
        } else {
            BusNode* node = bus_.NodeAt(target_);
            auto* device = dynamic_cast<Tq6410Device*>(node);
            if (!node)
                error = kErrSemTimeout;
            else if (!device)
                error = kErrIoDevice;
            else
                error = device->UploadBlock(address, uploadData.data(), count);
        }
        break;
    }
    case ioctl::kEraseSector: {
        if (!need(4)) break;
        const uint32_t address = bytes::LoadLittleEndian32(&in[0]);
        std::snprintf(buf, sizeof buf, "%s %05X", address == kEraseAll ? "all" : "sector", address);
        detail = buf;
        if (!haveSet_) {
            error = kErrNotReady;
            break;
        }
        if (address == kEraseAll)
            error = PortPairs(CommandSet::kErase, set_.EraseCount(), false, 0, 0);
        else
            error = PortPairs(CommandSet::kErase, set_.EraseCount(), true, address, 0x30);
        break;
    }
    case ioctl::kReset: {
        if (!need(4)) break;
        const uint32_t kind = bytes::LoadLittleEndian32(&in[0]);
        if (kind == 0) {
            detail = "flash";
            if (!haveSet_)
                error = kErrNotReady;
            else
                error = PortPairs(CommandSet::kReset, set_.ResetCount(), false, 0, 0);
        } else if (kind == 1) {
            detail = "device";
            error = bus_.Write(target_, kOffsetHigh, kFlashPortCtrl, kPortDeviceReset);
        } else if (kind == 2) {
            detail = "bus";
            bus_.Reset();
        } else {
            detail = "kind " + std::to_string(kind);
            error = kErrInvalidParameter;
        }
        break;
    }
    case ioctl::kSetCommandSet:
        if (!need(64)) break;
        for (int i = 0; i < 16; ++i) set_.words[i] = bytes::LoadLittleEndian32(&in[4 * i]);
        haveSet_ = true;
        std::snprintf(buf, sizeof buf, "control word %08X", set_.words[0]);
        detail = buf;
        break;
    case ioctl::kSetByteProgramDelay:
        if (!need(4)) break;
        delayUs_ = bytes::LoadLittleEndian32(&in[0]);
        detail = std::to_string(delayUs_) + " us";
        break;
    case ioctl::kAsyncRead:
    case ioctl::kAsyncWrite: {
        if (in.size() < 40 || in.size() != outLength) {
            error = kErrInvalidParameter;
            detail = "bad block length";
            break;
        }
        std::vector<uint8_t> block = in;
        error = Async(code == ioctl::kAsyncWrite, block);
        r.out = block;
        if (!error) r.bytesReturned = outLength;
        break;
    }
    default:
        error = kErrInvalidFunction;
        std::snprintf(buf, sizeof buf, "code %08X", code);
        detail = buf;
        break;
    }
    r.ok = error == 0;
    r.error = error;
    if (!r.ok) r.bytesReturned = 0;
    if (log_) {
        std::string line = std::string("ioctl ") + ioctl::Name(code);
        if (!detail.empty()) line += " " + detail;
        line += r.ok ? " -> ok" : " -> error " + std::to_string(error);
        log_(line);
    }
    return r;
}

}  // namespace tqsim
