#include "loader_job.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "device_facts.h"
#include "files.h"
#include "text.h"

namespace tool {

namespace {

// From the erase and programming performance tables of the datasheets: typical at 25 C and
// nominal supply, maximum under worst-case temperature, supply and cycle count. The 3 V
// parts give no maximum chip erase; eight times the typical is taken, as for the 5 V parts.
constexpr FamilyTiming kFamilies[] = {
    {"29F", {1000, 8000}, {8000, 64000}, 500},
    {"29LV", {700, 15000}, {11000, 88000}, 360},
    {"39SF", {18, 25}, {70, 100}, 20},
    {"39VF", {18, 25}, {70, 100}, 20},
};

constexpr uint32_t kCheapMarginMs = 250;

// The loader goes to sector 0; a loader larger than that sector needs the whole chip erased.
bool NeedsChipErase(const LoaderJob& step) {
    return FileSize(step.loader) > SectorBytes(*step.flash, 0);
}

// One attempt: the sequence of UploadFirmwareLoader, with the erase made here so that the
// wait after it can be given in milliseconds rather than whole seconds.
uint32_t Attempt(const LoaderJob& step, uint32_t waitMs) {
    if (step.assumeBlank || step.eraseDelay) {
        return UploadFirmwareLoader(step.node, step.flash, step.loader.c_str(),
                                    step.assumeBlank ? 1 : 0, step.eraseDelay.value_or(0),
                                    step.window, step.callback);
    }
    SetFlashDevice(step.flash);  // the link erases with the chip's command set
    // A device that runs nothing does not answer FLASH_UPLOAD_CTRL: it is at its flash port
    // already and stays at its node, which must not be looked for again (with several devices
    // at their flash ports, FindNode gives the first one, not necessarily this one).
    uint32_t value = 0;
    const bool running = ReadQuadlet(*step.node, kRegisterHigh, kFlashUploadCtrl, &value) == 0;
    if (SwitchDeviceToForceFlashMode(*step.node) == 0 && running) {
        // The device dropped to its flash port and answers at a new node.
        uint32_t blank = 1;
        const uint32_t status = FindNode(step.node, &blank);
        if (status != 0) return status;
    }
    const uint32_t address = NeedsChipErase(step) ? kEraseAll : step.flash->sectors[0].start;
    const uint32_t status = EraseFlashSector(*step.node, step.flash, address, 1);
    if (status != 0) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    return UploadFirmwareLoader(step.node, step.flash, step.loader.c_str(), 1, 0, step.window,
                                step.callback);
}

std::string SecondsText(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g s", ms / 1000.0);
    return text;
}

}  // namespace

const FamilyTiming& FamilyTimingOf(const FLASH_DEVICE& device) {
    const std::string name = Upper(device.deviceName);
    const size_t digit = name.find_first_of("0123456789");
    const std::string part = digit == std::string::npos ? name : name.substr(digit);
    // No family name is the start of another, so the first match is the family.
    for (const auto& f : kFamilies)
        if (part.rfind(f.family, 0) == 0) return f;
    return kFamilies[0];
}

uint32_t ProgramLoader(const LoaderJob& step) {
    const FamilyTiming& timing = FamilyTimingOf(*step.flash);
    const bool chipErase = NeedsChipErase(step);
    const uint32_t* erase = chipErase ? timing.chipEraseMs : timing.sectorEraseMs;
    // Where the longest erase is only a little longer than the typical one (the 39SF/39VF
    // parts), waiting for it costs less than a second attempt would.
    const uint32_t typical = erase[1] - erase[0] <= kCheapMarginMs ? erase[1] : erase[0];
    const uint32_t firstWait = step.instantChip ? 0 : typical;
    uint32_t status = Attempt(step, firstWait);
    // Only a loader that does not answer after it was written is worth a second try: the
    // chip may still have been erasing or programming when the writes came.
    const bool retry = status == LORIC_ERR_DEVICE_NOT_RELOCATED && !step.eraseDelay &&
                       !step.shared && !step.assumeBlank && !step.instantChip &&
                       FlashDeviceId(*step.flash) != FLASH_INTERNAL_DEVICE_ID;
    if (!retry) return status;

    if (step.say)
        step.say("The bootstrap loader did not start: the " + std::string(timing.family) +
                 " chip may still have been busy. Trying once more with the family's longest " +
                 (chipErase ? "chip" : "sector") + " erase time (" + SecondsText(erase[1]) +
                 ") and program time (" + std::to_string(timing.maxProgramUs) + " us).");
    // The failed loader left the device at its flash port, at the node its reset gave it.
    uint32_t blank = 1;
    status = FindNode(step.node, &blank);
    if (status != 0) return status;
    const int32_t savedDelay = step.flash->byteProgramDelay;
    if (step.flash->byteProgramDelay < static_cast<int32_t>(timing.maxProgramUs))
        step.flash->byteProgramDelay = static_cast<int32_t>(timing.maxProgramUs);
    status = Attempt(step, erase[1]);
    step.flash->byteProgramDelay = savedDelay;
    SetFlashDevice(step.flash);
    return status;
}

}  // namespace tool
