// The chip named with --chip checked against what the device itself shows, before anything is
// erased: the configuration address written into the firmware it runs, and that firmware's size.
#pragma once

#include <cstdint>

namespace tool {

class Job;

// What the running firmware's boot header and parameter section say.
struct RunningFirmware {
    bool found = false;   // a firmware boot header at flash byte 0
    uint32_t length = 0;  // the image length in its boot header
    bool hasConfigAddress = false;
    uint32_t configAddress = 0;  // parameter 1: where it looks for its configuration
};

// For a device that runs its firmware: refuses (LORIC_ERR_INVALID_PARAMETER, naming the chip
// given and what the device shows) a chip whose configuration sector is not where the firmware
// looks for its configuration (or, when the firmware does not say, where no configuration lies
// while another chip's configuration sector holds one), or that is too small for the firmware.
// --force never overrides it. Returns what it read (found false for a device that shows no firmware
// boot header).
RunningFirmware CheckChipAgainstDevice(Job& job);

}  // namespace tool
