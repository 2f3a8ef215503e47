// Building the configuration image: the fixed ROM template, the text leaves, the CRCs and
// the flat form that goes into a file.
#include "configrom/crom.h"

#include <cstring>

#include "api/context.h"
#include "platform/bytes.h"

namespace loric {

namespace {

// Texts placed since the last InitConfigRom; selects the leaf record of the next text.
// Module-wide, so only one image is built at a time.
uint32_t g_placedRomStrings;

struct KeyedQuadlet {
    uint32_t index;
    uint8_t key;
};

constexpr KeyedQuadlet kFixedKeys[] = {
    {Q_NODE_CAPABILITIES, KEY_NODE_CAPABILITIES},
    {Q_MODULE_VENDOR_ID, KEY_MODULE_VENDOR_ID},
    {Q_VENDOR_TEXT, KEY_TEXT_LEAF},
    {Q_MODULE_HW_VERSION, KEY_MODULE_HW_VERSION},
    {Q_HW_VERSION_TEXT, KEY_TEXT_LEAF},
    {Q_UNIT_DIRECTORY, KEY_UNIT_DIRECTORY},
    {Q_UNIT_SPEC_ID, KEY_UNIT_SPEC_ID},
    {Q_UNIT_SW_VERSION, KEY_UNIT_SW_VERSION},
    {Q_FIRMWARE_REVISION, KEY_FIRMWARE_REVISION},
    {Q_MANAGEMENT_AGENT, KEY_MANAGEMENT_AGENT},
    {Q_UNIT_CHARACTERISTICS, KEY_UNIT_CHARACTERISTICS},
    {Q_COMMAND_SET_SPEC_ID, KEY_COMMAND_SET_SPEC_ID},
    {Q_COMMAND_SET, KEY_COMMAND_SET},
    {Q_COMMAND_SET_REVISION, KEY_COMMAND_SET_REVISION},
    {Q_RECONNECT_TIMEOUT, KEY_RECONNECT_TIMEOUT},
    {Q_LUN0, KEY_LOGICAL_UNIT_NUMBER},
    {Q_LUN0_MODEL_ID, KEY_MODEL_ID},
    {Q_LUN0_MODEL_TEXT, KEY_TEXT_LEAF},
};

constexpr KeyedQuadlet kSecondUnitKeys[] = {
    {Q_LUN1, KEY_LOGICAL_UNIT_NUMBER},
    {Q_LUN1_MODEL_ID, KEY_MODEL_ID},
    {Q_LUN1_MODEL_TEXT, KEY_TEXT_LEAF},
};

}  // namespace

void SetDefaultExtConfig(uint32_t* extConfig) {
    extConfig[0] = EXT_CONFIG_MAGIC;
    extConfig[1] = kDefaultConfigWord1;
    extConfig[2] = kDefaultConfigWord2;
    extConfig[3] = kDefaultConfigWord3;
    extConfig[4] = kDefaultConfigFlags;
}

void InitConfigRom(CROM* crom, uint32_t secondUnit) {
    std::memset(crom, 0, sizeof(*crom));
    crom->rom[Q_BUS_NAME] = kBusNameQuadlet;
    for (const KeyedQuadlet& k : kFixedKeys) crom->rom[k.index] = DirectoryEntry(k.key, 0);
    if (secondUnit != 0) {
        for (const KeyedQuadlet& k : kSecondUnitKeys) crom->rom[k.index] = DirectoryEntry(k.key, 0);
    }
    g_placedRomStrings = 0;
    SetDefaultExtConfig(crom->ext_config);
}

uint32_t PlacedRomStrings() { return g_placedRomStrings; }

uint32_t AddRomString(CROM* crom, const char* text) {
    if (crom == nullptr || text == nullptr) {
        g_placedRomStrings = 0;
        return 0;
    }
    const uint32_t i = g_placedRomStrings;
    if (i >= kMaxRomStrings) {
        Trace(TRACE_ERROR, "Trying to add more than %d strings to config ROM!\n", kMaxRomStrings);
        return 0;
    }
    // Never look further than one character past the longest text we accept.
    const size_t length = strnlen(text, kMaxRomStringChars + 1);
    if (length > kMaxRomStringChars) {
        Trace(TRACE_ERROR, "Trying to add string longer than %d chars to config ROM!\n",
              kMaxRomStringChars);
        return 0;
    }

    // The text is padded with spaces to whole quadlets inside the leaf record itself; the
    // caller's text is only read. Each quadlet holds its first character in bits 31-24.
    ROM_LEAF& leaf = crom->leaves[i];
    const uint32_t n = static_cast<uint32_t>((length + 3) / 4);
    leaf.quadlets[1] = 0;
    leaf.quadlets[2] = 0;
    for (uint32_t q = 0; q < n; ++q) {
        uint8_t characters[4];
        for (uint32_t b = 0; b < 4; ++b) {
            const size_t c = q * 4 + b;
            characters[b] = c < length ? static_cast<uint8_t>(text[c]) : 0x20;
        }
        leaf.quadlets[3 + q] = bytes::LoadBigEndian32(characters);
    }
    leaf.quadlets[3 + n] = 0;
    leaf.quadlets[0] =
        ((n + 3) << 16) | ComputeRomCrc(&leaf.quadlets[1], static_cast<int32_t>(n + 3));

    if (i == 0) {
        leaf.start = kRomFirstLeaf;
    } else {
        const ROM_LEAF& previous = crom->leaves[i - 1];
        leaf.start = previous.start + LeafLength(previous.quadlets[0]) + 1;
    }
    const uint32_t crcLength = leaf.start + n + 3;
    crom->rom[Q_BUS_INFO] = (crom->rom[Q_BUS_INFO] & 0xFF00FFFF) | ((crcLength & 0xFF) << 16);
    g_placedRomStrings = i + 1;
    return 1;
}

int32_t LeafOffset(const CROM* crom, uint32_t entry, uint32_t leaf) {
    if (crom == nullptr || leaf >= kMaxRomStrings) return 0;
    return static_cast<int32_t>(crom->leaves[leaf].start) - static_cast<int32_t>(entry);
}

uint32_t ComputeRomCrc(const uint32_t* words, int32_t count) {
    uint32_t crc = 0;
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t word = words[i];
        for (int shift = 28; shift >= 0; shift -= 4) {
            const uint32_t sum = ((crc >> 12) ^ (word >> shift)) & 0xF;
            crc = (crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
        }
        crc &= 0xFFFF;
    }
    return crc;
}

uint32_t RomQuadletCount(const CROM* crom) {
    // The last placed leaf sets crc_length. The fixed part is always there, so an image
    // without texts still flattens to a complete q0..q27.
    const uint32_t quadlets = CrcLength(crom->rom[Q_BUS_INFO]) + 1;
    return quadlets < kRomFixedQuadlets ? kRomFixedQuadlets : quadlets;
}

void SealConfigRom(CROM* crom, uint32_t* buffer, uint32_t quadlets) {
    uint32_t* rom = crom->rom;
    rom[Q_ROOT_HEADER] =
        (kRootDirectoryLength << 16) |
        ComputeRomCrc(&rom[Q_ROOT_HEADER + 1], static_cast<int32_t>(kRootDirectoryLength));
    rom[Q_UNIT_HEADER] =
        (kUnitDirectoryLength << 16) |
        ComputeRomCrc(&rom[Q_UNIT_HEADER + 1], static_cast<int32_t>(kUnitDirectoryLength));

    crom->ext_config[kConfigRomLenWord] = quadlets * 4;
    std::memset(buffer, 0, quadlets * sizeof(uint32_t));
    const uint32_t fixed = quadlets < kRomFixedQuadlets ? quadlets : kRomFixedQuadlets;
    std::memcpy(buffer, rom, fixed * sizeof(uint32_t));

    const uint32_t placed =
        g_placedRomStrings < kMaxRomStrings ? g_placedRomStrings : kMaxRomStrings;
    for (uint32_t k = 0; k < placed; ++k) {
        const ROM_LEAF& leaf = crom->leaves[k];
        const uint32_t count = LeafLength(leaf.quadlets[0]) + 1;
        if (count > kLeafQuadlets || leaf.start + count > quadlets) continue;
        std::memcpy(&buffer[leaf.start], leaf.quadlets, count * sizeof(uint32_t));
    }

    const uint32_t crcLength = quadlets - 1;
    const uint32_t q0 = (4u << 24) | ((crcLength & 0xFF) << 16) |
                        ComputeRomCrc(&buffer[1], static_cast<int32_t>(crcLength));
    rom[Q_BUS_INFO] = q0;
    buffer[Q_BUS_INFO] = q0;
}

}  // namespace loric
