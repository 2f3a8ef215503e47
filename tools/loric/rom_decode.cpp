#include "rom_decode.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <set>

#include "device_facts.h"

namespace tool {
namespace {

constexpr size_t kHeaderWords = 26;

#if defined(_WIN32)
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

const char* KeyName(uint8_t key) {
    switch (key) {
    case 0x03: return "Module_Vendor_Id";
    case 0x04: return "Module_Hw_Version";
    case 0x0C: return "Node_Capabilities";
    case 0x12: return "Unit_Spec_Id";
    case 0x13: return "Unit_Sw_Version";
    case 0x14: return "Logical_Unit_Number";
    case 0x17: return "Model_Id";
    case 0x38: return "Command_Set_Spec_Id";
    case 0x39: return "Command_Set";
    case 0x3A: return "Unit_Characteristics";
    case 0x3B: return "Command_Set_Revision";
    case 0x3C: return "Firmware_Revision";
    case 0x3D: return "Reconnect_Timeout";
    case 0x54: return "Management_Agent";
    case 0x81: return "Textual_Descriptor";
    case 0x82: return "Textual_Descriptor";
    case 0xD1: return "Unit_Directory";
    case 0xD4: return "Logical_Unit_Directory";
    default: return "";
    }
}

// Four characters to a quadlet, first character in the most significant byte.
std::string QuadletText(const std::vector<uint32_t>& rom, size_t first, size_t count) {
    std::string text;
    for (size_t i = 0; i < count && first + i < rom.size(); ++i) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            char c = static_cast<char>((rom[first + i] >> shift) & 0xFF);
            if (c == '\0') return text;
            text += (c >= 0x20 && c < 0x7F) ? c : '?';
        }
    }
    return text;
}

class Decoder {
public:
    Decoder(const std::vector<uint32_t>& rom, RomReport& report) : rom_(rom), report_(report) {}

    void Line(const std::string& line) { report_.text += line + "\n"; }

    // Checks the CRC of the block whose header is at `at`, covering `length` quadlets after it.
    std::string CheckCrc(size_t at, size_t length) {
        if (at + length >= rom_.size()) {
            report_.problems.push_back(Format("block at q%zu runs past the end of the ROM", at));
            return "CRC not checked: block runs past the end";
        }
        uint16_t stored = rom_[at] & 0xFFFF;
        uint16_t computed = RomCrc(&rom_[at + 1], length);
        ++report_.crcChecked;
        if (stored == computed) return Format("CRC %04X ok", stored);
        ++report_.crcFailed;
        report_.problems.push_back(
            Format("CRC of the block at q%zu is %04X, should be %04X", at, stored, computed));
        return Format("CRC %04X BAD (computed %04X)", stored, computed);
    }

    void Directory(const char* name, size_t at) {
        if (at >= rom_.size()) {
            report_.problems.push_back(Format("%s at q%zu lies outside the ROM", name, at));
            Line(Format("  %s at q%zu: outside the ROM", name, at));
            return;
        }
        size_t length = rom_[at] >> 16;
        Line(Format("%s at q%zu, %zu entries, %s", name, at, length, CheckCrc(at, length).c_str()));
        for (size_t i = 1; i <= length && at + i < rom_.size(); ++i) {
            size_t index = at + i;
            uint32_t entry = rom_[index];
            uint8_t key = entry >> 24;
            uint32_t value = entry & 0xFFFFFF;
            std::string line = Format("  q%-3zu %08X  %-22s ", index, entry,
                                      entry == 0 ? "(empty)" : KeyName(key));
            if (entry == 0) {
                Line(line);
                continue;
            }
            if ((key >> 6) == 2) {  // leaf
                size_t target = index + value;
                leaves_.insert(target);
                line += Format("-> leaf at q%zu", target);
                if (target < rom_.size()) {
                    size_t leafLength = rom_[target] >> 16;
                    if (leafLength >= 2)
                        line += " \"" + QuadletText(rom_, target + 3, leafLength - 2) + "\"";
                }
            } else if ((key >> 6) == 3) {  // directory
                subdirectories_.push_back(index + value);
                line += Format("-> directory at q%zu", index + value);
            } else if (key == 0x14) {
                line += Format("LUN %u, device type 0x%02X%s", value & 0xFFFF, (value >> 16) & 0x1F,
                               (value & 0x400000) ? ", ordered" : "");
            } else if (key == 0x3A) {
                line += Format("mgt_orb_timeout 0x%02X, orb_size 0x%02X", (value >> 8) & 0xFF,
                               value & 0xFF);
            } else {
                line += Format("0x%06X", value);
            }
            Line(line);
        }
    }

    void Leaves() {
        size_t next = 0;
        for (size_t at : leaves_) {
            if (at < rom_.size()) next = std::max(next, at + (rom_[at] >> 16) + 1);
            if (at >= rom_.size()) {
                report_.problems.push_back(
                    Format("a leaf pointer leads to q%zu, outside the ROM", at));
                Line(Format("Leaf at q%zu: outside the ROM", at));
                continue;
            }
            size_t length = rom_[at] >> 16;
            std::string text = length >= 2 ? QuadletText(rom_, at + 3, length - 2) : "";
            Line(Format("Leaf at q%zu, %zu quadlets, %s: \"%s\"", at, length,
                        CheckCrc(at, length).c_str(), text.c_str()));
        }
        // Leaves that no entry points to still lie in the ROM (the second unit's text when
        // there is no second unit): show them too, as long as they fit.
        while (next > 0 && next < rom_.size()) {
            size_t length = rom_[next] >> 16;
            if (length < 2 || next + length >= rom_.size()) break;
            std::string text = QuadletText(rom_, next + 3, length - 2);
            Line(Format("Leaf at q%zu, %zu quadlets (no entry points to it), %s: \"%s\"", next,
                        length, CheckCrc(next, length).c_str(), text.c_str()));
            next += length + 1;
        }
    }

    std::vector<size_t> subdirectories_;

private:
    const std::vector<uint32_t>& rom_;
    RomReport& report_;
    std::set<size_t> leaves_;
};

}  // namespace

uint16_t RomCrc(const uint32_t* words, size_t count) {
    uint32_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            uint32_t sum = ((crc >> 12) ^ (words[i] >> shift)) & 0xF;
            crc = (crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
        }
        crc &= 0xFFFF;
    }
    return static_cast<uint16_t>(crc);
}

RomReport DecodeConfigImage(const std::vector<uint8_t>& image) {
    RomReport report;
    std::vector<uint32_t> words((image.size() + 3) / 4, 0);
    for (size_t i = 0; i < image.size(); ++i)
        words[i / 4] |= static_cast<uint32_t>(image[i]) << (8 * (i % 4));

    auto line = [&](const std::string& text) { report.text += text + "\n"; };
    if (words.size() < kHeaderWords + 5) {
        report.problems.push_back(
            Format("%zu bytes is too short for a configuration image", image.size()));
        line(report.problems.back());
        return report;
    }
    bool magic = words[0] == kConfigMagic;
    uint32_t flags = words[4];
    uint32_t romLength = words[25];
    line(Format("Header (ext_config), %zu bytes in all", image.size()));
    line(magic
             ? Format("  magic            %08X  ok", words[0])
             : Format("  magic            %08X  MISSING (should be %08X)", words[0], kConfigMagic));
    line(Format("  config_word1     %08X", words[1]));
    line(Format("  config_word2     %08X", words[2]));
    line(Format("  config_word3     %08X", words[3]));
    line(Format("  config_flags     %08X  (data page type %u%s, second logical unit %s)", flags,
                flags >> 24, (flags >> 24) == 1 ? ": none" : "",
                (flags & 0x800000) ? "yes" : "no"));
    if ((flags >> 24) == 2) {
        std::vector<uint32_t> page(words.begin() + 5, words.begin() + 13);
        line(Format("  data page        \"%s\" \"%s\" \"%s\" \"%s\"",
                    QuadletText(page, 0, 2).c_str(), QuadletText(page, 2, 4).c_str(),
                    QuadletText(page, 6, 1).c_str(), QuadletText(page, 7, 1).c_str()));
    }
    line(Format("  config_rom_len   %u bytes", romLength));
    if (!magic) report.problems.push_back("the header's magic word is missing");

    std::vector<uint32_t> rom(words.begin() + kHeaderWords, words.end());
    size_t crcLength = (rom[0] >> 16) & 0xFF;
    if (romLength != (crcLength + 1) * 4) {
        report.problems.push_back(Format("config_rom_len is %u, the ROM's crc_length says %zu",
                                         romLength, (crcLength + 1) * 4));
    }
    if (crcLength + 1 > rom.size()) {
        report.problems.push_back(
            Format("the ROM claims %zu quadlets, the file holds %zu", crcLength + 1, rom.size()));
        rom.resize(crcLength + 1, 0);
    } else {
        rom.resize(crcLength + 1);
    }
    Decoder decoder(rom, report);
    decoder.Line(Format("Bus information block, info_length %u, crc_length %zu, %s", rom[0] >> 24,
                        crcLength, decoder.CheckCrc(0, crcLength).c_str()));
    decoder.Line(Format("  q1   %08X  bus name \"%s\"", rom[1], QuadletText(rom, 1, 1).c_str()));
    decoder.Line(Format("  q2   %08X  bus options, link_speed %u", rom[2], rom[2] & 7));
    decoder.Line(Format("  q3   %08X  node_vendor_id 0x%06X, chip_id_hi 0x%02X", rom[3],
                        rom[3] >> 8, rom[3] & 0xFF));
    decoder.Line(Format("  q4   %08X  chip_id_lo 0x%08X", rom[4], rom[4]));
    if (rom.size() > 5) {
        decoder.Directory("Root directory", 5);
        for (size_t i = 0; i < decoder.subdirectories_.size() && i < 8; ++i) {
            decoder.Directory("Unit directory", decoder.subdirectories_[i]);
        }
        decoder.Leaves();
    }
    report.valid = magic && report.problems.empty();
    if (report.crcFailed == 0 && report.problems.empty()) {
        line(Format("All %d CRCs ok.", report.crcChecked));
    } else {
        for (const auto& problem : report.problems) line("PROBLEM: " + problem);
    }
    return report;
}

}  // namespace tool
