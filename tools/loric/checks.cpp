#include "checks.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "../../src/platform/bytes.h"
#include "device_facts.h"
#include "errors.h"
#include "text.h"

namespace tool {
namespace {

// The boot header the device's boot code reads at flash byte 0, little-endian words:
// "TQ64", the kind ("LOAD" or "FIRM"), the image length, the boot sum (a 32-bit sum of the
// image's quadlets with this field and the parameter quadlets counted as 0), the time stamp's
// offset, parameter 1's offset (0: none), the parameter count, 0.
constexpr size_t kHeaderBytes = 32;
constexpr size_t kStampBytes = 24;
constexpr char kMarker[] = "FWPARAMETERS_";

uint32_t Word(const std::vector<uint8_t>& bytes, size_t at) {
    return loric::bytes::LoadLittleEndian32(&bytes[at]);
}

const char* KindName(ImageKind kind) {
    return kind == ImageKind::Loader ? "bootstrap loader" : "firmware";
}

// Where the library writes the configuration address: parameter 1 of the "FWPARAMETERS_"
// section, the first quadlet at least 16 bytes after the marker. Returns false (and says why)
// when the section is missing or unusable.
bool FindParameterOne(const std::vector<uint8_t>& image, size_t* offset, std::string* why) {
    const size_t length = sizeof kMarker - 1;
    for (size_t at = 0; at + length <= image.size(); ++at) {
        if (std::memcmp(&image[at], kMarker, length) != 0) continue;
        std::string digits;
        for (size_t i = at + length;
             i < image.size() && i < at + length + 8 && std::isxdigit(image[i]); ++i) {
            digits += static_cast<char>(image[i]);
        }
        if (digits.empty() || std::strtoul(digits.c_str(), nullptr, 16) == 0) {
            *why = "its \"FWPARAMETERS_\" section at " + Hex(at, 0) + " holds no parameter";
            return false;
        }
        *offset = (at + 16 + 3) & ~static_cast<size_t>(3);
        if (*offset + 4 > image.size()) {
            *why =
                "its \"FWPARAMETERS_\" section at " + Hex(at, 0) + " runs past the end of the file";
            return false;
        }
        return true;
    }
    *why =
        "it has no \"FWPARAMETERS_\" section, so the firmware could not learn where its "
        "configuration lies";
    return false;
}

}  // namespace

std::vector<uint8_t> ReadInputFile(const std::string& path, const std::string& what) {
    const std::string hint = "Check the file name and that the file can be read.";
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        throw ToolError(LORIC_ERR_FILE_OPEN,
                        "the " + what + " " + path + " is a folder, not a file", hint);
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError(LORIC_ERR_FILE_OPEN, "cannot open the " + what + " " + path, hint);
    std::vector<uint8_t> bytes;
    try {
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        in.setstate(std::ios::badbit);
    }
    if (in.bad())
        throw ToolError(LORIC_ERR_FILE_OPEN, "cannot read the " + what + " " + path, hint);
    if (bytes.empty())
        throw ToolError(LORIC_ERR_FILE_OPEN, "the " + what + " " + path + " is empty",
                        "Check the file.");
    return bytes;
}

std::vector<std::string> ImageProblems(const std::vector<uint8_t>& image, ImageKind kind) {
    std::vector<std::string> problems;
    if (image.size() < kHeaderBytes || std::memcmp(image.data(), "TQ64", 4) != 0) {
        problems.push_back(
            "it does not start with the boot header (\"TQ64\"), so the device would not start it");
    } else {
        const bool loader = std::memcmp(&image[4], "LOAD", 4) == 0;
        const bool firmware = std::memcmp(&image[4], "FIRM", 4) == 0;
        const uint32_t length = Word(image, 8);
        const uint32_t parameterOffset = Word(image, 20);
        const uint32_t parameterCount = Word(image, 24);
        if (!loader && !firmware) {
            problems.push_back(
                "its boot header names no image kind the device knows (\"LOAD\" or \"FIRM\")");
        } else if (loader && kind == ImageKind::Firmware) {
            problems.push_back(
                "it is a bootstrap loader image, not firmware (`loric program-loader` or --loader "
                "takes it)");
        } else if (firmware && kind == ImageKind::Loader) {
            problems.push_back(
                "it is a firmware image, not a bootstrap loader (`loric program FIRMWARE CONFIG` "
                "takes it)");
        }
        if (length > image.size()) {
            problems.push_back("it is cut short: its boot header says " + std::to_string(length) +
                               " bytes, the file holds " + std::to_string(image.size()));
        } else if (length < kHeaderBytes + kStampBytes || length % 4 != 0 ||
                   static_cast<uint64_t>(Word(image, 16)) + kStampBytes > length ||
                   (parameterOffset != 0 && (parameterOffset % 4 != 0 ||
                                             parameterOffset + 4ull * parameterCount > length))) {
            problems.push_back(
                "its boot header is not consistent (length, time stamp or parameters outside the "
                "image)");
        } else {
            uint32_t sum = 0;
            const uint64_t parameterEnd = parameterOffset + 4ull * parameterCount;
            for (uint32_t at = 0; at + 4 <= length; at += 4) {
                if (at == 12 ||
                    (parameterOffset != 0 && at >= parameterOffset && at < parameterEnd))
                    continue;
                sum += Word(image, at);
            }
            if (sum != Word(image, 12)) {
                problems.push_back("it is damaged: its boot sum is " + Hex(Word(image, 12), 0) +
                                   ", its bytes add up to " + Hex(sum, 0));
            }
        }
        if (kind == ImageKind::Firmware && firmware) {
            size_t offset = 0;
            std::string why;
            if (FindParameterOne(image, &offset, &why) && parameterOffset != offset) {
                problems.push_back(
                    "its boot header puts parameter 1 at " + Hex(parameterOffset, 0) +
                    ", but the configuration address is written at " + Hex(offset, 0));
            }
        }
    }
    if (kind == ImageKind::Firmware) {
        size_t offset = 0;
        std::string why;
        if (!FindParameterOne(image, &offset, &why)) problems.push_back(why);
    }
    return problems;
}

void CheckImage(const std::vector<uint8_t>& image, ImageKind kind, const FLASH_DEVICE& chip,
                const std::string& path, bool force) {
    const uint64_t size = image.size();
    if (kind == ImageKind::Firmware && size > chip.firmwareSpace) {
        throw ToolError(LORIC_ERR_FILE_TOO_LARGE,
                        "the firmware image " + path + " (" + std::to_string(size) +
                            " bytes) does not fit below the configuration sector of " +
                            chip.deviceName + " (" + std::to_string(chip.firmwareSpace) + " bytes)",
                        "Check --chip and the firmware file.");
    }
    if (kind == ImageKind::Loader && size > ChipBytes(chip)) {
        throw ToolError(LORIC_ERR_FILE_TOO_LARGE,
                        "the loader image " + path + " (" + std::to_string(size) +
                            " bytes) is larger than " + chip.deviceName + " (" +
                            std::to_string(ChipBytes(chip)) + " bytes)",
                        "Check --chip and the loader file.");
    }
    std::vector<std::string> problems = ImageProblems(image, kind);
    if (problems.empty()) return;
    if (force) {
        for (const auto& problem : problems) {
            std::fprintf(stderr, "loric: warning: programming %s anyway (--force): %s\n",
                         path.c_str(), problem.c_str());
        }
        return;
    }
    std::string text = path + " is not a " + KindName(kind) + " image the device can use:";
    for (const auto& problem : problems) text += "\n  " + problem;
    throw ToolError(LORIC_ERR_FILE_OPEN, text,
                    "Check the file; --force programs it anyway (the device may then not start).");
}

uint64_t ChipBytes(const FLASH_DEVICE& chip) { return chip.totalBits / 8; }

void CheckFlashRange(uint64_t address, uint64_t length, const FLASH_DEVICE& chip) {
    const uint64_t size = ChipBytes(chip);
    if (address + length > size) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the range 0x%06llX + %llu bytes runs past the end of %s (%llu bytes)",
                      static_cast<unsigned long long>(address),
                      static_cast<unsigned long long>(length), chip.deviceName,
                      static_cast<unsigned long long>(size));
        throw ToolError(LORIC_ERR_INVALID_PARAMETER, text,
                        "Addresses count bytes from 0; `loric chips " +
                            std::string(chip.deviceName) + "` shows the chip's sectors.");
    }
}

uint32_t FirmwareSectors(const FLASH_DEVICE& chip, uint64_t bytes, uint64_t* regionBytes) {
    // The internal flash is erased whole: everything below the configuration goes.
    const bool internal = FlashDeviceId(chip) == FLASH_INTERNAL_DEVICE_ID;
    uint64_t total = 0;
    uint32_t count = 0;
    for (uint32_t i = 0; i < chip.sectorCount && i < LORIC_MAX_SECTORS; ++i) {
        if (internal && &chip.sectors[i] == chip.configSector) break;
        total += SectorBytes(chip, i);
        count = i + 1;
        if (!internal && total >= bytes) break;
    }
    if (regionBytes) *regionBytes = total;
    return count;
}

bool ConfigAddressOf(const std::vector<uint8_t>& image, uint32_t* address) {
    size_t offset = 0;
    std::string why;
    if (!FindParameterOne(image, &offset, &why)) return false;
    *address = Word(image, offset);
    return true;
}

std::vector<uint8_t> ProgrammedFirmwareImage(std::vector<uint8_t> image,
                                             uint32_t configByteAddress) {
    const size_t markerLength = sizeof kMarker - 1;
    for (size_t at = 0; at + markerLength <= image.size(); ++at) {
        if (std::memcmp(&image[at], kMarker, markerLength) != 0) continue;
        // Parameter 1 is the first quadlet-aligned offset at least 16 bytes after the marker.
        size_t parameter = (at + 16 + 3) & ~static_cast<size_t>(3);
        if (parameter + 4 <= image.size()) {
            loric::bytes::StoreLittleEndian32(&image[parameter], configByteAddress);
        }
        break;
    }
    return image;
}

}  // namespace tool
