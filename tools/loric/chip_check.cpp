#include "chip_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "../../src/platform/bytes.h"
#include "chips.h"
#include "device_facts.h"
#include "errors.h"
#include "job.h"
#include "read_window.h"
#include "text.h"

namespace tool {
namespace {

// The chips of the flash data file whose configuration sector starts at `address`, for the
// message ("" when none or when the file cannot be read again).
std::string ChipsWithConfigAt(const Globals& globals, uint32_t address) {
    std::string names;
    try {
        const ChipTable table = LoadChipTable(FlashDataFile(globals));
        int shown = 0;
        for (const auto& chip : table.devices) {
            if (chip.configSector == nullptr || chip.configByteAddress != address) continue;
            if (++shown > 6) {
                names += " and more";
                break;
            }
            names += (names.empty() ? "" : ", ") + std::string(chip.deviceName);
        }
    } catch (const ToolError&) {
        return {};
    }
    return names;
}

// Whether a configuration image starts at `address` (its magic word).
bool ConfigurationAt(uint16_t node, uint32_t address) {
    return loric::bytes::LoadLittleEndian32(ReadFlash(node, address, 4, nullptr).data()) ==
           kConfigMagic;
}

// Where another chip of the flash data file keeps a configuration that the device holds, when
// there is none where `chip` keeps it; 0 when there is one there, or none elsewhere either.
uint32_t ConfigurationElsewhere(Job& job, const FLASH_DEVICE& chip) {
    if (ConfigurationAt(job.node(), chip.configByteAddress)) return 0;
    try {
        const ChipTable table = LoadChipTable(FlashDataFile(job.globals()));
        std::vector<uint32_t> tried{chip.configByteAddress};
        for (const auto& other : table.devices) {
            const uint32_t address = other.configByteAddress;
            if (other.configSector == nullptr || address == 0) continue;
            if (std::find(tried.begin(), tried.end(), address) != tried.end()) continue;
            tried.push_back(address);
            if (ConfigurationAt(job.node(), address)) return address;
        }
    } catch (const ToolError&) {
    }
    return 0;
}

}  // namespace

RunningFirmware CheckChipAgainstDevice(Job& job) {
    const FLASH_DEVICE& chip = job.chip();
    RunningFirmware running;
    const std::vector<uint8_t> header = ReadFlash(job.node(), 0, 32, nullptr);
    if (std::memcmp(header.data(), "TQ64FIRM", 8) != 0) return running;
    running.found = true;
    running.length = loric::bytes::LoadLittleEndian32(&header[8]);
    const uint32_t parameter = loric::bytes::LoadLittleEndian32(&header[20]);
    if (parameter != 0 && parameter % 4 == 0 && parameter + 4ull <= running.length) {
        const std::vector<uint8_t> word = ReadFlash(job.node(), parameter, 4, nullptr);
        running.configAddress = loric::bytes::LoadLittleEndian32(word.data());
        // All ones: a parameter never set (an image put in by other means), which says nothing.
        running.hasConfigAddress = running.configAddress != 0xFFFFFFFF;
    }
    const std::string given = std::string("--chip ") + chip.deviceName;
    const std::string hint =
        "Name the flash chip on the board with --chip (`loric chips` lists them). Nothing on "
        "the device was changed; --force does not override this check.";
    if (running.hasConfigAddress && running.configAddress != chip.configByteAddress) {
        const std::string others = ChipsWithConfigAt(job.globals(), running.configAddress);
        throw ToolError(
            LORIC_ERR_INVALID_PARAMETER,
            given + " does not match the device: " + chip.deviceName +
                " keeps its configuration at " + Hex(chip.configByteAddress, 6) +
                ", but the firmware the device runs looks for it at " +
                Hex(running.configAddress, 6),
            (others.empty() ? ""
                            : "Chips with their configuration at " + Hex(running.configAddress, 6) +
                                  ": " + others + ". ") +
                hint);
    }
    if (!running.hasConfigAddress) {
        // No word from the firmware: the configuration itself shows where it lies.
        if (const uint32_t elsewhere = ConfigurationElsewhere(job, chip)) {
            const std::string others = ChipsWithConfigAt(job.globals(), elsewhere);
            throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                            given + " does not match the device: " + chip.deviceName +
                                " keeps its configuration at " + Hex(chip.configByteAddress, 6) +
                                ", where the device holds none, but it holds one at " +
                                Hex(elsewhere, 6),
                            (others.empty() ? ""
                                            : "Chips with their configuration at " +
                                                  Hex(elsewhere, 6) + ": " + others + ". ") +
                                hint);
        }
    }
    if (running.length > chip.firmwareSpace) {
        throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                        given + " does not match the device: the firmware the device runs is " +
                            std::to_string(running.length) + " bytes, more than " +
                            chip.deviceName +
                            " holds below "
                            "its configuration (" +
                            std::to_string(chip.firmwareSpace) + " bytes)",
                        hint);
    }
    return running;
}

}  // namespace tool
