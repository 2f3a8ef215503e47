#include "read_window.h"

#include <cstdio>

#include "../../src/platform/bytes.h"
#include "device_facts.h"
#include "errors.h"
#include "loric.h"
#include "progress.h"

namespace tool {

std::vector<uint8_t> ReadFlash(uint16_t node, uint32_t address, uint32_t length, Progress* progress,
                               const std::string& step) {
    std::vector<uint8_t> bytes;
    if (length == 0) return bytes;
    uint32_t aligned = address & ~3u;
    uint32_t skip = address - aligned;
    uint64_t quadlets = (static_cast<uint64_t>(skip) + length + 3) / 4;
    bytes.reserve(static_cast<size_t>(quadlets * 4));
    char where[64];
    std::snprintf(where, sizeof where, "setting the read window to flash address 0x%06X", aligned);
    Check(WriteQuadlet(node, kRegisterHigh, kFlashReadCtrl, aligned), where);
    if (progress) {
        progress->ExpectBytes(Stage::ReadFlash, length);
        progress->SetStep(Stage::ReadFlash, step);
    }
    int shown = -1;
    for (uint64_t i = 0; i < quadlets; ++i) {
        uint32_t value = 0;
        uint32_t status = ReadQuadlet(node, kRegisterHigh, kFlashReadCtrl, &value);
        if (status != 0) {
            std::snprintf(where, sizeof where, "reading flash at 0x%06llX",
                          static_cast<unsigned long long>(aligned + i * 4));
            Check(status, where);
        }
        uint8_t word[4];
        loric::bytes::StoreLittleEndian32(word, value);
        bytes.insert(bytes.end(), word, word + 4);
        int percent = static_cast<int>((i + 1) * 100 / quadlets);
        if (progress && percent != shown) {
            shown = percent;
            if (progress->Report(percent)) {
                throw ToolError(LORIC_ERR_CANCELLED, "reading the flash was cancelled",
                                "Run the command again to read it all.");
            }
        }
    }
    if (progress) progress->Finish();
    bytes.erase(bytes.begin(), bytes.begin() + skip);
    bytes.resize(length);
    return bytes;
}

}  // namespace tool
