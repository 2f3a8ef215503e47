#include "tqsim/images.h"

#include <cstring>

#include "tqsim/bytes.h"
#include "tqsim/registers.h"

namespace tqsim::image {
namespace {
constexpr char kMarker[] = "FWPARAMETERS_";
}  // namespace

uint32_t BootSum(const uint8_t* bytes, uint32_t length, uint32_t paramOffset, uint32_t paramCount) {
    uint32_t sum = 0;
    uint64_t paramEnd = paramOffset + 4ull * paramCount;
    for (uint32_t off = 0; off + 4 <= length; off += 4) {
        if (off == 0x0C) continue;
        if (paramOffset != 0 && off >= paramOffset && off < paramEnd) continue;
        sum += bytes::LoadLittleEndian32(bytes + off);
    }
    return sum;
}

std::optional<Info> Inspect(const uint8_t* bytes, size_t size, std::string* why) {
    auto fail = [&](const char* text) -> std::optional<Info> {
        if (why) *why = text;
        return std::nullopt;
    };
    if (size < kHeaderSize) return fail("too small");
    if (std::memcmp(bytes, "TQ64", 4) != 0) return fail("no image signature");
    Info info;
    if (std::memcmp(bytes + 4, "LOAD", 4) == 0)
        info.kind = Kind::Loader;
    else if (std::memcmp(bytes + 4, "FIRM", 4) == 0)
        info.kind = Kind::Firmware;
    else
        return fail("unknown image kind");
    info.length = bytes::LoadLittleEndian32(bytes + 8);
    info.sum = bytes::LoadLittleEndian32(bytes + 12);
    info.stampOffset = bytes::LoadLittleEndian32(bytes + 16);
    info.paramOffset = bytes::LoadLittleEndian32(bytes + 20);
    info.paramCount = bytes::LoadLittleEndian32(bytes + 24);
    if (info.length < kHeaderSize || info.length % 4 != 0 || info.length > size)
        return fail("bad image length");
    if (static_cast<uint64_t>(info.stampOffset) + kStampSize > info.length)
        return fail("time stamp outside the image");
    if (info.paramOffset != 0 && (info.paramOffset % 4 != 0 || info.paramOffset < kHeaderSize ||
                                  info.paramOffset + 4ull * info.paramCount > info.length))
        return fail("parameters outside the image");
    if (BootSum(bytes, info.length, info.paramOffset, info.paramCount) != info.sum)
        return fail("image sum does not match");
    return info;
}

std::vector<uint8_t> Build(const BuildOptions& o) {
    uint32_t length = (o.length < 128 ? 128 : o.length + 3) & ~3u;
    std::vector<uint8_t> img(length, 0);
    // Body: deterministic filler with every byte value, including 0x00 and 0xFF runs.
    uint32_t x = o.seed * 2654435761u + 12345u;
    for (uint32_t i = 0; i < length; ++i) {
        x = x * 1103515245u + 12345u;
        img[i] = static_cast<uint8_t>(x >> 16);
    }
    std::memcpy(img.data(), "TQ64", 4);
    std::memcpy(img.data() + 4, o.kind == Kind::Loader ? "LOAD" : "FIRM", 4);
    const uint32_t stampOffset = kHeaderSize;
    std::memset(img.data() + stampOffset, 0, kStampSize);
    std::string t = o.time.substr(0, 22), d = o.date.substr(0, 22 - t.size());
    std::memcpy(img.data() + stampOffset, t.data(), t.size());
    std::memcpy(img.data() + stampOffset + t.size() + 1, d.data(), d.size());
    uint32_t paramOffset = 0;
    if (o.paramCount) {
        const uint32_t markerAt = stampOffset + kStampSize;  // 0x38
        char count[3];
        std::snprintf(count, sizeof count, "%02X", o.paramCount & 0xFF);
        std::memcpy(img.data() + markerAt, kMarker, 13);
        std::memcpy(img.data() + markerAt + 13, count, 2);
        img[markerAt + 15] = 0;
        paramOffset = (markerAt + 16 + 3) & ~3u;
        for (uint32_t k = 0; k < o.paramCount; ++k)
            bytes::StoreLittleEndian32(img.data() + paramOffset + 4 * k,
                                       k == 0 ? reg::kNoConfigAddress : 0x50000000u + k);
    }
    bytes::StoreLittleEndian32(img.data() + 8, length);
    bytes::StoreLittleEndian32(img.data() + 16, stampOffset);
    bytes::StoreLittleEndian32(img.data() + 20, paramOffset);
    bytes::StoreLittleEndian32(img.data() + 24, o.paramCount);
    bytes::StoreLittleEndian32(img.data() + 28, 0);
    bytes::StoreLittleEndian32(img.data() + 12,
                               BootSum(img.data(), length, paramOffset, o.paramCount));
    return img;
}

uint16_t Crc16(const uint32_t* quadlets, size_t count) {
    uint32_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t data = quadlets[i];
        for (int shift = 28; shift >= 0; shift -= 4) {
            uint32_t sum = ((crc >> 12) ^ (data >> shift)) & 0xF;
            crc = ((crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum) & 0xFFFF;
        }
    }
    return static_cast<uint16_t>(crc);
}

std::vector<uint8_t> BuildConfigImage(uint32_t nodeVendorId, uint8_t chipIdHi, uint32_t chipIdLo) {
    std::vector<uint32_t> rom(12, 0);
    rom[1] = reg::kBusName;
    rom[2] = reg::kBusCapabilities;
    rom[3] = ((nodeVendorId & 0xFFFFFF) << 8) | chipIdHi;
    rom[4] = chipIdLo;
    // Root directory: node capabilities, module vendor, and a unit directory key pointing at
    // an empty-but-valid SBP-2 unit directory.
    rom[6] = 0x0C0083C0;
    rom[7] = 0x03000000 | (nodeVendorId & 0xFFFFFF);
    rom[8] = 0xD1000001;
    rom[5] = (3u << 16) | Crc16(&rom[6], 3);
    rom[10] = 0x1200609E;
    rom[11] = 0x13010483;
    rom[9] = (2u << 16) | Crc16(&rom[10], 2);
    // The bus information block's crc_length covers the whole ROM, as in the configuration
    // files the host library writes, so that the file reads back as one of them.
    const uint32_t crcLength = static_cast<uint32_t>(rom.size() - 1);
    rom[0] = (4u << 24) | (crcLength << 16) | Crc16(&rom[1], crcLength);
    std::vector<uint8_t> out((reg::kExtConfigWords + rom.size()) * 4, 0);
    bytes::StoreLittleEndian32(out.data(), reg::kExtConfigMagic);
    bytes::StoreLittleEndian32(out.data() + 16, 0x01000000);  // no data page
    bytes::StoreLittleEndian32(out.data() + reg::kExtConfigRomLengthByte,
                               static_cast<uint32_t>(rom.size() * 4));
    for (size_t i = 0; i < rom.size(); ++i)
        bytes::StoreLittleEndian32(out.data() + reg::kExtConfigRomByte + 4 * i, rom[i]);
    return out;
}

bool SetConfigIdentity(std::vector<uint8_t>* config, uint32_t nodeVendorId, uint8_t chipIdHi,
                       uint32_t chipIdLo) {
    std::vector<uint8_t>& c = *config;
    const size_t rom = reg::kExtConfigRomByte;
    if (c.size() < rom + 20 || bytes::LoadLittleEndian32(c.data()) != reg::kExtConfigMagic)
        return false;
    const uint32_t romLength = bytes::LoadLittleEndian32(c.data() + reg::kExtConfigRomLengthByte);
    const uint32_t crcLength = (bytes::LoadLittleEndian32(c.data() + rom) >> 16) & 0xFF;
    if (romLength < 20 || rom + romLength > c.size() || crcLength < 4 ||
        4u * (crcLength + 1) > romLength)
        return false;
    std::vector<uint32_t> q(crcLength + 1);
    for (size_t i = 0; i < q.size(); ++i) q[i] = bytes::LoadLittleEndian32(c.data() + rom + 4 * i);
    q[3] = ((nodeVendorId & 0xFFFFFF) << 8) | chipIdHi;
    q[4] = chipIdLo;
    q[0] = (q[0] & 0xFFFF0000u) | Crc16(&q[1], crcLength);
    for (size_t i = 0; i < 5; ++i) bytes::StoreLittleEndian32(c.data() + rom + 4 * i, q[i]);
    return true;
}

std::vector<uint8_t> ExampleLoader() {
    BuildOptions o;
    o.kind = Kind::Loader;
    o.length = 6144;
    o.time = "08:00:00";
    o.date = "Dec 01 2026";
    o.paramCount = 1;
    o.seed = 7;
    return Build(o);
}

std::vector<uint8_t> ExampleFirmware() {
    BuildOptions o;
    o.kind = Kind::Firmware;
    o.length = 40000;
    o.time = "10:15:30";
    o.date = "Dec 06 2026";
    o.paramCount = 3;
    o.seed = 11;
    return Build(o);
}

std::vector<uint8_t> ExampleConfig() { return BuildConfigImage(0x0ABCDE, 0x01, 0x23456789); }

}  // namespace tqsim::image
