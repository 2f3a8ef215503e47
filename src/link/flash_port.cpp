#include "link/flash_port.h"

#include "platform/platform.h"

namespace loric::flash_port {

namespace {

// Bit 31 of a replacement address says "replace the last pair's address".
constexpr uint32_t kReplace = 0x80000000u;

}  // namespace

bool WriteCycles(QuadletWriter& writer, const CommandPair* pairs, uint32_t count,
                 uint32_t replacementAddress) {
    for (uint32_t i = 0; i < count; ++i) {
        CommandPair pair = pairs[i];
        if (i + 1 == count && (replacementAddress & kReplace) != 0)
            pair.address = replacementAddress & FLASH_PORT_ADDRESS_MASK;
        uint32_t words[3];
        FlashPortWords(pair, words);
        for (uint32_t word : words)
            if (!writer.WriteTargetQuadlet(REGISTER_OFFSET_HIGH, FLASH_PORT_CTRL, word))
                return false;
    }
    return true;
}

bool ResetFlash(QuadletWriter& writer, const FLASH_COMMAND_SET& set) {
    CommandPair pairs[FLASH_COMMAND_SET::kResetSlots];
    const uint32_t count = CommandGroup(set, FLASH_COMMAND_SET::kResetFirst, set.ResetCount(),
                                        FLASH_COMMAND_SET::kResetSlots, pairs);
    return WriteCycles(writer, pairs, count, 0);
}

bool ResetDevice(QuadletWriter& writer) {
    return writer.WriteTargetQuadlet(REGISTER_OFFSET_HIGH, FLASH_PORT_CTRL,
                                     FLASH_PORT_DEVICE_RESET);
}

bool Program(QuadletWriter& writer, const FLASH_COMMAND_SET& set, uint32_t flashAddress,
             const uint8_t* data, uint32_t byteCount, uint32_t byteProgramDelayMs) {
    if (data == nullptr && byteCount != 0) {
        platform::SetLastErrorCode(platform::kErrorInvalidParameter);
        return false;
    }
    CommandPair unlock[FLASH_COMMAND_SET::kUnlockSlots];
    const uint32_t unlockCount =
        CommandGroup(set, FLASH_COMMAND_SET::kUnlockFirst, set.UnlockCount(),
                     FLASH_COMMAND_SET::kUnlockSlots, unlock);
    if (unlockCount != 0 && !WriteCycles(writer, unlock, unlockCount, 0)) return false;

    CommandPair program[FLASH_COMMAND_SET::kProgramSlots];
    const uint32_t programCount =
        CommandGroup(set, FLASH_COMMAND_SET::kProgramFirst, set.ProgramCount(),
                     FLASH_COMMAND_SET::kProgramSlots, program);
    const bool wide = set.Is16Bit();
    for (uint32_t i = 0; i < byteCount;) {
        uint32_t address, value;
        if (wide) {
            address = flashAddress + i / 2;
            const uint32_t high = i + 1 < byteCount ? data[i + 1] : 0xFF;
            value = data[i] + 256 * high;
            i += 2;
        } else {
            address = flashAddress + i;
            value = data[i];
            i += 1;
        }
        if (programCount != 0) program[programCount - 1].data = value;
        if (!WriteCycles(writer, program, programCount, address | kReplace)) return false;
        platform::SleepMilliseconds(byteProgramDelayMs);
    }

    if (unlockCount != 0 && !ResetFlash(writer, set)) return false;
    return true;
}

bool EraseSector(QuadletWriter& writer, const FLASH_COMMAND_SET& set, uint32_t sectorAddress) {
    CommandPair pairs[FLASH_COMMAND_SET::kEraseSlots];
    const uint32_t count = CommandGroup(set, FLASH_COMMAND_SET::kEraseFirst, set.EraseCount(),
                                        FLASH_COMMAND_SET::kEraseSlots, pairs);
    if (sectorAddress == ERASE_ALL) return WriteCycles(writer, pairs, count, 0);
    if (count != 0) pairs[count - 1].data = 0x30;
    return WriteCycles(writer, pairs, count, sectorAddress | kReplace);
}

}  // namespace loric::flash_port
