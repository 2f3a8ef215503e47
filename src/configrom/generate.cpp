// GenerateConfigurationFile: turns the host's CONFIG_FILE_INFO into a configuration file,
// with an optional data page read from "datapage.dat" beside the output file.
#include <cstdio>
#include <cstring>
#include <new>

#include "api/context.h"
#include "api/export_frame.h"
#include "configrom/crom.h"
#include "flash/flash_data.h"
#include "platform/bytes.h"

namespace loric {

namespace {

constexpr char kDataPageFileName[] = "datapage.dat";
constexpr uint32_t kDataPagePathSize = 260;
constexpr int32_t kMaxDataPageLines = 64;
constexpr uint32_t kDataPageLineSize = 17;  // 16 characters and the zero
constexpr int32_t kTextDataPageType = 2;
constexpr uint32_t kNoDataPageType = 1;

// The four text fields of a type 2 page: byte offset in the image and width in characters.
struct DataPageField {
    uint32_t firstByte;
    uint32_t width;
};
constexpr DataPageField kTextPageFields[4] = {{20, 8}, {28, 16}, {44, 4}, {48, 4}};
constexpr uint32_t kTextPageEndByte = 52;

// Stores character `index` of a text field that starts at image byte `fieldStart` (a multiple
// of 4): texts are packed four to a word, first character in bits 31-24.
void StoreTextChar(uint32_t* words, uint32_t fieldStart, uint32_t index, uint8_t ch) {
    uint32_t& word = words[(fieldStart + index) / 4];
    const uint32_t shift = 8 * (3 - index % 4);
    word = (word & ~(0xFFu << shift)) | (static_cast<uint32_t>(ch) << shift);
}

// A number in the manner of "%d": leading white space, an optional sign, digits; anything
// after the digits is ignored. False without digits or beyond the 32-bit range.
bool ParseDecimal(const char* text, int32_t* value) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\v' || *p == '\f') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    int64_t result = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        result = result * 10 + (*p - '0');
        if (result > 0x80000000LL) return false;
    }
    if (negative) result = -result;
    if (result > 0x7FFFFFFFLL) return false;
    *value = static_cast<int32_t>(result);
    return true;
}

// Reads line 1 or 2 of a data page file and parses it; traces `errorText` when the line is
// missing or holds no number.
bool ReadDataPageNumber(FILE* file, uint64_t* budget, int32_t* value, const char* errorText) {
    char line[kDataPageLineSize];
    if (ReadFileLine(file, line, sizeof(line), budget) == 0 || !ParseDecimal(line, value)) {
        Trace(TRACE_API, "%s", errorText);
        return false;
    }
    return true;
}

// The text fields of a record are 60 bytes that need not end in a zero: copy at most 60
// characters into a buffer of our own that does.
void CopyTextField(char (&destination)[kMaxRomStringChars + 1], const char* field) {
    std::memcpy(destination, field, kMaxRomStringChars);
    destination[kMaxRomStringChars] = '\0';
}

void FillRom(CROM& crom, const CONFIG_FILE_INFO& info, bool secondUnit) {
    uint32_t* q = crom.rom;
    q[Q_BUS_OPTIONS] = kBusOptions | (info.link_speed & 0x7u);
    q[Q_GUID_HI] = ((info.node_vendor_id & 0x00FFFFFFu) << 8) | info.chip_id_hi;
    q[Q_GUID_LO] = info.chip_id_lo;

    auto leafEntry = [&crom](uint32_t entry, uint32_t leaf) {
        return DirectoryEntry(KEY_TEXT_LEAF, static_cast<uint32_t>(LeafOffset(&crom, entry, leaf)));
    };
    q[Q_NODE_CAPABILITIES] = DirectoryEntry(KEY_NODE_CAPABILITIES, kNodeCapabilities);
    q[Q_MODULE_VENDOR_ID] = DirectoryEntry(KEY_MODULE_VENDOR_ID, info.module_vendor_id);
    q[Q_VENDOR_TEXT] = leafEntry(Q_VENDOR_TEXT, 0);
    q[Q_MODULE_HW_VERSION] = DirectoryEntry(KEY_MODULE_HW_VERSION, info.module_hw_version);
    q[Q_HW_VERSION_TEXT] = leafEntry(Q_HW_VERSION_TEXT, 1);
    q[Q_UNIT_DIRECTORY] = DirectoryEntry(KEY_UNIT_DIRECTORY, Q_UNIT_HEADER - Q_UNIT_DIRECTORY);

    q[Q_UNIT_SPEC_ID] = DirectoryEntry(KEY_UNIT_SPEC_ID, kSbp2SpecId);
    q[Q_UNIT_SW_VERSION] = DirectoryEntry(KEY_UNIT_SW_VERSION, info.unit_sw_version);
    q[Q_FIRMWARE_REVISION] = DirectoryEntry(KEY_FIRMWARE_REVISION, info.firmware_revision);
    q[Q_MANAGEMENT_AGENT] = DirectoryEntry(KEY_MANAGEMENT_AGENT, kManagementAgentOffset);
    q[Q_UNIT_CHARACTERISTICS] =
        DirectoryEntry(KEY_UNIT_CHARACTERISTICS,
                       (static_cast<uint32_t>(info.mgt_orb_timeout) << 8) | info.orb_size);
    q[Q_COMMAND_SET_SPEC_ID] = DirectoryEntry(KEY_COMMAND_SET_SPEC_ID, kSbp2SpecId);
    q[Q_COMMAND_SET] = DirectoryEntry(KEY_COMMAND_SET, info.command_set);
    q[Q_COMMAND_SET_REVISION] = DirectoryEntry(KEY_COMMAND_SET_REVISION, info.command_set_revision);
    q[Q_RECONNECT_TIMEOUT] = DirectoryEntry(KEY_RECONNECT_TIMEOUT, info.reconnect_timeout);
    q[Q_LUN0] = DirectoryEntry(KEY_LOGICAL_UNIT_NUMBER,
                               kLogicalUnitOrdered | ((info.lun0_device_type & 0x1Fu) << 16) | 0);
    q[Q_LUN0_MODEL_ID] = DirectoryEntry(KEY_MODEL_ID, info.lun0_model_id);
    q[Q_LUN0_MODEL_TEXT] = leafEntry(Q_LUN0_MODEL_TEXT, 2);
    if (secondUnit) {
        q[Q_LUN1] =
            DirectoryEntry(KEY_LOGICAL_UNIT_NUMBER,
                           kLogicalUnitOrdered | ((info.lun1_device_type & 0x1Fu) << 16) | 1);
        q[Q_LUN1_MODEL_ID] = DirectoryEntry(KEY_MODEL_ID, info.lun1_model_id);
        q[Q_LUN1_MODEL_TEXT] = leafEntry(Q_LUN1_MODEL_TEXT, 3);
    }
}

}  // namespace

uint32_t GetFileDirectory(char* destination, const char* path) {
    std::memset(destination, 0, kFileDirectorySize);
    if (path == nullptr) return 0;
    const char* lastSeparator = std::strrchr(path, '\\');
    if (lastSeparator == nullptr) return 0;
    const size_t length = static_cast<size_t>(lastSeparator - path) + 1;
    if (length > kFileDirectorySize - 1) return 0;
    std::memcpy(destination, path, length);
    return static_cast<uint32_t>(length);
}

uint32_t InsertDataPage(uint32_t* extConfig, const char* path) {
    Trace(TRACE_API, "Looking for additional data page...\n");
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        Trace(TRACE_API, "No data page file found\n");
        return 0;
    }

    // A page whose type or line count cannot be read, or that announces more lines than a
    // page can hold, is left out: the image keeps "no data page".
    // A stream that never ends (a device, a pipe) is read no further than the budget.
    uint64_t budget = kMaxTextFileBytes;
    int32_t type = 0;
    int32_t count = 0;
    const bool typeRead =
        ReadDataPageNumber(file, &budget, &type, "Error reading data page type\n");
    const bool countRead =
        ReadDataPageNumber(file, &budget, &count, "Error reading data page file length\n");
    if (!typeRead || !countRead) {
        std::fclose(file);
        return 0;
    }
    Trace(TRACE_API_VERBOSE, "Reading data page type %d, length %d lines\n", type, count);
    if (count < 0 || count > kMaxDataPageLines) {
        Trace(TRACE_API, "Error reading data page file\n");
        std::fclose(file);
        return 0;
    }

    char lines[kMaxDataPageLines][kDataPageLineSize];
    for (int32_t i = 0; i < count; ++i) {
        if (ReadFileLine(file, lines[i], kDataPageLineSize, &budget) == 0) {
            Trace(TRACE_API, "Error reading data page file\n");
            std::fclose(file);
            return 0;
        }
        Trace(TRACE_API_VERBOSE, "Data page line %d: %s\n", i, lines[i]);
    }

    if (type == kTextDataPageType) {
        Trace(TRACE_API_VERBOSE, "Adding Western Digital data page\n");
        for (uint32_t b = kDataPageFirstByte; b < kTextPageEndByte; b += 4)
            extConfig[b / 4] = 0x20202020;
        for (uint32_t f = 0; f < 4 && static_cast<int32_t>(f) < count; ++f) {
            const DataPageField& field = kTextPageFields[f];
            const char* line = lines[f];
            for (uint32_t j = 0; j < field.width && line[j] != '\0'; ++j) {
                StoreTextChar(extConfig, field.firstByte, j, static_cast<uint8_t>(line[j]));
            }
        }
    } else {
        Trace(TRACE_API_VERBOSE, "Unknown page type %d\n", type);
        for (uint32_t b = kDataPageFirstByte; b < kDataPageFirstByte + kDataPageBytes; b += 4)
            extConfig[b / 4] = 0;
    }
    extConfig[kConfigFlagsWord] =
        (extConfig[kConfigFlagsWord] & 0x00FFFFFFu) | ((static_cast<uint32_t>(type) & 0xFFu) << 24);
    std::fclose(file);
    return 1;
}

uint32_t WriteConfigRomFile(CROM* crom, const char* fileName) {
    const uint32_t quadlets = RomQuadletCount(crom);
    const uint32_t romLength = quadlets * 4;
    crom->ext_config[kConfigRomLenWord] = romLength;

    uint32_t* buffer = new (std::nothrow) uint32_t[quadlets]();
    if (buffer == nullptr) return ReportFailure(LORIC_ERR_NO_MEMORY, romLength);
    Trace(TRACE_API, "pCROM->ext_config.config_rom_len: %.8X\n", romLength);
    SealConfigRom(crom, buffer, quadlets);

    uint32_t status = LORIC_OK;
    FILE* file = std::fopen(fileName, "wb");
    if (file == nullptr) {
        status = ReportFailure(LORIC_ERR_FILE_OPEN, fileName);
    } else {
        uint8_t header[kExtConfigBytes];
        for (uint32_t i = 0; i < kExtConfigWords; ++i)
            bytes::StoreLittleEndian32(&header[i * 4], crom->ext_config[i]);
        bool written = std::fwrite(header, 1, sizeof(header), file) == sizeof(header);
        for (uint32_t i = 0; written && i < quadlets; ++i) {
            uint8_t word[4];
            bytes::StoreLittleEndian32(word, buffer[i]);
            written = std::fwrite(word, 1, 4, file) == 4;
        }
        // Buffered bytes that cannot be stored when the file is closed are a short write too.
        if (std::fclose(file) != 0) written = false;
        if (!written) status = ReportFailure(LORIC_ERR_FILE_IO, fileName);
    }
    delete[] buffer;
    return status;
}

}  // namespace loric

using namespace loric;

extern "C" LORIC_EXPORT uint32_t LORIC_CALL GenerateConfigurationFile(CONFIG_FILE_INFO* info,
                                                                      const char* fileName) {
    // Works on files alone, so the API need not be open. Refused arguments leave without an
    // exit line, and the exit line shows the status in hexadecimal.
    TraceEnter({TRACE_API, "GenerateConfigurationFile"});
    if (info == nullptr || fileName == nullptr) return ReportFailure(LORIC_ERR_INVALID_PARAMETER);

    const bool secondUnit = (info->config_flags & CONFIG_FLAG_SECOND_LUN) != 0;
    CROM crom;
    InitConfigRom(&crom, secondUnit ? 1 : 0);

    const char* fields[kMaxRomStrings] = {info->vendor_text, info->hw_version_text,
                                          info->lun0_model_text, info->lun1_model_text};
    for (const char* field : fields) {
        char text[kMaxRomStringChars + 1];
        CopyTextField(text, field);
        AddRomString(&crom, text);  // a refused text does not stop generation
    }
    FillRom(crom, *info, secondUnit);

    crom.ext_config[1] = info->config_word1;
    crom.ext_config[2] = info->config_word2;
    crom.ext_config[3] = info->config_word3;
    crom.ext_config[kConfigFlagsWord] =
        (info->config_flags & 0x00FFFFFFu) | (kNoDataPageType << 24);

    // The data page is looked for beside the output file (only a backslash separates
    // directories), or in the current directory. A directory too long for the path buffer
    // is not looked in at all rather than searched under a cut name.
    const char* lastSeparator = std::strrchr(fileName, '\\');
    const size_t directoryLength =
        lastSeparator ? static_cast<size_t>(lastSeparator - fileName) + 1 : 0;
    if (directoryLength + sizeof(kDataPageFileName) <= kDataPagePathSize) {
        char path[kDataPagePathSize];
        const uint32_t copied = GetFileDirectory(path, fileName);
        std::memcpy(path + copied, kDataPageFileName, sizeof(kDataPageFileName));
        Trace(TRACE_API, "Look for %s\n", path);
        if (InsertDataPage(crom.ext_config, path) == 1) {
            Trace(TRACE_API, "Additional data page inserted into ROM header\n");
        }
    } else {
        Trace(TRACE_API, "Output directory too long, no data page looked for\n");
    }

    const uint32_t status = WriteConfigRomFile(&crom, fileName);
    Trace(TRACE_API, "Exit GenerateConfigurationFile %.8X\n\n", status);
    return status;
}
