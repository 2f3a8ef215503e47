// The TQ6410 storage bridge as its registers show it on the bus.
//
// Modes:
//   FlashPort  boot code only: the flash is blank or holds no valid image, or MODE_FORCE was
//              written. Not listed; answers FLASH_PORT_CTRL only.
//   Loader     the bootstrap loader runs: FLASH_UPLOAD_CTRL reads UPLOADER_READY. Not listed.
//   Firmware   the main firmware runs: listed by the driver, configuration ROM at
//              0xFFFF F0000400, FLASH_READ_CTRL read window and time stamp.
//   Upload     MODE_EDIT was written to the loader or the firmware: after the 16 command set
//              words it takes uploads (FLASH_UPLOAD_CTRL, FLASH_UPLOAD_CHECKSUM) and erases
//              (FLASH_ERASE_CTRL), driving the flash chip with that command set.
// FLASH_PORT_CTRL (flash cycles, clear, device reset) answers in every mode. Every reset
// (device reset, processor reset, MODE_FORCE) takes the device off the bus and back on, so it
// is renumbered.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tqsim/bus.h"
#include "tqsim/clock.h"
#include "tqsim/flash_chip.h"
#include "tqsim/registers.h"

namespace tqsim {

enum class DeviceMode { Off, FlashPort, Loader, Firmware, Upload };
const char* ModeName(DeviceMode mode);

// Fail accesses of one register: after `succeedFirst` accesses that still work, the next
// `failTimes` accesses (0: all of them) fail with `errorCode`.
struct RegisterFault {
    uint16_t offsetHigh = reg::kOffsetHigh;
    uint32_t offsetLow = 0;
    bool onRead = true;
    bool onWrite = true;
    uint32_t succeedFirst = 0;
    uint32_t errorCode = reg::kErrIoDevice;
    uint32_t failTimes = 0;
    // Bookkeeping.
    uint32_t seen = 0;
    uint32_t failed = 0;
};

// The identifier the device presents when its configuration gives none.
struct DeviceIdentity {
    uint32_t nodeVendorId = 0x0ABCDE;
    uint8_t chipIdHi = 0x64;
    uint32_t chipIdLo = 0x10000001;
};

class Tq6410Device : public BusNode {
public:
    Tq6410Device(std::string name, Bus& bus, FlashChip& chip, Clock& clock);

    // Power on: boot from flash and join the bus. PowerOff leaves the bus.
    void PowerOn();
    void PowerOff();
    // Device reset (also FLASH_PORT_DEVICE_RESET and PROCESSOR_RESET): leave the bus, reset
    // the flash chip, boot from flash, join again.
    void Reset();
    // Boots again from flash without leaving the bus (after the flash was replaced from
    // outside, e.g. loaded from a saved state); a bus reset follows. Nothing while powered off.
    void Reboot();

    DeviceMode Mode() const { return mode_; }
    bool UploadFromLoader() const { return uploadFromLoader_; }
    // Why the boot code chose its mode ("blank", "forced", "image sum does not match", ...).
    const std::string& BootNote() const { return bootNote_; }
    uint16_t NodeId() const { return bus_.NodeIdOf(this); }
    FlashChip& Chip() { return chip_; }

    // BusNode
    std::string Name() const override { return name_; }
    uint32_t ReadQuadlet(uint16_t offsetHigh, uint32_t offsetLow, uint32_t* value) override;
    uint32_t WriteQuadlet(uint16_t offsetHigh, uint32_t offsetLow, uint32_t value) override;
    bool Listed() const override {
        return mode_ == DeviceMode::Firmware || (mode_ == DeviceMode::Upload && !uploadFromLoader_);
    }
    uint32_t IdHigh() const override;
    uint32_t IdLow() const override;

    // The driver's uploader path: a block of data for the upload in progress, placed at
    // `flashAddress` (words). Each quadlet counts as a write of FLASH_UPLOAD_CHECKSUM (faults
    // included). 0 or the error of the first quadlet refused.
    uint32_t UploadBlock(uint32_t flashAddress, const uint8_t* data, uint32_t length);

    // State for tests and the log.
    uint32_t Checksum() const { return checksum_; }
    uint32_t UploadPosition() const { return uploadPos_; }
    unsigned CommandSetWords() const { return commandSetWords_; }
    const reg::CommandSet& CommandSetReceived() const { return commandSet_; }
    const std::vector<uint32_t>& ConfigRom() const { return rom_; }
    bool HasConfiguration() const { return hasConfig_; }
    const uint8_t* TimeStamp() const { return stamp_; }
    uint64_t PortProtocolErrors() const { return portErrors_; }

    // Faults.
    void SetIdentity(const DeviceIdentity& id) { identity_ = id; }
    void AddRegisterFault(const RegisterFault& fault) { faults_.push_back(fault); }
    void ClearRegisterFaults() { faults_.clear(); }
    const std::vector<RegisterFault>& RegisterFaults() const { return faults_; }
    // XORed into every FLASH_UPLOAD_CHECKSUM read (0: the true sum).
    void SetChecksumError(uint32_t xorMask) { checksumXor_ = xorMask; }
    // FLASH_UPLOAD_CHECKSUM reads 0 (the device offers no checksum).
    void SetNoChecksum(bool on) { noChecksum_ = on; }
    // While set, a reset leaves the device off the bus. Clearing it brings a device that
    // vanished back (it joins the bus again).
    void SetVanishOnReset(bool on);
    // FLASH_ERASE_CTRL never reports ERASE_DONE.
    void SetEraseNeverDone(bool on) { eraseNeverDone_ = on; }

    void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

private:
    void Boot(bool forced);
    void Rejoin();
    void Note(const std::string& text) const {
        if (log_) log_(name_ + ": " + text);
    }
    // 0, or the error of a fault on this access.
    uint32_t CheckFault(uint16_t offsetHigh, uint32_t offsetLow, bool write);
    uint32_t FlashPortWrite(uint32_t value);
    uint32_t ReadWindow();
    void ProgramQuadlet(uint32_t value);
    void ProgramWord(uint32_t address, uint32_t data);
    void SendPairs(unsigned first, unsigned count, bool replaceLast, uint32_t address,
                   uint32_t data);
    void WaitChip();
    void LoadConfiguration(uint32_t byteAddress);
    void DefaultRom();

    std::string name_;
    Bus& bus_;
    FlashChip& chip_;
    Clock& clock_;
    DeviceIdentity identity_;
    std::function<void(const std::string&)> log_;

    DeviceMode mode_ = DeviceMode::Off;
    bool uploadFromLoader_ = false;
    std::string bootNote_;
    // Flash port latch.
    enum class Port { Idle, Address, Data } port_ = Port::Idle;
    uint32_t portAddress_ = 0, portData_ = 0;
    uint64_t portErrors_ = 0;
    // Upload mode.
    reg::CommandSet commandSet_;
    unsigned commandSetWords_ = 0;
    bool uploadStarted_ = false;
    uint32_t uploadPos_ = 0;  // words
    uint32_t checksum_ = 0;
    bool eraseStarted_ = false;
    // Read window.
    bool windowOnStamp_ = false;
    uint32_t windowPos_ = 0;
    // What the running image brought.
    uint8_t stamp_[24] = {};
    std::vector<uint32_t> rom_;
    bool hasConfig_ = false;
    uint32_t idHigh_ = 0, idLow_ = 0;
    // Faults.
    std::vector<RegisterFault> faults_;
    uint32_t checksumXor_ = 0;
    bool noChecksum_ = false;
    bool vanishOnReset_ = false;
    bool vanished_ = false;
    bool eraseNeverDone_ = false;
};

}  // namespace tqsim
