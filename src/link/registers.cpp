#include "link/registers.h"

namespace loric {

// One row per BuiltInCommandSet, laid out by group: control word; unlock pairs (3 slots);
// reset pairs (2); program pairs (4, the last one the target); erase pairs (6, the last one
// replaced for a sector erase). Each pair is data << 16 | address.
// clang-format off
const uint32_t kBuiltInCommandSets[kBuiltInCommandSetCount][16] = {
    // kCommandSet555Bypass
    {0x62230010,
     0x00AA0555, 0x005502AA, 0x00200555,
     0x00900000, 0x00000000,
     0x00A00000, 0x00000000, 0x00000000, 0x00000000,
     0x00AA0555, 0x005502AA, 0x00800555, 0x00AA0555, 0x005502AA, 0x00100555},
    // kCommandSet555
    {0x64100010,
     0x00000000, 0x00000000, 0x00000000,
     0x00F00000, 0x00000000,
     0x00AA0555, 0x005502AA, 0x00A00555, 0x00000000,
     0x00AA0555, 0x005502AA, 0x00800555, 0x00AA0555, 0x005502AA, 0x00100555},
    // kCommandSet5555NoReset
    {0x64000010,
     0x00000000, 0x00000000, 0x00000000,
     0x00000000, 0x00000000,
     0x00AA5555, 0x00552AAA, 0x00A05555, 0x00000000,
     0x00AA5555, 0x00552AAA, 0x00805555, 0x00AA5555, 0x00552AAA, 0x00105555},
    // kCommandSetAAAA
    {0x64100010,
     0x00000000, 0x00000000, 0x00000000,
     0x00F00000, 0x00000000,
     0x00AAAAAA, 0x00555555, 0x00A0AAAA, 0x00000000,
     0x00AAAAAA, 0x00555555, 0x0080AAAA, 0x00AAAAAA, 0x00555555, 0x0010AAAA},
    // kCommandSet5555
    {0x64100010,
     0x00000000, 0x00000000, 0x00000000,
     0x00F00000, 0x00000000,
     0x00AA5555, 0x00552AAA, 0x00A05555, 0x00000000,
     0x00AA5555, 0x00552AAA, 0x00805555, 0x00AA5555, 0x00552AAA, 0x00105555},
    // kCommandSetAAABypass
    {0x62230010,
     0x00AA0AAA, 0x00550555, 0x00200AAA,
     0x00900000, 0x00000000,
     0x00A00000, 0x00000000, 0x00000000, 0x00000000,
     0x00AA0AAA, 0x00550555, 0x00800AAA, 0x00AA0AAA, 0x00550555, 0x00100AAA},
    // kCommandSetDriverOnly
    {0x00000301,
     0x00000000, 0x00000000, 0x00000000,
     0x00000000, 0x00000000,
     0x00100000, 0x00000000, 0x00000000, 0x00000000,
     0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000},
};
// clang-format on

FLASH_COMMAND_SET FLASH_COMMAND_SET::BuiltIn(uint32_t index, uint32_t busWidth) {
    FLASH_COMMAND_SET set{};
    if (index >= kBuiltInCommandSetCount) return set;
    for (int i = 0; i < 16; ++i) set.words[i] = kBuiltInCommandSets[index][i];
    if (busWidth == 16) set.words[0] |= 0x100;
    return set;
}

void FlashPortWords(CommandPair pair, uint32_t out[3]) {
    out[0] = FLASH_PORT_ADDRESS_CYCLE | (pair.address & FLASH_PORT_ADDRESS_MASK);
    out[1] = FLASH_PORT_DATA_CYCLE | (pair.data & 0xFFFF);
    out[2] = FLASH_PORT_DATA_END | (pair.data & 0xFFFF);
}

uint32_t CommandGroup(const FLASH_COMMAND_SET& set, uint32_t first, uint32_t count, uint32_t slots,
                      CommandPair* out) {
    if (count > slots) count = slots;
    for (uint32_t i = 0; i < count; ++i) out[i] = FLASH_COMMAND_SET::Pair(set.words[first + i]);
    return count;
}

}  // namespace loric
