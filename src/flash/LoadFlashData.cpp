// LoadFlashData: reads a flash data file into the caller's FLASH_DEVICE array.
//
// The file is text: the magic line, a list of up to 32 group names ended by an empty line,
// then device records separated by empty lines. A record is a header line
// "<groupIndex>,<name>", the command set index, the byte program delay, a flags line that
// names the bus width, and sector lines ("K64", "65536", or a repeat line "X8" followed by
// a size line) up to an empty line.
#include <cstdio>
#include <cstring>

#include "api/context.h"
#include "api/export_frame.h"
#include "flash/flash_data.h"

namespace loric {
namespace {

constexpr char kMagicLine[] = "FLASH_DATA_FILE_V3";
constexpr uint32_t kMaxNames = 32;
constexpr uint32_t kNameSize = 32;
// The configuration sector is the last one that ends within the first 128K words.
constexpr uint32_t kConfigLimit = 0x20000;
// A bottom sector of fewer bits than this cannot hold the boot loader (2048 bytes).
constexpr uint64_t kBootLoaderBits = 16384;
constexpr uint32_t kMbit = 0x100000;

void CopyName(char* field, const char* text) {
    // Longer names are cut to the field.
    std::memset(field, 0, kNameSize);
    size_t length = std::strlen(text);
    std::memcpy(field, text, length < kNameSize - 1 ? length : kNameSize - 1);
}

bool ParseInt(const char* text, int* value) { return std::sscanf(text, "%d", value) == 1; }

class FlashFileReader {
public:
    explicit FlashFileReader(FILE* file) : file_(file) {}

    uint32_t Load(FLASH_DEVICE* devices, uint32_t* deviceCount);
    // True once the file has yielded kMaxTextFileBytes bytes: what was read is incomplete.
    bool Exhausted() const { return budget_ == 0; }

private:
    uint32_t ReadLine() { return ReadFileLine(file_, line_, kFlashLineSize, &budget_); }
    uint32_t ParseRecord(FLASH_DEVICE& device, uint32_t position);
    uint32_t RecordFailure(const FLASH_DEVICE& device, const char* reason);

    FILE* file_;
    char line_[kFlashLineSize] = {};
    char names_[kMaxNames][kNameSize] = {};
    uint32_t nameCount_ = 0;
    uint64_t budget_ = kMaxTextFileBytes;
};

uint32_t FlashFileReader::RecordFailure(const FLASH_DEVICE& device, const char* reason) {
    Trace(TRACE_ERROR, "Flash %s \n", device.deviceName);
    Trace(TRACE_ERROR, "%s", reason);
    return LORIC_ERR_FLASH_DATA_FILE;
}

uint32_t FlashFileReader::Load(FLASH_DEVICE* devices, uint32_t* deviceCount) {
    ReadLine();
    if (std::strcmp(line_, kMagicLine) != 0) return LORIC_ERR_FLASH_DATA_FILE;

    while (nameCount_ < kMaxNames && ReadLine() != 0) CopyName(names_[nameCount_++], line_);

    uint32_t filled = 0;
    for (;;) {
        // Empty lines before a record; end of file here ends the load.
        uint32_t length;
        do {
            length = ReadLine();
        } while (length == 0 && !std::feof(file_) && !Exhausted());
        if (length == 0) return LORIC_OK;

        // The array is full and another record follows (empty lines after the 128th record
        // leave nothing out and draw no warning).
        if (filled == LORIC_MAX_FLASH_DEVICES) {
            Trace(TRACE_WARNING,
                  "Flash file contains too many devices,only first %d flashes will be supported\n",
                  LORIC_MAX_FLASH_DEVICES);
            return LORIC_OK;
        }
        uint32_t status = ParseRecord(devices[filled], filled);
        if (status != LORIC_OK) return status;
        *deviceCount = ++filled;
        if (std::feof(file_)) return LORIC_OK;
    }
}

// Parses the record whose header line is in line_. `position` is its index in the file.
uint32_t FlashFileReader::ParseRecord(FLASH_DEVICE& device, uint32_t position) {
    int groupIndex = 0;
    char name[kFlashLineSize] = {};
    int fields = std::sscanf(line_, "%d,%63s", &groupIndex, name);
    CopyName(device.deviceName, name);
    if (fields < 1) return RecordFailure(device, "- Unreadable record header\n");
    device.groupIndex = groupIndex;
    // An index outside the names listed selects no name.
    if (groupIndex >= 0 && static_cast<uint32_t>(groupIndex) < nameCount_)
        CopyName(device.groupName, names_[groupIndex]);
    else
        CopyName(device.groupName, "");

    int value = 0;
    ReadLine();
    if (!ParseInt(line_, &value)) return RecordFailure(device, "- Unreadable command set index\n");
    device.commandSetIndex = value;
    ReadLine();
    if (!ParseInt(line_, &value)) return RecordFailure(device, "- Unreadable byte program delay\n");
    device.byteProgramDelay = value;

    // Flags line: each test is independent and a later one overrides an earlier one, so
    // "B16" and "18" both give a 16-bit bus.
    ReadLine();
    device.chipFlags &= static_cast<uint8_t>(~3u);
    device.busWidth = 0;
    uint32_t widthCode = WidthCode(device);
    if (std::strchr(line_, 'B')) device.chipFlags |= 1;
    if (std::strchr(line_, 'T')) device.chipFlags |= 2;
    static constexpr struct {
        char letter;
        uint8_t busWidth;
        uint32_t widthCode;
    } kWidths[] = {{'8', 8, 0}, {'1', 16, 1}, {'3', 32, 2}};
    for (const auto& width : kWidths) {
        if (std::strchr(line_, width.letter) != nullptr) {
            device.busWidth = width.busWidth;
            widthCode = width.widthCode;
        }
    }
    // Every size in bytes divides by the width: a record without one could never be used.
    if (device.busWidth == 0) return RecordFailure(device, "- No bus width in flags line\n");

    const uint32_t deviceId = position & 0xFFF;
    device.attributes = (device.attributes & 0xFF000030u) | (widthCode << FLASH_ATTR_WIDTH_SHIFT) |
                        (deviceId << FLASH_ATTR_ID_SHIFT) | 3u;

    const uint32_t busWidth = device.busWidth;
    uint32_t sectorCount = 0;
    uint32_t running = 0;
    uint32_t configIndex = 0;
    uint32_t size = 0;
    while (ReadLine() != 0) {
        int repeat = 1;
        if (line_[0] == 'X' || line_[0] == 'x') {
            if (!ParseInt(line_ + 1, &repeat) || repeat < 0)
                return RecordFailure(device, "- Bad sector repeat count\n");
            ReadLine();
        }
        if (sectorCount + static_cast<uint32_t>(repeat) - 1 >= LORIC_MAX_SECTORS) {
            Trace(TRACE_ERROR, "Too many sectors (max %d)\n", LORIC_MAX_SECTORS);
            return LORIC_ERR_FLASH_DATA_FILE;
        }
        // A size line that does not parse leaves the previous size in force.
        int words = 0;
        if (line_[0] == 'K' || line_[0] == 'k') {
            if (ParseInt(line_ + 1, &words)) {
                if (words < 0) return RecordFailure(device, "- Negative sector size\n");
                size = static_cast<uint32_t>(words) * 1024u;
            }
        } else if (ParseInt(line_, &words)) {
            if (words < 0) return RecordFailure(device, "- Negative sector size\n");
            size = static_cast<uint32_t>(words);
        }
        if (sectorCount == 0 && uint64_t{busWidth} * size < kBootLoaderBits)
            Trace(TRACE_WARNING, "%s Bottom flash sector too small for boot loader!\n",
                  device.deviceName);

        for (int i = 0; i < repeat; ++i) {
            FLASH_SECTOR& sector = device.sectors[sectorCount];
            sector.start = running;
            sector.end = running + size - 1;
            sector.size = size;
            running += size;
            if (running <= kConfigLimit) configIndex = sectorCount;
            ++sectorCount;
        }
    }

    device.totalBits = busWidth * running;
    device.sectorCount = sectorCount;
    if (configIndex == 0) return RecordFailure(device, "- Config sector == bottom sector\n");

    const uint32_t bytesPerWord = busWidth / 8;
    device.configSector = &device.sectors[configIndex];
    device.firmwareSpace = 0;
    for (uint32_t i = 0; i < configIndex; ++i)
        device.firmwareSpace += bytesPerWord * device.sectors[i].size;
    device.configByteAddress = device.sectors[configIndex].start * bytesPerWord;

    const uint32_t kbits = device.totalBits / 1024;
    if (device.totalBits < kMbit)
        std::snprintf(device.sizeText, sizeof device.sizeText, "%uKbit (%uK x %u)", kbits,
                      kbits / busWidth, busWidth);
    else
        std::snprintf(device.sizeText, sizeof device.sizeText, "%uMbit (%uK x %u)",
                      device.totalBits / kMbit, kbits / busWidth, busWidth);
    if (device.totalBits % kMbit != 0)
        Trace(TRACE_WARNING, "%s Has non integer number of MBits\n", device.deviceName);

    device.attributes =
        (device.attributes & ~FLASH_ATTR_ID_MASK) | (deviceId << FLASH_ATTR_ID_SHIFT);
    return LORIC_OK;
}

}  // namespace
}  // namespace loric

using namespace loric;

extern "C" LORIC_EXPORT uint32_t LORIC_CALL LoadFlashData(const char* fileName,
                                                          FLASH_DEVICE* devices,
                                                          uint32_t* deviceCount) {
    Trace(TRACE_API, "Enter LoadFlashData - ");
    Trace(TRACE_API, "sizeof(FLASH_DEVICE) = %d bytes\n", static_cast<int>(sizeof(FLASH_DEVICE)));

    return RunEnteredExport({TRACE_API, "LoadFlashData", ExitLine::kBlankLine}, [&]() -> uint32_t {
        if (fileName == nullptr || devices == nullptr || deviceCount == nullptr)
            return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
        *deviceCount = 0;
        FILE* file = std::fopen(fileName, "r");
        if (file == nullptr) return ReportFailure(LORIC_ERR_FILE_OPEN, fileName);
        FlashFileReader reader(file);
        uint32_t status = reader.Load(devices, deviceCount);
        std::fclose(file);
        if (reader.Exhausted()) {
            // A device or a pipe that never ends, or a file far larger than any chip list.
            Trace(TRACE_ERROR, "Flash data file longer than %u bytes\n",
                  static_cast<unsigned>(kMaxTextFileBytes));
            status = LORIC_ERR_FLASH_DATA_FILE;
        }
        if (status != LORIC_OK) ReportFailure(status, fileName);
        return status;
    });
}
