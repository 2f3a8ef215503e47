// The whole life of a device, driven by hand through the driver socket: blank, flash port
// erase and loader program, resets, the loader found at UPLOADER_READY, upload mode, erases,
// firmware and configuration uploads with the device's checksum, processor reset, and the
// running firmware with its node list entry, time stamp and configuration ROM. The flash is
// checked byte for byte along the way.
#include <gtest/gtest.h>

#include <cstring>

#include "sim_test_util.h"
#include "tqsim/system.h"

namespace {

using namespace simtest;
using tqsim::DeviceMode;
namespace io = tqsim::ioctl;

std::vector<uint8_t> ReadImage(const char* name) { return Image(name); }

std::vector<uint8_t> CommandSetBytes(const uint32_t (&words)[16], bool wide) {
    std::vector<uint8_t> v;
    for (int i = 0; i < 16; ++i) Put32(v, i == 0 && wide ? words[0] | 0x100 : words[i]);
    return v;
}

constexpr auto& kSets = tqsim::reg::kCommandSets;  // 16 words each, word 0 without the 16-bit flag

struct Bench {
    const char* chip;
    const uint32_t (*set)[16];
    unsigned setIndex;
};

class Lifecycle : public ::testing::TestWithParam<Bench> {
protected:
    void SetUp() override {
        tqsim::SystemOptions o;
        o.chip = *tqsim::FindBuiltInChip(GetParam().chip);
        sim_ = std::make_unique<tqsim::System>(o);
        path_ = socket_.Path();
        ASSERT_TRUE(sim_->StartDriverServer(path_));
        wire_ = std::make_unique<Wire>(path_);
        ASSERT_TRUE(wire_->ok());
        geometry_ = o.chip;
        bpw_ = geometry_.BytesPerWord();
    }

    // 50 upload requests as the upload engine makes them; returns false at the first refusal.
    bool Upload(uint32_t code, uint32_t baseWords, const std::vector<uint8_t>& image) {
        const uint32_t length = static_cast<uint32_t>(image.size());
        uint32_t segment = (length + 49) / 50;
        segment = (segment + 3) & ~3u;
        uint32_t pos = 0;
        const uint32_t mode = (code == io::kUploadFlashPort ? 1u : 0u) | (geometry_.busWidth & 0x18) |
                              (GetParam().setIndex << 24);
        for (uint32_t i = 0; i < 50; ++i) {
            const uint32_t n = std::min(segment, length - pos);
            std::vector<uint8_t> req;
            Put32(req, baseWords + i * (segment / bpw_));
            Put32(req, n);
            Put32(req, 0);
            Put32(req, mode);
            std::vector<uint8_t> data(image.begin() + pos, image.begin() + pos + n);
            auto r = wire_->Call(code, req, 0, data);
            if (!r.ok) return false;
            pos += n;
        }
        return true;
    }

    uint32_t EraseAndWait(uint16_t node, uint32_t sectorWords) {
        if (uint32_t e = wire_->Write(node, 0xF0090000, sectorWords)) return e;
        for (int polls = 0; polls < 1000; ++polls) {
            uint32_t v = 0;
            if (uint32_t e = wire_->Read(node, 0xF0090000, &v)) return e;
            if (v & 1) return 0;
        }
        return 0xFFFF;  // never done
    }

    TempSocket socket_;  // outlives the server
    std::unique_ptr<tqsim::System> sim_;
    std::string path_;
    std::unique_ptr<Wire> wire_;
    tqsim::ChipGeometry geometry_;
    unsigned bpw_ = 1;
};

TEST_P(Lifecycle, BlankToRunningFirmware) {
    const auto loader = ReadImage("loader.bin");
    auto firmware = ReadImage("firmware.bin");
    const auto config = ReadImage("config.bin");
    ASSERT_EQ(loader.size(), 6144u);
    ASSERT_EQ(firmware.size(), 40000u);
    const bool wide = geometry_.busWidth == 16;
    const auto setBytes = CommandSetBytes(*GetParam().set, wide);

    // ---- Blank: no node listed; the flash port answers at the first node.
    auto list = wire_->Call(io::kGetNodeList, {}, 204);
    ASSERT_TRUE(list.ok);
    EXPECT_EQ(Get32(list.out, 0), 0u);
    EXPECT_EQ(wire_->Write(0xFFC0, 0xF0080000, 0), 0u);
    ASSERT_TRUE(wire_->Call(io::kSetTargetNode, {0xC0, 0xFF}, 0).ok);
    ASSERT_TRUE(wire_->Call(io::kSetCommandSet, setBytes, 0).ok);
    // Forcing a blank device: its boot code has no mode register.
    EXPECT_EQ(wire_->Write(0xFFC0, 0xF0090010, 0x46726365), 1117u);

    // ---- Flash port erase of the bottom sector (or the chip when the loader is larger).
    const bool eraseAll = loader.size() > geometry_.sectorWords[0] * bpw_;
    ASSERT_TRUE(wire_->Call(io::kEraseSector, U32(eraseAll ? 0xFFFFFFFF : 0), 0).ok);
    ASSERT_TRUE(wire_->Call(io::kSetByteProgramDelay, U32(20), 0).ok);
    EXPECT_EQ(sim_->DriverByteProgramDelay(), 20u);
    ASSERT_TRUE(Upload(io::kUploadFlashPort, 0, loader));
    {
        auto flash = sim_->Flash();
        std::vector<uint8_t> expect(flash.size(), 0xFF);
        std::copy(loader.begin(), loader.end(), expect.begin());
        ASSERT_EQ(flash, expect) << "loader through the flash port";
    }

    // ---- Flash reset, device reset, port clear at the old node, bus reset.
    ASSERT_TRUE(wire_->Call(io::kReset, U32(0), 0).ok);
    ASSERT_TRUE(wire_->Call(io::kReset, U32(1), 0).ok);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Loader);
    EXPECT_EQ(wire_->Write(0xFFC0, 0xF0080000, 0), 1117u) << "0xFFC0 is now the host's controller";
    ASSERT_TRUE(wire_->Call(io::kReset, U32(2), 0).ok);

    // ---- The loader answers UPLOADER_READY at its new node; it is still not listed.
    uint16_t node = 0;
    for (uint16_t id = 0xFFC0; id <= 0xFFC2 && !node; ++id) {
        uint32_t v = 0;
        if (wire_->Read(id, 0xF0090008, &v) == 0 && v == 0x414F6B21) node = id;
    }
    ASSERT_EQ(node, 0xFFC1);
    list = wire_->Call(io::kGetNodeList, {}, 204);
    EXPECT_EQ(Get32(list.out, 0), 0u);
    ASSERT_TRUE(wire_->Call(io::kSetTargetNode, {0xC1, 0xFF}, 0).ok);

    // ---- Upload mode: MODE_EDIT, then the 16 command set words.
    ASSERT_EQ(wire_->Write(node, 0xF0090010, 0x45646974), 0u);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(wire_->Write(node, 0xF009001C, Get32(setBytes, 4 * i)), 0u);
    EXPECT_EQ(wire_->Write(node, 0xF009001C, 0), 1117u) << "a 17th word is refused";

    // ---- Erase firmware sectors and the configuration sector through the device.
    const int cs = geometry_.ConfigSector();
    const uint32_t configWords = geometry_.SectorStart(static_cast<size_t>(cs));
    const uint32_t configByte = configWords * bpw_;
    uint32_t covered = 0;
    for (size_t s = 0; covered < firmware.size(); ++s) {
        ASSERT_EQ(EraseAndWait(node, geometry_.SectorStart(s)), 0u);
        covered += geometry_.sectorWords[s] * bpw_;
    }
    ASSERT_EQ(EraseAndWait(node, configWords), 0u);
    EXPECT_EQ(sim_->Flash(), std::vector<uint8_t>(geometry_.TotalBytes(), 0xFF)) << "the loader is gone too";

    // ---- Firmware with the configuration address patched into parameter 1, then the checksum.
    for (int i = 0; i < 4; ++i) firmware[0x48 + i] = static_cast<uint8_t>(configByte >> (8 * i));
    uint32_t sum = 0;
    for (size_t off = 0; off < firmware.size(); off += 4) sum += Get32(firmware, off);
    ASSERT_EQ(wire_->Write(node, 0xF0090008, 0), 0u);
    ASSERT_TRUE(Upload(io::kUploadUploader, 0, firmware));
    uint32_t deviceSum = 0;
    ASSERT_EQ(wire_->Read(node, 0xF0090004, &deviceSum), 0u);
    EXPECT_EQ(deviceSum, sum);

    // ---- Configuration into its sector (50 steps of which the last are empty).
    sum = 0;
    for (size_t off = 0; off < config.size(); off += 4) sum += Get32(config, off);
    ASSERT_EQ(wire_->Write(node, 0xF0090008, configWords), 0u);
    ASSERT_TRUE(Upload(io::kUploadUploader, configWords, config));
    ASSERT_EQ(wire_->Read(node, 0xF0090004, &deviceSum), 0u);
    EXPECT_EQ(deviceSum, sum);
    {
        auto flash = sim_->Flash();
        std::vector<uint8_t> expect(flash.size(), 0xFF);
        std::copy(firmware.begin(), firmware.end(), expect.begin());
        std::copy(config.begin(), config.end(), expect.begin() + configByte);
        ASSERT_EQ(flash, expect) << "firmware and configuration";
    }

    // ---- Processor reset: the firmware runs and is listed.
    ASSERT_EQ(wire_->Write(node, 0xF0090008, 0x80000000), 0u);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Firmware);
    list = wire_->Call(io::kGetNodeList, {}, 4 + 40);
    ASSERT_TRUE(list.ok);
    ASSERT_EQ(Get32(list.out, 0), 1u);
    EXPECT_EQ(list.bytesReturned, 24u);
    // NODE_INFO: 8 reserved bytes, node number, bus number, idLow, idHigh.
    EXPECT_EQ(list.out[4 + 8], 0x01);
    EXPECT_EQ(list.out[4 + 9], 0x00);
    EXPECT_EQ(list.out[4 + 10], 0xFF);
    EXPECT_EQ(list.out[4 + 11], 0x03);
    EXPECT_EQ(Get32(list.out, 4 + 12), 0x23456789u);
    EXPECT_EQ(Get32(list.out, 4 + 16), 0x0ABCDE01u);
    EXPECT_EQ(std::vector<uint8_t>(list.out.begin() + 24, list.out.end()), std::vector<uint8_t>(20, 0));
    node = 0xFFC1;

    // Time stamp: six quadlets after READ_TIMESTAMP, characters in little-endian order.
    ASSERT_EQ(wire_->Write(node, 0xF0090014, 0xFFFFFFF0), 0u);
    std::vector<uint8_t> stamp;
    for (int i = 0; i < 6; ++i) {
        uint32_t v = 0;
        ASSERT_EQ(wire_->Read(node, 0xF0090014, &v), 0u);
        Put32(stamp, v);
    }
    const char expectStamp[24] = "10:15:30\0Dec 06 2026";
    EXPECT_EQ(0, std::memcmp(stamp.data(), expectStamp, 24));

    // Configuration ROM at 0xFFFF F0000400, on the bus most significant byte first.
    for (size_t q = 0; q < (config.size() - 104) / 4; ++q) {
        uint32_t v = 0;
        ASSERT_EQ(wire_->Read(node, 0xF0000400 + static_cast<uint32_t>(4 * q), &v), 0u);
        EXPECT_EQ(v, Get32(config, 104 + 4 * q)) << "ROM quadlet " << q;
    }
    // The read window gives the configuration image back as stored.
    ASSERT_EQ(wire_->Write(node, 0xF0090014, configByte), 0u);
    std::vector<uint8_t> back;
    for (size_t i = 0; i < config.size() / 4; ++i) {
        uint32_t v = 0;
        ASSERT_EQ(wire_->Read(node, 0xF0090014, &v), 0u);
        Put32(back, v);
    }
    EXPECT_EQ(back, config);
}

INSTANTIATE_TEST_SUITE_P(Chips, Lifecycle,
                         ::testing::Values(Bench{"29F040B", &kSets[1], 1}, Bench{"29LV800B-x16", &kSets[0], 0},
                                           Bench{"39SF020A", &kSets[2], 2}, Bench{"29LV800B-x8", &kSets[5], 5},
                                           Bench{"39VF400A", &kSets[2], 2}),
                         [](const auto& info) {
                             std::string n = info.param.chip;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

}  // namespace
