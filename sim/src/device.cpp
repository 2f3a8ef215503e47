#include "tqsim/device.h"

#include <cstdio>
#include <cstring>

#include "tqsim/bytes.h"
#include "tqsim/images.h"

namespace tqsim {

using namespace reg;

const char* ModeName(DeviceMode mode) {
    switch (mode) {
    case DeviceMode::Off: return "off";
    case DeviceMode::FlashPort: return "flash-port";
    case DeviceMode::Loader: return "loader";
    case DeviceMode::Firmware: return "firmware";
    case DeviceMode::Upload: return "upload";
    }
    return "?";
}

namespace {
std::string Hex(uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}
}  // namespace

Tq6410Device::Tq6410Device(std::string name, Bus& bus, FlashChip& chip, Clock& clock)
    : name_(std::move(name)), bus_(bus), chip_(chip), clock_(clock) {}

void Tq6410Device::PowerOn() {
    chip_.PowerReset();
    Boot(false);
    vanished_ = false;
    bus_.Join(this);
}

void Tq6410Device::PowerOff() {
    mode_ = DeviceMode::Off;
    vanished_ = false;
    bus_.Leave(this);
}

void Tq6410Device::Rejoin() {
    if (vanishOnReset_) {
        vanished_ = true;
        Note("stays off the bus after the reset (fault)");
        return;
    }
    bus_.Join(this);
}

void Tq6410Device::Reset() {
    bus_.Leave(this);
    chip_.PowerReset();
    Boot(false);
    Rejoin();
}

void Tq6410Device::Reboot() {
    if (mode_ == DeviceMode::Off) return;  // without power it boots when powered on
    chip_.PowerReset();
    Boot(false);
    if (bus_.Present(this)) bus_.Reset();
}

void Tq6410Device::SetVanishOnReset(bool on) {
    vanishOnReset_ = on;
    if (!on && vanished_) {
        vanished_ = false;
        bus_.Join(this);
    }
}

void Tq6410Device::Boot(bool forced) {
    port_ = Port::Idle;
    commandSetWords_ = 0;
    uploadStarted_ = false;
    uploadFromLoader_ = false;
    eraseStarted_ = false;
    windowOnStamp_ = false;
    windowPos_ = 0;
    checksum_ = 0;
    uploadPos_ = 0;
    std::memset(stamp_, 0, sizeof stamp_);
    hasConfig_ = false;
    rom_.clear();
    if (forced) {
        mode_ = DeviceMode::FlashPort;
        bootNote_ = "forced";
        Note("boot: flash port mode (forced)");
        return;
    }
    const auto& bytes = chip_.Bytes();
    std::string why;
    auto info = image::Inspect(bytes.data(), bytes.size(), &why);
    if (!info) {
        bool blank = true;
        for (size_t i = 0; i < image::kHeaderSize && i < bytes.size(); ++i)
            blank = blank && bytes[i] == 0xFF;
        mode_ = DeviceMode::FlashPort;
        bootNote_ = blank ? "blank" : why;
        Note("boot: flash port mode (" + bootNote_ + ")");
        return;
    }
    std::memcpy(stamp_, bytes.data() + info->stampOffset, sizeof stamp_);
    if (info->kind == image::Kind::Loader) {
        mode_ = DeviceMode::Loader;
        bootNote_ = "loader";
        Note("boot: bootstrap loader");
        return;
    }
    mode_ = DeviceMode::Firmware;
    bootNote_ = "firmware";
    const uint32_t configAddress = info->paramOffset && info->paramCount
                                       ? bytes::LoadLittleEndian32(bytes.data() + info->paramOffset)
                                       : kNoConfigAddress;
    LoadConfiguration(configAddress);
    Note("boot: firmware, configuration at " + Hex(configAddress) +
         (hasConfig_ ? "" : " (none valid)"));
}

void Tq6410Device::LoadConfiguration(uint32_t byteAddress) {
    const auto& bytes = chip_.Bytes();
    hasConfig_ = false;
    if (byteAddress != kNoConfigAddress && byteAddress % 4 == 0 &&
        static_cast<uint64_t>(byteAddress) + kExtConfigRomByte <= bytes.size()) {
        const uint8_t* cfg = bytes.data() + byteAddress;
        const uint32_t len = bytes::LoadLittleEndian32(cfg + kExtConfigRomLengthByte);
        const uint64_t end = uint64_t{byteAddress} + kExtConfigRomByte + len;
        if (bytes::LoadLittleEndian32(cfg) == kExtConfigMagic && len >= 20 &&
            len <= kConfigRomSize && end <= bytes.size()) {
            rom_.clear();
            for (uint32_t off = 0; off < len; off += 4)
                rom_.push_back(bytes::LoadLittleEndian32(cfg + kExtConfigRomByte + off));
            hasConfig_ = true;
        }
    }
    if (!hasConfig_) DefaultRom();
    idHigh_ = rom_.size() > 3 ? rom_[3] : 0;
    idLow_ = rom_.size() > 4 ? rom_[4] : 0;
}

void Tq6410Device::DefaultRom() {
    rom_.assign(5, 0);
    rom_[1] = kBusName;
    rom_[2] = kBusCapabilities;
    rom_[3] = ((identity_.nodeVendorId & 0xFFFFFF) << 8) | identity_.chipIdHi;
    rom_[4] = identity_.chipIdLo;
    rom_[0] = (4u << 24) | (4u << 16) | image::Crc16(&rom_[1], 4);
}

uint32_t Tq6410Device::IdHigh() const { return idHigh_; }
uint32_t Tq6410Device::IdLow() const { return idLow_; }

uint32_t Tq6410Device::CheckFault(uint16_t offsetHigh, uint32_t offsetLow, bool write) {
    for (RegisterFault& f : faults_) {
        if (f.offsetHigh != offsetHigh || f.offsetLow != offsetLow) continue;
        if (write ? !f.onWrite : !f.onRead) continue;
        ++f.seen;
        if (f.seen <= f.succeedFirst) continue;
        if (f.failTimes != 0 && f.failed >= f.failTimes) continue;
        ++f.failed;
        Note(std::string("injected ") + (write ? "write" : "read") + " failure at " +
             Hex(offsetLow));
        return f.errorCode;
    }
    return 0;
}

// ---- Reads ------------------------------------------------------------------------------------

uint32_t Tq6410Device::ReadQuadlet(uint16_t offsetHigh, uint32_t offsetLow, uint32_t* value) {
    if (uint32_t e = CheckFault(offsetHigh, offsetLow, false)) return e;
    if (offsetHigh != kOffsetHigh) return kErrIoDevice;
    const bool running =
        mode_ == DeviceMode::Loader || mode_ == DeviceMode::Firmware || mode_ == DeviceMode::Upload;
    const bool loader =
        mode_ == DeviceMode::Loader || (mode_ == DeviceMode::Upload && uploadFromLoader_);
    switch (offsetLow) {
    case kFlashUploadCtrl:
        if (!running) return kErrIoDevice;
        *value = loader ? kUploaderReady : 0;
        return 0;
    case kFlashUploadChecksum:
        if (mode_ != DeviceMode::Upload) return kErrIoDevice;
        *value = noChecksum_ ? 0 : (checksum_ ^ checksumXor_);
        return 0;
    case kFlashEraseCtrl:
        if (mode_ != DeviceMode::Upload) return kErrIoDevice;
        *value = (eraseStarted_ && !eraseNeverDone_ && !chip_.Busy()) ? kEraseDone : 0;
        return 0;
    case kFlashReadCtrl:
        if (!running) return kErrIoDevice;
        *value = ReadWindow();
        return 0;
    default: break;
    }
    if (offsetLow >= kConfigRomBase && offsetLow < kConfigRomBase + kConfigRomSize &&
        offsetLow % 4 == 0 &&
        (mode_ == DeviceMode::Firmware || (mode_ == DeviceMode::Upload && !uploadFromLoader_))) {
        size_t index = (offsetLow - kConfigRomBase) / 4;
        *value = index < rom_.size() ? rom_[index] : 0;
        return 0;
    }
    return kErrIoDevice;
}

uint32_t Tq6410Device::ReadWindow() {
    if (windowOnStamp_) {
        uint32_t v = 0;
        if (windowPos_ + 4 <= sizeof stamp_) v = bytes::LoadLittleEndian32(stamp_ + windowPos_);
        windowPos_ += 4;
        return v;
    }
    const auto& bytes = chip_.Bytes();
    uint32_t v = 0xFFFFFFFF;
    if (static_cast<uint64_t>(windowPos_) + 4 <= bytes.size())
        v = bytes::LoadLittleEndian32(bytes.data() + windowPos_);
    windowPos_ += 4;
    return v;
}

// ---- Writes -----------------------------------------------------------------------------------

uint32_t Tq6410Device::WriteQuadlet(uint16_t offsetHigh, uint32_t offsetLow, uint32_t value) {
    if (uint32_t e = CheckFault(offsetHigh, offsetLow, true)) return e;
    if (offsetHigh != kOffsetHigh) return kErrIoDevice;
    if (offsetLow == kFlashPortCtrl) return FlashPortWrite(value);
    const bool running =
        mode_ == DeviceMode::Loader || mode_ == DeviceMode::Firmware || mode_ == DeviceMode::Upload;
    if (!running) return kErrIoDevice;
    const bool ready = mode_ == DeviceMode::Upload && commandSetWords_ == 16;
    switch (offsetLow) {
    case kCsrModeCtrl:
        if (value == kModeEdit) {
            if (mode_ != DeviceMode::Upload) uploadFromLoader_ = mode_ == DeviceMode::Loader;
            mode_ = DeviceMode::Upload;
            commandSetWords_ = 0;
            uploadStarted_ = false;
            Note("upload mode, waiting for the flash command set");
            return 0;
        }
        if (value == kModeForce) {
            Note("MODE_FORCE: dropping to flash port mode");
            bus_.Leave(this);
            Boot(true);
            Rejoin();
            return 0;
        }
        return kErrIoDevice;
    case kCsrUploadCommandSetCtrl:
        if (mode_ != DeviceMode::Upload || commandSetWords_ >= 16) return kErrIoDevice;
        commandSet_.words[commandSetWords_++] = value;
        if (commandSetWords_ == 16)
            Note("flash command set received, control word " + Hex(commandSet_.words[0]));
        return 0;
    case kFlashUploadCtrl:
        if (value == kProcessorReset) {
            Note("PROCESSOR_RESET");
            Reset();
            return 0;
        }
        if (!ready) return kErrIoDevice;
        if (value >= chip_.Geometry().TotalWords()) return kErrIoDevice;
        uploadStarted_ = true;
        uploadPos_ = value;
        checksum_ = 0;
        Note("upload starts at word " + Hex(value));
        return 0;
    case kFlashUploadChecksum:
        if (!ready || !uploadStarted_) return kErrIoDevice;
        ProgramQuadlet(value);
        return 0;
    case kFlashEraseCtrl: {
        if (!ready) return kErrIoDevice;
        if (value != kEraseAll && value >= chip_.Geometry().TotalWords()) return kErrIoDevice;
        eraseStarted_ = true;
        WaitChip();
        if (chip_.Internal()) {
            if (value == kEraseAll)
                chip_.DirectEraseAll();
            else
                chip_.DirectEraseSector(chip_.Geometry().SectorOf(value));
        } else if (value == kEraseAll) {
            SendPairs(reg::CommandSet::kErase, commandSet_.EraseCount(), false, 0, 0);
        } else {
            SendPairs(reg::CommandSet::kErase, commandSet_.EraseCount(), true, value, 0x30);
        }
        Note("erase " +
             (value == kEraseAll ? std::string("whole chip") : "sector at word " + Hex(value)));
        return 0;
    }
    case kFlashReadCtrl:
        if (value == kReadTimestamp) {
            windowOnStamp_ = true;
            windowPos_ = 0;
        } else {
            windowOnStamp_ = false;
            windowPos_ = value;
        }
        return 0;
    default: return kErrIoDevice;
    }
}

uint32_t Tq6410Device::FlashPortWrite(uint32_t value) {
    const uint32_t kind = value & 0xFF000000;
    if (value == kPortClear) {
        port_ = Port::Idle;
        return 0;
    }
    if (value == kPortDeviceReset) {
        Note("flash port device reset");
        Reset();
        return 0;
    }
    if (kind == kPortAddressCycle) {
        if (value & 0x00F00000) return kErrIoDevice;  // only 20 address bits exist
        portAddress_ = value & 0xFFFFF;
        port_ = Port::Address;
        return 0;
    }
    if (kind == kPortDataCycle) {
        if (value & 0x00FF0000) return kErrIoDevice;
        if (port_ == Port::Idle) ++portErrors_;
        portData_ = value & 0xFFFF;
        port_ = port_ == Port::Idle ? Port::Idle : Port::Data;
        return 0;
    }
    if (kind == kPortDataEnd) {
        if (value & 0x00FF0000) return kErrIoDevice;
        if (port_ != Port::Data || (value & 0xFFFF) != portData_) {
            ++portErrors_;  // no write cycle without address and matching data phase
            port_ = Port::Idle;
            return 0;
        }
        chip_.WriteCycle(portAddress_, portData_);
        port_ = Port::Idle;
        return 0;
    }
    return kErrIoDevice;
}

// ---- Programming through the received command set ----------------------------------------

void Tq6410Device::WaitChip() {
    uint64_t left = chip_.BusyRemainingUs();
    if (left != 0 && left != UINT64_MAX) clock_.SleepUs(left);
}

void Tq6410Device::SendPairs(unsigned first, unsigned count, bool replaceLast, uint32_t address,
                             uint32_t data) {
    for (unsigned i = 0; i < count; ++i) {
        CommandPair p = commandSet_.Pair(first + i);
        if (replaceLast && i + 1 == count) p = {address & 0xFFFFF, data};
        chip_.WriteCycle(p.address, p.data);
    }
}

void Tq6410Device::ProgramWord(uint32_t address, uint32_t data) {
    WaitChip();
    if (chip_.Internal()) {
        chip_.DirectProgram(address, data);
    } else {
        SendPairs(reg::CommandSet::kProgram, commandSet_.ProgramCount(), true, address, data);
    }
}

void Tq6410Device::ProgramQuadlet(uint32_t value) {
    checksum_ += value;
    const bool wide = commandSet_.Wide();
    if (!chip_.Internal() && commandSet_.UnlockCount())
        SendPairs(reg::CommandSet::kUnlock, commandSet_.UnlockCount(), false, 0, 0);
    if (wide) {
        ProgramWord(uploadPos_, value & 0xFFFF);
        ProgramWord(uploadPos_ + 1, value >> 16);
        uploadPos_ += 2;
    } else {
        for (int b = 0; b < 4; ++b) ProgramWord(uploadPos_ + b, (value >> (8 * b)) & 0xFF);
        uploadPos_ += 4;
    }
    WaitChip();
    if (!chip_.Internal() && commandSet_.UnlockCount())
        SendPairs(reg::CommandSet::kReset, commandSet_.ResetCount(), false, 0, 0);
}

uint32_t Tq6410Device::UploadBlock(uint32_t flashAddress, const uint8_t* data, uint32_t length) {
    if (mode_ != DeviceMode::Upload || commandSetWords_ != 16 || !uploadStarted_)
        return kErrIoDevice;
    if (length % 4 != 0) return kErrIoDevice;
    const uint64_t words = length / chip_.Geometry().BytesPerWord();
    if (flashAddress + words > chip_.Geometry().TotalWords()) return kErrIoDevice;  // past the chip
    uploadPos_ = flashAddress;
    for (uint32_t off = 0; off < length; off += 4) {
        if (uint32_t e = CheckFault(kOffsetHigh, kFlashUploadChecksum, true)) return e;
        ProgramQuadlet(bytes::LoadLittleEndian32(data + off));
    }
    return 0;
}

}  // namespace tqsim
