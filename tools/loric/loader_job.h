// The loader job: the bootstrap loader written through the flash port, with its erase and its
// one retry. The flash port cannot be read, so the chip cannot be polled there: the tool waits
// the erase time of the chip's family, and when the loader then does not answer it tries once
// more with the family's longest erase and program times.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "loric.h"

namespace tool {

// Datasheet figures of a flash family.
struct FamilyTiming {
    const char* family;
    uint32_t sectorEraseMs[2];  // typical, maximum
    uint32_t chipEraseMs[2];
    uint32_t maxProgramUs;  // longest byte or word program time
};

// The family of a chip record, from its device name ("29LV800B-x16" -> 29LV). Unknown names
// get the 5 V 29F figures, the slowest of the common typical erase times.
const FamilyTiming& FamilyTimingOf(const FLASH_DEVICE& device);

struct LoaderJob {
    uint16_t* node;  // in: the device found; out: the node of the running loader
    FLASH_DEVICE* flash;
    std::string loader;
    bool assumeBlank = false;            // --blank: nothing to erase
    std::optional<uint32_t> eraseDelay;  // --erase-delay: the user's own wait, no retry
    bool instantChip = false;            // the embedded simulator: its chip needs no time
    ProgressWindow window = nullptr;
    ProgressCallback callback = nullptr;
    std::function<void(const std::string&)> say;
    // Other devices share the bus: no second attempt (it finds the device with FindNode, which
    // would take the first board at a flash port).
    bool shared = false;
};

// Programs the bootstrap loader through the flash port and finds it running. Returns the
// library's status of the last attempt (0 on success).
uint32_t ProgramLoader(const LoaderJob& step);

}  // namespace tool
