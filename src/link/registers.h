// The TQ6410's control registers, command words, flash port words and flash command sets.
// They sit with the link, the lowest layer that speaks them; bus, flash and the layers above
// include them from here.
#pragma once

#include <cstdint>

namespace loric {

inline constexpr uint32_t REGISTER_OFFSET_HIGH = 0xFFFF;

// Register offsets (low 32 bits; offset high is 0xFFFF for all).
inline constexpr uint32_t FLASH_PORT_CTRL = 0xF0080000;
inline constexpr uint32_t FLASH_ERASE_CTRL = 0xF0090000;
inline constexpr uint32_t FLASH_UPLOAD_CHECKSUM = 0xF0090004;
inline constexpr uint32_t FLASH_UPLOAD_CTRL = 0xF0090008;
inline constexpr uint32_t CSR_MODE_CTRL = 0xF0090010;
inline constexpr uint32_t FLASH_READ_CTRL = 0xF0090014;
inline constexpr uint32_t CSR_UPLOAD_COMMAND_SET_CTRL = 0xF009001C;

// Command words and special values.
inline constexpr uint32_t MODE_EDIT = 0x45646974;       // "Edit"
inline constexpr uint32_t MODE_FORCE = 0x46726365;      // "Frce"
inline constexpr uint32_t UPLOADER_READY = 0x414F6B21;  // "AOk!"
inline constexpr uint32_t PROCESSOR_RESET = 0x80000000;
inline constexpr uint32_t READ_TIMESTAMP = 0xFFFFFFF0;
inline constexpr uint32_t ERASE_ALL = 0xFFFFFFFF;
inline constexpr uint32_t ERASE_DONE = 0x00000001;

// Flash port words.
inline constexpr uint32_t FLASH_PORT_CLEAR = 0x00000000;
inline constexpr uint32_t FLASH_PORT_ADDRESS_CYCLE = 0x64000000;
inline constexpr uint32_t FLASH_PORT_DATA_CYCLE = 0x34000000;
inline constexpr uint32_t FLASH_PORT_DATA_END = 0x24000000;
inline constexpr uint32_t FLASH_PORT_DEVICE_RESET = 0x80000000;
inline constexpr uint32_t FLASH_PORT_ADDRESS_MASK = 0x000FFFFF;

// Node IDs at which a blank or forced device answers, in probe order.
inline constexpr uint16_t BLANK_PROBE_FIRST = 0xFFC0;
inline constexpr uint16_t BLANK_PROBE_LAST = 0xFFC2;

// One command pair: flash address in bits 0-15, data in bits 16-31.
struct CommandPair {
    uint32_t address;
    uint32_t data;
};

// The built-in command sets, by the index a flash data file record gives (the low byte of
// FLASH_DEVICE::commandSetIndex). Named by the addresses their command cycles go to and what
// else sets them apart; the chips are those of data/flash_devices.dat that use them.
enum BuiltInCommandSet : uint32_t {
    // 0x555/0x2AA with unlock bypass: unlocked once per block, a two-cycle program, left with
    // (0, 0x90) (0, 0x00). The 29LV160, 29LV400 and 29LV800 wired word-wide (-x16).
    kCommandSet555Bypass = 0,
    // 0x555/0x2AA, a four-cycle program, reset (0, 0xF0). 29F002, 29F040B, 29LV040B, and the
    // 29F400 and 29F800 wired word-wide (-x16).
    kCommandSet555 = 1,
    // 0x5555/0x2AAA, a four-cycle program, no reset cycle. 39SF010A, 39SF020A, 39SF040,
    // 39VF160, 39VF400A, 39VF800A.
    kCommandSet5555NoReset = 2,
    // 0xAAAA/0x5555, a four-cycle program, reset (0, 0xF0). No chip of the shipped file.
    kCommandSetAAAA = 3,
    // 0x5555/0x2AAA, a four-cycle program, reset (0, 0xF0). 29F010.
    kCommandSet5555 = 4,
    // 0xAAA/0x555 with unlock bypass, as kCommandSet555Bypass at byte addresses: the 29LV400
    // and 29LV800 wired byte-wide (-x8).
    kCommandSetAAABypass = 5,
    // No flash port cycles at all (every count 0) and bits 8 and 9 of word 0 set: handed to the
    // driver unchanged, refused by the serial link. No chip of the shipped file.
    kCommandSetDriverOnly = 6,
};
inline constexpr uint32_t kBuiltInCommandSetCount = 7;

// Sixteen words that tell the device and the links how to unlock, reset, program and erase
// one kind of flash chip. Word 0 is the control word, words 1-15 are command pairs.
struct FLASH_COMMAND_SET {
    uint32_t words[16];

    // The built-in set `index` (0..6), with bit 8 added for a 16-bit bus.
    static FLASH_COMMAND_SET BuiltIn(uint32_t index, uint32_t busWidth);

    uint32_t EraseCount() const { return (words[0] >> 28) & 0xF; }
    uint32_t ProgramCount() const { return (words[0] >> 24) & 0xF; }
    uint32_t ResetCount() const { return (words[0] >> 20) & 0xF; }
    uint32_t UnlockCount() const { return (words[0] >> 16) & 0xF; }
    bool Is16Bit() const { return (words[0] & 0x100) != 0; }

    static CommandPair Pair(uint32_t word) { return {word & 0xFFFF, word >> 16}; }
    // The groups' first words and slot counts.
    static constexpr uint32_t kUnlockFirst = 1, kUnlockSlots = 3;
    static constexpr uint32_t kResetFirst = 4, kResetSlots = 2;
    static constexpr uint32_t kProgramFirst = 6, kProgramSlots = 4;
    static constexpr uint32_t kEraseFirst = 10, kEraseSlots = 6;
};
static_assert(sizeof(FLASH_COMMAND_SET) == 64);

extern const uint32_t kBuiltInCommandSets[kBuiltInCommandSetCount][16];

// The three flash port words of one write cycle for (address, data): address cycle,
// data cycle, data end. The address keeps its low 20 bits. The sequences built from them are
// in link/flash_port.h.
void FlashPortWords(CommandPair pair, uint32_t out[3]);

// The command pairs of one group of `set` (first word `first`, `count` pairs, at most
// `slots`); returns the number copied into `out`.
uint32_t CommandGroup(const FLASH_COMMAND_SET& set, uint32_t first, uint32_t count, uint32_t slots,
                      CommandPair* out);

}  // namespace loric
