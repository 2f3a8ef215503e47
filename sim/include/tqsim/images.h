// Loader and firmware images as the simulated TQ6410's boot code understands them, and the
// configuration image that the firmware reads from its configuration sector.
//
// Image layout (all numbers little-endian), at flash byte address 0:
//   0x00  4  "TQ64"                 signature
//   0x04  4  "LOAD" or "FIRM"       kind: bootstrap loader or main firmware
//   0x08  4  length                 image length in bytes (multiple of 4)
//   0x0C  4  sum                    32-bit sum of the image's little-endian quadlets, taken with
//                                   this field and the parameter quadlets counted as 0
//   0x10  4  stampOffset            byte offset of the 24-byte time stamp record
//   0x14  4  paramOffset            byte offset of parameter 1 (0: no parameter section)
//   0x18  4  paramCount             number of parameters
//   0x1C  4  reserved (0)
// The time stamp record holds the time text, a NUL, the date text and a NUL, padded with NULs
// to 24 bytes. The parameter section is the marker "FWPARAMETERS_", two hexadecimal digits of
// count and a NUL, the parameters starting at the next multiple of 4; a firmware takes the
// byte address of its configuration image from parameter 1 (0xFFFFFFFF: none).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tqsim::image {

enum class Kind { Loader, Firmware };

inline constexpr uint32_t kHeaderSize = 32;
inline constexpr uint32_t kStampSize = 24;

struct Info {
    Kind kind = Kind::Loader;
    uint32_t length = 0;
    uint32_t sum = 0;
    uint32_t stampOffset = 0;
    uint32_t paramOffset = 0;
    uint32_t paramCount = 0;
};

// Checks an image as the boot code does: signature, kind, length within `size`, sum, and the
// time stamp and parameters inside the image. Null when any check fails; `why` says which.
std::optional<Info> Inspect(const uint8_t* bytes, size_t size, std::string* why = nullptr);

// The boot sum of an image whose header is already in place.
uint32_t BootSum(const uint8_t* bytes, uint32_t length, uint32_t paramOffset, uint32_t paramCount);

struct BuildOptions {
    Kind kind = Kind::Firmware;
    uint32_t length = 40000;        // rounded up to a multiple of 4; at least 128
    std::string time = "12:00:00";  // time stamp texts (together at most 22 characters)
    std::string date = "Jan 01 2026";
    uint32_t paramCount = 3;  // 0: no parameter section
    uint32_t seed = 1;        // body filler
};
std::vector<uint8_t> Build(const BuildOptions& options);

// A configuration image (ext_config header + configuration ROM) as stored in flash: the
// 26-word header and the ROM, each word little-endian. The ROM is a bus information block
// and a small root directory with valid CRCs, for the node identifier given.
std::vector<uint8_t> BuildConfigImage(uint32_t nodeVendorId, uint8_t chipIdHi, uint32_t chipIdLo);

// Gives a configuration image (as BuildConfigImage makes it, or as the host library writes it)
// another 64-bit identifier: quadlets 3 and 4 of its ROM, with the bus information block's CRC
// made again. False (image unchanged) when it is not a configuration image.
bool SetConfigIdentity(std::vector<uint8_t>* config, uint32_t nodeVendorId, uint8_t chipIdHi,
                       uint32_t chipIdLo);

// The example images of sim/images/ (tqsim-mkimages writes them): a 6144-byte loader, a
// 40000-byte firmware and a configuration for identifier 0x0ABCDE01/0x23456789.
std::vector<uint8_t> ExampleLoader();
std::vector<uint8_t> ExampleFirmware();
std::vector<uint8_t> ExampleConfig();

// IEEE 1212 CRC-16 over quadlets.
uint16_t Crc16(const uint32_t* quadlets, size_t count);

}  // namespace tqsim::image
