// ImportConfigurationFile: reads a configuration file (or an older ROM image) back into the
// host's CONFIG_FILE_INFO.
#include <cstdio>
#include <cstring>

#include "api/context.h"
#include "api/export_frame.h"
#include "configrom/crom.h"
#include "platform/bytes.h"
#include "program/upload.h"

namespace loric {

namespace {

constexpr uint32_t kFileWords = kMaxConfigFileBytes / 4;                 // 282
constexpr uint32_t kFirstPointerWord = kExtConfigWords + Q_ROOT_HEADER;  // 31

inline uint32_t Low24(uint32_t value) { return value & 0x00FFFFFFu; }
inline uint8_t DeviceType(uint32_t entry) { return static_cast<uint8_t>((entry >> 16) & 0x1F); }

// Copies the text of a leaf: `count` words, first character in bits 31-24, ending at the
// first zero byte and in any case after 59 characters, so the 60-byte field always ends in a
// zero of its own.
void CopyLeafText(char* destination, const uint32_t* words, uint32_t count) {
    uint32_t length = 0;
    for (uint32_t w = 0; w < count; ++w) {
        uint8_t characters[4];
        bytes::StoreBigEndian32(characters, words[w]);
        for (const uint8_t character : characters) {
            const char ch = static_cast<char>(character);
            if (ch == '\0' || length == kMaxRomStringChars - 1) {
                destination[length] = '\0';
                return;
            }
            destination[length++] = ch;
        }
    }
    destination[length] = '\0';
}

void FillFields(CONFIG_FILE_INFO* info, const uint32_t* words) {
    const uint32_t* q = words + kExtConfigWords;
    info->chip_id_hi = static_cast<uint8_t>(q[Q_GUID_HI] & 0xFF);
    info->node_vendor_id = q[Q_GUID_HI] >> 8;
    info->chip_id_lo = q[Q_GUID_LO];
    info->module_vendor_id = Low24(q[Q_MODULE_VENDOR_ID]);
    info->module_hw_version = Low24(q[Q_MODULE_HW_VERSION]);
    info->link_speed = static_cast<uint8_t>(q[Q_BUS_OPTIONS] & 0x7);
    info->config_word1 = words[1];
    info->config_word2 = words[2];
    info->config_word3 = words[3];
    info->config_flags = words[kConfigFlagsWord];

    const uint32_t layoutKey = q[Q_FIRMWARE_REVISION] >> 24;
    Trace(TRACE_API, "New ROM if x = 0x3C: x = %.2x\n", layoutKey);
    if (layoutKey == KEY_FIRMWARE_REVISION) {
        Trace(TRACE_API, "> Import new ROM file\n");
        info->unit_sw_version = Low24(q[Q_UNIT_SW_VERSION]);
        info->command_set = Low24(q[Q_COMMAND_SET]);
        info->command_set_revision = Low24(q[Q_COMMAND_SET_REVISION]);
        info->reconnect_timeout = Low24(q[Q_RECONNECT_TIMEOUT]);
        info->mgt_orb_timeout = static_cast<uint8_t>(q[Q_UNIT_CHARACTERISTICS] >> 8);
        info->orb_size = static_cast<uint8_t>(q[Q_UNIT_CHARACTERISTICS]);
        info->lun0_device_type = DeviceType(q[Q_LUN0]);
        info->lun0_model_id = Low24(q[Q_LUN0_MODEL_ID]);
        info->lun1_device_type = DeviceType(q[Q_LUN1]);
        info->lun1_model_id = Low24(q[Q_LUN1_MODEL_ID]);
        info->firmware_revision = 0;
    } else {
        // The older layout: unit characteristics at q16 and one logical unit at q17.
        Trace(TRACE_API, "> Import old ROM file\n");
        info->unit_sw_version = Low24(q[Q_UNIT_SW_VERSION]);
        info->command_set = Low24(q[Q_COMMAND_SET]);
        info->mgt_orb_timeout = static_cast<uint8_t>(q[16] >> 8);
        info->orb_size = static_cast<uint8_t>(q[16]);
        info->lun0_device_type = DeviceType(q[17]);
        info->lun0_model_id = q[17] & 0xFFFF;
        info->lun1_device_type = 0;
        info->command_set_revision = 0;
        info->firmware_revision = 0;
        info->reconnect_timeout = KEY_RECONNECT_TIMEOUT;
    }
}

// The work between opening and closing the file.
uint32_t ImportOpenFile(CONFIG_FILE_INFO* info, const char* fileName, FILE* file) {
    const uint32_t length = GetStreamLength(file);
    if (length == 0 || length == kUnknownLength || length > kMaxConfigFileBytes) {
        return ReportFailure(LORIC_ERR_FILE_TOO_LARGE, length);
    }
    uint8_t content[kMaxConfigFileBytes] = {};
    if (std::fread(content, 1, length, file) != length)
        return ReportFailure(LORIC_ERR_FILE_IO, fileName);
    Trace(TRACE_API_VERBOSE, "File length = %d\n", length);

    // Bytes past the end of the file read as zero.
    uint32_t words[kFileWords];
    for (uint32_t i = 0; i < kFileWords; ++i) words[i] = bytes::LoadLittleEndian32(&content[i * 4]);

    const uint32_t* rom = words + kExtConfigWords;
    const uint32_t crcLength = CrcLength(rom[Q_BUS_INFO]);
    const uint32_t fileWords = length / 4;
    if (kExtConfigWords + crcLength + 1 > fileWords) {
        const uint32_t status = ReportFailure(LORIC_ERR_CONFIG_IMPORT);
        Trace(TRACE_ERROR, "ROM beyond end of file! (len = %d, file length = %d)\n", crcLength,
              length);
        return status;
    }
    const uint32_t crc = ComputeRomCrc(&rom[1], static_cast<int32_t>(crcLength));
    const uint32_t storedCrc = rom[Q_BUS_INFO] & 0xFFFF;
    if (crc != storedCrc) {
        const uint32_t status = ReportFailure(LORIC_ERR_CONFIG_IMPORT);
        Trace(TRACE_ERROR, "CRC failure! %.8X <> %.8X (len = %d)\n", crc, storedCrc, crcLength);
        return status;
    }

    char* const texts[kMaxRomStrings] = {info->vendor_text, info->hw_version_text,
                                         info->lun0_model_text, info->lun1_model_text};
    if (ExtractRomStrings(words, length, texts) == 0) {
        const uint32_t status = ReportFailure(LORIC_ERR_CONFIG_IMPORT);
        Trace(TRACE_ERROR, "Unable to extract strings from ROM image!\n");
        return status;
    }

    if (words[0] != EXT_CONFIG_MAGIC) SetDefaultExtConfig(words);
    FillFields(info, words);
    return LORIC_OK;
}

}  // namespace

uint32_t ExtractRomStrings(const uint32_t* words, uint32_t lengthBytes,
                           char* const texts[kMaxRomStrings]) {
    const uint32_t fileWords = lengthBytes / 4;
    uint32_t targets[kMaxRomStrings];
    uint32_t found = 0;
    for (uint32_t i = kFirstPointerWord; i < fileWords; ++i) {
        const uint32_t key = words[i] >> 24;
        if (key != KEY_TEXT_LEAF && key != KEY_TEXT_LEAF_ALT) continue;
        Trace(TRACE_API_VERBOSE, "Offset found\n");
        const uint32_t target = i + (words[i] & 0xFF);
        bool duplicate = false;
        for (uint32_t k = 0; k < found; ++k) duplicate = duplicate || targets[k] == target;
        if (duplicate) {
            Trace(TRACE_API_VERBOSE, "Duplicate offset\n");
        } else if (found < kMaxRomStrings) {
            targets[found++] = target;
        }
        // Leaves beyond the fourth have no field to go to and are ignored.
    }
    Trace(TRACE_API_VERBOSE, "%d unique strings\n", found);

    for (uint32_t k = 0; k < found; ++k) {
        const uint32_t header = targets[k];
        if (header >= fileWords) return 0;
        const uint32_t count = LeafLength(words[header]) - 2;  // unsigned: lengths 0 and 1 wrap
        if (count > kMaxLeafTextQuadlets) return 0;
        if (header + 3 + count > fileWords) return 0;
        CopyLeafText(texts[k], &words[header + 3], count);
        Trace(TRACE_API_VERBOSE, "Rom string %d = %s\n", k, texts[k]);
    }
    return 1;
}

uint32_t ImportRomImageFile(CONFIG_FILE_INFO* info, const char* fileName) {
    TraceEnter({TRACE_API_VERBOSE, "ImportRomImageFile"});
    std::memset(info, 0, sizeof(*info));
    uint32_t status;
    FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) {
        status = ReportFailure(LORIC_ERR_FILE_OPEN, fileName);
    } else {
        status = ImportOpenFile(info, fileName, file);
        std::fclose(file);
    }
    Trace(TRACE_API_VERBOSE, "Exit ImportRomImageFile\n");
    return status;
}

}  // namespace loric

using namespace loric;

extern "C" LORIC_EXPORT uint32_t LORIC_CALL ImportConfigurationFile(CONFIG_FILE_INFO* info,
                                                                    const char* fileName) {
    // Works on files alone, so the API need not be open. Refused arguments leave without an
    // exit line.
    const ExportFrame frame{TRACE_API, "ImportConfigurationFile", ExitLine::kBlankLine};
    TraceEnter(frame);
    if (info == nullptr || fileName == nullptr) return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
    const uint32_t status = ImportRomImageFile(info, fileName);
    TraceExit(frame, status);
    return status;
}
