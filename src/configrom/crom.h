// The configuration image: a 104-byte header (ext_config) followed by the IEEE 1394
// configuration ROM the device presents on the bus. The image is built in a CROM, sealed
// (lengths and CRCs) and flattened into words, and written as little-endian words.
#pragma once

#include <cstdint>

#include "loric.h"

namespace loric {

inline constexpr uint32_t EXT_CONFIG_MAGIC = 0xAFC924AD;

inline constexpr uint32_t kExtConfigWords = 26;
inline constexpr uint32_t kExtConfigBytes = kExtConfigWords * 4;  // 104
inline constexpr uint32_t kConfigRomLenWord = 25;
inline constexpr uint32_t kConfigFlagsWord = 4;
inline constexpr uint32_t kDataPageFirstByte = 20;
inline constexpr uint32_t kDataPageBytes = 48;

// Default configuration words of a new header.
inline constexpr uint32_t kDefaultConfigWord1 = 375;
inline constexpr uint32_t kDefaultConfigWord2 = 375;
inline constexpr uint32_t kDefaultConfigWord3 = 0x00601504;
inline constexpr uint32_t kDefaultConfigFlags = 0x00000017;

// The ROM: q0..q27 are fixed, the text leaves follow from q28.
inline constexpr uint32_t kRomFixedQuadlets = 28;
inline constexpr uint32_t kRomFirstLeaf = 28;
inline constexpr uint32_t kMaxRomStrings = 4;
inline constexpr uint32_t kMaxRomStringChars = 60;
inline constexpr uint32_t kMaxLeafTextQuadlets = kMaxRomStringChars / 4;  // 15
inline constexpr uint32_t kLeafQuadlets = 3 + kMaxLeafTextQuadlets + 1;   // 19
inline constexpr uint32_t kMaxRomQuadlets =
    kRomFixedQuadlets + kMaxRomStrings * kLeafQuadlets;  // 104
// The largest ROM an 8-bit crc_length can describe, and the largest file it makes.
inline constexpr uint32_t kMaxRomBytes = 256 * 4;
inline constexpr uint32_t kMaxConfigFileBytes = kExtConfigBytes + kMaxRomBytes;  // 1128

inline constexpr uint32_t kBusNameQuadlet = 0x31333934;  // "1394"
inline constexpr uint32_t kBusOptions = 0x00FF5000;
inline constexpr uint32_t kNodeCapabilities = 0x0083C0;
inline constexpr uint32_t kSbp2SpecId = 0x00609E;
inline constexpr uint32_t kManagementAgentOffset = 0x00C000;
inline constexpr uint32_t kLogicalUnitOrdered = 1u << 22;
inline constexpr uint32_t kRootDirectoryLength = 6;
inline constexpr uint32_t kUnitDirectoryLength = 15;

// Directory entry keys.
inline constexpr uint8_t KEY_NODE_CAPABILITIES = 0x0C;
inline constexpr uint8_t KEY_MODULE_VENDOR_ID = 0x03;
inline constexpr uint8_t KEY_MODULE_HW_VERSION = 0x04;
inline constexpr uint8_t KEY_TEXT_LEAF = 0x81;
inline constexpr uint8_t KEY_TEXT_LEAF_ALT = 0x82;
inline constexpr uint8_t KEY_UNIT_DIRECTORY = 0xD1;
inline constexpr uint8_t KEY_UNIT_SPEC_ID = 0x12;
inline constexpr uint8_t KEY_UNIT_SW_VERSION = 0x13;
inline constexpr uint8_t KEY_FIRMWARE_REVISION = 0x3C;
inline constexpr uint8_t KEY_MANAGEMENT_AGENT = 0x54;
inline constexpr uint8_t KEY_UNIT_CHARACTERISTICS = 0x3A;
inline constexpr uint8_t KEY_COMMAND_SET_SPEC_ID = 0x38;
inline constexpr uint8_t KEY_COMMAND_SET = 0x39;
inline constexpr uint8_t KEY_COMMAND_SET_REVISION = 0x3B;
inline constexpr uint8_t KEY_RECONNECT_TIMEOUT = 0x3D;
inline constexpr uint8_t KEY_LOGICAL_UNIT_NUMBER = 0x14;
inline constexpr uint8_t KEY_MODEL_ID = 0x17;

// Fixed ROM positions.
enum RomQuadlet : uint32_t {
    Q_BUS_INFO = 0,
    Q_BUS_NAME = 1,
    Q_BUS_OPTIONS = 2,
    Q_GUID_HI = 3,
    Q_GUID_LO = 4,
    Q_ROOT_HEADER = 5,
    Q_NODE_CAPABILITIES = 6,
    Q_MODULE_VENDOR_ID = 7,
    Q_VENDOR_TEXT = 8,
    Q_MODULE_HW_VERSION = 9,
    Q_HW_VERSION_TEXT = 10,
    Q_UNIT_DIRECTORY = 11,
    Q_UNIT_HEADER = 12,
    Q_UNIT_SPEC_ID = 13,
    Q_UNIT_SW_VERSION = 14,
    Q_FIRMWARE_REVISION = 15,
    Q_MANAGEMENT_AGENT = 16,
    Q_UNIT_CHARACTERISTICS = 17,
    Q_COMMAND_SET_SPEC_ID = 18,
    Q_COMMAND_SET = 19,
    Q_COMMAND_SET_REVISION = 20,
    Q_RECONNECT_TIMEOUT = 21,
    Q_LUN0 = 22,
    Q_LUN0_MODEL_ID = 23,
    Q_LUN0_MODEL_TEXT = 24,
    Q_LUN1 = 25,
    Q_LUN1_MODEL_ID = 26,
    Q_LUN1_MODEL_TEXT = 27,
};

// One textual descriptor leaf: header, two descriptor quadlets, up to 15 text quadlets and
// the trailing zero; and where it starts in the ROM.
struct ROM_LEAF {
    uint32_t quadlets[kLeafQuadlets];
    uint32_t start;
};

// The image under construction.
struct CROM {
    uint32_t ext_config[kExtConfigWords];
    uint32_t rom[kRomFixedQuadlets];
    ROM_LEAF leaves[kMaxRomStrings];
};

inline constexpr uint32_t DirectoryEntry(uint8_t key, uint32_t value) {
    return (static_cast<uint32_t>(key) << 24) | (value & 0x00FFFFFF);
}
inline constexpr uint32_t CrcLength(uint32_t q0) { return (q0 >> 16) & 0xFF; }
inline constexpr uint32_t LeafLength(uint32_t header) { return header >> 16; }

// Clears the CROM, stores the bus name and the directories' key bytes (q25..q27 only with a
// second logical unit), forgets the placed texts and sets the default ext_config.
void InitConfigRom(CROM* crom, uint32_t secondUnit);
// Words 0..4 of ext_config: magic, the default configuration words and flags.
void SetDefaultExtConfig(uint32_t* extConfig);
// Places `text` as the next leaf. 1 when placed, 0 when refused (a fifth text, more than
// 60 characters). Null arguments return 0 and forget the placed texts.
uint32_t AddRomString(CROM* crom, const char* text);
// The number of texts placed since the last InitConfigRom.
uint32_t PlacedRomStrings();
// Value of the 0x81 entry at ROM quadlet `entry` that points at leaf record `leaf`.
int32_t LeafOffset(const CROM* crom, uint32_t entry, uint32_t leaf);
// CRC-16 of IEEE 1212 over `count` word values; 0 for a count of 0 or less.
uint32_t ComputeRomCrc(const uint32_t* words, int32_t count);
// Number of ROM quadlets the CROM flattens to (crc_length + 1, at least the fixed part).
uint32_t RomQuadletCount(const CROM* crom);
// Seals the CROM (directory lengths and CRCs, config_rom_len, bus information CRC) and
// flattens the ROM into `buffer` of `quadlets` words (RomQuadletCount of the CROM).
void SealConfigRom(CROM* crom, uint32_t* buffer, uint32_t quadlets);

// Writes the sealed image as little-endian words. 0, 6, 7 or 8.
uint32_t WriteConfigRomFile(CROM* crom, const char* fileName);
// Reads a data page file into ext_config. 1 when the page was stored.
uint32_t InsertDataPage(uint32_t* extConfig, const char* path);
// Copies the directory part of `path` (through its last backslash) into `destination`
// (255 bytes, cleared first). Returns its length; 0 without a backslash or when it is
// longer than 254 characters.
uint32_t GetFileDirectory(char* destination, const char* path);
inline constexpr uint32_t kFileDirectorySize = 255;

uint32_t ImportRomImageFile(CONFIG_FILE_INFO* info, const char* fileName);
// Finds up to four text leaves in the file's words (`lengthBytes` of file) and copies their
// texts into `texts` (60 bytes each, always zero-terminated). 1 on success, 0 when a leaf is
// malformed or lies outside the file.
uint32_t ExtractRomStrings(const uint32_t* words, uint32_t lengthBytes,
                           char* const texts[kMaxRomStrings]);

}  // namespace loric
