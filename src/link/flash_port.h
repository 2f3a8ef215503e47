// The flash port: the device register FLASH_PORT_CTRL, through which the host drives the bus of
// the flash chip one write cycle at a time while the device's firmware stands aside (a blank or
// forced device, or the bootstrap loader's first steps). Programming, erasing and resetting the
// chip this way are sequences of quadlet writes built from the flash command set. Every link that
// can write a quadlet to its target node drives the flash port through these functions; a link
// whose driver programs the chip itself (DriverLink) does not need them.
//
// One command pair becomes one flash write cycle, three quadlets to FLASH_PORT_CTRL (see
// FlashPortWords): the address cycle, the data cycle and the data end. A sequence stops at the
// first write that fails, so the chip is left in the middle of a command and the caller reports
// the failure; the flash port keeps no state between calls.
#pragma once

#include <cstdint>

#include "link/registers.h"

namespace loric {

// Writes one quadlet to the link's current target node: the one thing the flash port asks of a
// transport. False on failure, with the last-error code set by the link.
class QuadletWriter {
public:
    virtual bool WriteTargetQuadlet(uint32_t offsetHigh, uint32_t offsetLow, uint32_t value) = 0;

protected:
    ~QuadletWriter() = default;
};

namespace flash_port {

// Sends `count` command pairs as flash write cycles, in order. When `replacementAddress` has
// bit 31 set, the last pair goes to the low 20 bits of it instead of its own address (the
// target of a program or sector erase). Count 0 sends nothing and is true. False at the first
// failed write.
bool WriteCycles(QuadletWriter& writer, const CommandPair* pairs, uint32_t count,
                 uint32_t replacementAddress);

// The flash chip's reset (back to reading): the reset pairs of `set` as stored. A set without
// reset pairs sends nothing and is true.
bool ResetFlash(QuadletWriter& writer, const FLASH_COMMAND_SET& set);

// Resets the device itself: FLASH_PORT_DEVICE_RESET written to FLASH_PORT_CTRL. The device
// resets as the write arrives and may never answer it, so the result (that of the write) tells
// little; the links report success whatever it is.
bool ResetDevice(QuadletWriter& writer);

// Programs `byteCount` bytes of `data` into the chip at `flashAddress` (counted in words of the
// bus width). With unlock pairs in `set`, they are sent once first and the reset pairs once at
// the end. Each byte (or, with bit 8 of word 0, each 16-bit word, low byte first) costs the
// program pairs, the last carrying the address and the data, then a sleep of
// `byteProgramDelayMs`. An odd last byte on a 16-bit bus goes with an all-ones high byte, which
// programming leaves as it is; nothing past `byteCount` is read. False (error 87 when `data` is
// missing, else the writer's code) at the first failure; what was programmed stays programmed.
bool Program(QuadletWriter& writer, const FLASH_COMMAND_SET& set, uint32_t flashAddress,
             const uint8_t* data, uint32_t byteCount, uint32_t byteProgramDelayMs);

// Erases one sector: the erase pairs of `set`, the last sent to `sectorAddress` (low 20 bits)
// with data 0x30. ERASE_ALL erases the whole chip: the erase pairs as stored. Does not wait for
// the chip to finish; the caller polls or waits as the chip needs.
bool EraseSector(QuadletWriter& writer, const FLASH_COMMAND_SET& set, uint32_t sectorAddress);

}  // namespace flash_port
}  // namespace loric
