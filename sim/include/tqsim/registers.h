// The TQ6410's bus-visible registers and words, restated here from the device's own
// documentation rather than taken from the library, so that a wrong constant on either side
// shows up as a failing exchange.
#pragma once

#include <cstdint>

namespace tqsim::reg {

// Node IDs: bus number in bits 6-15 (0x3FF = the local bus), node number in bits 0-5.
inline constexpr uint16_t kLocalBus = 0x3FF;
inline constexpr uint16_t NodeIdOf(unsigned nodeNumber) {
    return static_cast<uint16_t>((kLocalBus << 6) | (nodeNumber & 0x3F));
}

inline constexpr uint16_t kOffsetHigh = 0xFFFF;

inline constexpr uint32_t kFlashPortCtrl = 0xF0080000;
inline constexpr uint32_t kFlashEraseCtrl = 0xF0090000;
inline constexpr uint32_t kFlashUploadChecksum = 0xF0090004;
inline constexpr uint32_t kFlashUploadCtrl = 0xF0090008;
inline constexpr uint32_t kCsrModeCtrl = 0xF0090010;
inline constexpr uint32_t kFlashReadCtrl = 0xF0090014;
inline constexpr uint32_t kCsrUploadCommandSetCtrl = 0xF009001C;

// Configuration ROM space (IEEE 1212): 1 KiB from 0xFFFF F0000400.
inline constexpr uint32_t kConfigRomBase = 0xF0000400;
inline constexpr uint32_t kConfigRomSize = 0x400;

inline constexpr uint32_t kModeEdit = 0x45646974;       // "Edit"
inline constexpr uint32_t kModeForce = 0x46726365;      // "Frce"
inline constexpr uint32_t kUploaderReady = 0x414F6B21;  // "AOk!"
inline constexpr uint32_t kProcessorReset = 0x80000000;
inline constexpr uint32_t kReadTimestamp = 0xFFFFFFF0;
inline constexpr uint32_t kEraseAll = 0xFFFFFFFF;
inline constexpr uint32_t kEraseDone = 0x00000001;

// Flash port words (FLASH_PORT_CTRL): the top byte selects the kind.
inline constexpr uint32_t kPortClear = 0x00000000;
inline constexpr uint32_t kPortAddressCycle = 0x64000000;  // | 20-bit address
inline constexpr uint32_t kPortDataCycle = 0x34000000;     // | 16-bit data
inline constexpr uint32_t kPortDataEnd = 0x24000000;       // | the same 16-bit data
inline constexpr uint32_t kPortDeviceReset = 0x80000000;

// Configuration image kept in the configuration sector.
inline constexpr uint32_t kExtConfigMagic = 0xAFC924AD;
inline constexpr uint32_t kExtConfigWords = 26;  // header words; word 25 = ROM length in bytes
inline constexpr uint32_t kExtConfigRomLengthByte = 25 * 4;         // byte offset of word 25
inline constexpr uint32_t kExtConfigRomByte = kExtConfigWords * 4;  // the ROM follows the header
// A firmware's parameter 1 before the host patched it: no configuration image.
inline constexpr uint32_t kNoConfigAddress = 0xFFFFFFFF;

// The fixed quadlets of a bus information block: bus name "1394" and the bus capabilities.
inline constexpr uint32_t kBusName = 0x31333934;
inline constexpr uint32_t kBusCapabilities = 0x00FF5002;

// Windows error numbers that the simulated driver and bus report.
inline constexpr uint32_t kErrInvalidFunction = 1;
inline constexpr uint32_t kErrNotReady = 21;
inline constexpr uint32_t kErrInvalidParameter = 87;
inline constexpr uint32_t kErrSemTimeout = 121;  // no node answered (no acknowledge)
inline constexpr uint32_t kErrBusy = 170;
inline constexpr uint32_t kErrIoDevice = 1117;  // the node answered with an error (address/type)

// The seven flash command sets as the device's documentation lists them (word 0 first).
inline constexpr uint32_t kCommandSets[7][16] = {
    {0x62230010, 0x00AA0555, 0x005502AA, 0x00200555, 0x00900000, 0x00000000, 0x00A00000, 0x00000000,
     0x00000000, 0x00000000, 0x00AA0555, 0x005502AA, 0x00800555, 0x00AA0555, 0x005502AA,
     0x00100555},
    {0x64100010, 0x00000000, 0x00000000, 0x00000000, 0x00F00000, 0x00000000, 0x00AA0555, 0x005502AA,
     0x00A00555, 0x00000000, 0x00AA0555, 0x005502AA, 0x00800555, 0x00AA0555, 0x005502AA,
     0x00100555},
    {0x64000010, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00AA5555, 0x00552AAA,
     0x00A05555, 0x00000000, 0x00AA5555, 0x00552AAA, 0x00805555, 0x00AA5555, 0x00552AAA,
     0x00105555},
    {0x64100010, 0x00000000, 0x00000000, 0x00000000, 0x00F00000, 0x00000000, 0x00AAAAAA, 0x00555555,
     0x00A0AAAA, 0x00000000, 0x00AAAAAA, 0x00555555, 0x0080AAAA, 0x00AAAAAA, 0x00555555,
     0x0010AAAA},
    {0x64100010, 0x00000000, 0x00000000, 0x00000000, 0x00F00000, 0x00000000, 0x00AA5555, 0x00552AAA,
     0x00A05555, 0x00000000, 0x00AA5555, 0x00552AAA, 0x00805555, 0x00AA5555, 0x00552AAA,
     0x00105555},
    {0x62230010, 0x00AA0AAA, 0x00550555, 0x00200AAA, 0x00900000, 0x00000000, 0x00A00000, 0x00000000,
     0x00000000, 0x00000000, 0x00AA0AAA, 0x00550555, 0x00800AAA, 0x00AA0AAA, 0x00550555,
     0x00100AAA},
    {0x00000301, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00100000, 0x00000000,
     0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000,
     0x00000000},
};

// A command set as the device and the driver use it: groups of (address, data) pairs.
struct CommandPair {
    uint32_t address;
    uint32_t data;
};
struct CommandSet {
    uint32_t words[16] = {};

    static CommandSet BuiltIn(unsigned index, unsigned busWidth) {
        CommandSet s;
        for (int i = 0; i < 16; ++i) s.words[i] = kCommandSets[index % 7][i];
        if (busWidth == 16) s.words[0] |= 0x100;
        return s;
    }
    unsigned EraseCount() const { return Clip(words[0] >> 28, 6); }
    unsigned ProgramCount() const { return Clip(words[0] >> 24, 4); }
    unsigned ResetCount() const { return Clip(words[0] >> 20, 2); }
    unsigned UnlockCount() const { return Clip(words[0] >> 16, 3); }
    bool Wide() const { return (words[0] & 0x100) != 0; }
    CommandPair Pair(unsigned word) const { return {words[word] & 0xFFFF, words[word] >> 16}; }
    // First word of each group.
    static constexpr unsigned kUnlock = 1, kReset = 4, kProgram = 6, kErase = 10;

private:
    static unsigned Clip(uint32_t v, unsigned slots) {
        v &= 0xF;
        return v > slots ? slots : v;
    }
};

}  // namespace tqsim::reg
