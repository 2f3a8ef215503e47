// The NOR command state machine, checked with literal bus-cycle sequences per protocol.
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "tqsim/flash_chip.h"

namespace {

using tqsim::ChipGeometry;
using tqsim::FlashChip;

struct Protocol {
    unsigned set;
    uint32_t u1, u2;
    bool bypass;
};
// Unlock addresses of each command set as the chip makers list them.
const Protocol kProtocols[] = {
    {0, 0x555, 0x2AA, true},   {1, 0x555, 0x2AA, false},  {2, 0x5555, 0x2AAA, false},
    {3, 0xAAAA, 0x5555, false}, {4, 0x5555, 0x2AAA, false}, {5, 0xAAA, 0x555, true},
};

ChipGeometry Geometry(unsigned set, unsigned width) {
    ChipGeometry g;
    g.name = "test";
    g.busWidth = width;
    g.commandSet = set;
    g.sectorWords = {0x4000, 0x4000, 0x8000, 0x10000, 0x10000};  // 0x30000 words
    return g;
}

class ChipProtocol : public ::testing::TestWithParam<std::tuple<Protocol, unsigned>> {
protected:
    Protocol p() const { return std::get<0>(GetParam()); }
    unsigned width() const { return std::get<1>(GetParam()); }
    uint32_t mask() const { return width() == 16 ? 0xFFFF : 0xFF; }
    void Unlock(FlashChip& c) {
        c.WriteCycle(p().u1, 0xAA);
        c.WriteCycle(p().u2, 0x55);
    }
    void Program(FlashChip& c, uint32_t a, uint32_t d) {
        Unlock(c);
        c.WriteCycle(p().u1, 0xA0);
        c.WriteCycle(a, d);
    }
};

TEST_P(ChipProtocol, ProgramClearsBitsAndEraseSetsThemPerSectorOrWhole) {
    FlashChip c(Geometry(p().set, width()));
    Program(c, 0x1234, 0x3C3C & mask());
    Program(c, 0x1234, 0xF0F0 & mask());  // not erased in between: the AND stays
    EXPECT_EQ(c.ReadWord(0x1234), 0x3030u & mask());
    EXPECT_EQ(c.ReadWord(0x1233), mask());
    EXPECT_EQ(c.ReadWord(0x1235), mask());
    EXPECT_EQ(c.GetState(), FlashChip::State::Read);
    // Words are stored least significant byte first; an 8-bit chip sees data bits 0-7 only.
    Program(c, 5, 0x1234 & mask());
    EXPECT_EQ(c.Bytes()[width() == 16 ? 10 : 5], 0x34);
    EXPECT_EQ(c.Bytes()[width() == 16 ? 11 : 4], width() == 16 ? 0x12 : 0xFF);
    // A sector erase hits the sector holding the address, and only that one.
    Program(c, 0x3FFF, 0);  // last word of sector 0
    Program(c, 0x5000, 0);  // inside sector 1
    Unlock(c);
    c.WriteCycle(p().u1, 0x80);
    Unlock(c);
    c.WriteCycle(0x4000, 0x30);
    EXPECT_EQ(c.ReadWord(0x3FFF), 0u);
    EXPECT_EQ(c.ReadWord(0x5000), mask());
    EXPECT_EQ(c.GetStats().sectorErases, 1u);
    Program(c, 0x2FFFF, 0);
    Unlock(c);
    c.WriteCycle(p().u1, 0x80);
    Unlock(c);
    c.WriteCycle(p().u1, 0x10);
    for (uint8_t b : c.Bytes()) ASSERT_EQ(b, 0xFF);
}

TEST_P(ChipProtocol, WrongCycleOrResetReturnsToReadMode) {
    FlashChip c(Geometry(p().set, width()));
    // Wrong second unlock address, then what would have been the program command.
    c.WriteCycle(p().u1, 0xAA);
    c.WriteCycle(p().u2 + 1, 0x55);
    EXPECT_EQ(c.GetState(), FlashChip::State::Read);
    c.WriteCycle(p().u1, 0xA0);
    c.WriteCycle(0x10, 0x00);
    EXPECT_EQ(c.ReadWord(0x10), mask());
    // An erase sequence broken after its setup command erases nothing.
    Program(c, 0x20, 0);
    Unlock(c);
    c.WriteCycle(p().u1, 0x80);
    c.WriteCycle(p().u1, 0x55);
    EXPECT_EQ(c.GetState(), FlashChip::State::Read);
    c.WriteCycle(p().u2, 0x55);
    c.WriteCycle(0x20, 0x30);
    EXPECT_EQ(c.ReadWord(0x20), 0u);
    EXPECT_GT(c.GetStats().rejectedCycles, 0u);
    // The reset command aborts a sequence.
    Unlock(c);
    c.WriteCycle(0, 0xF0);
    EXPECT_EQ(c.GetState(), FlashChip::State::Read);
    c.WriteCycle(0x30, 0x00);
    EXPECT_EQ(c.ReadWord(0x30), mask());
}

TEST_P(ChipProtocol, UnlockBypass) {
    FlashChip c(Geometry(p().set, width()));
    Unlock(c);
    c.WriteCycle(p().u1, 0x20);
    if (!p().bypass) {
        EXPECT_EQ(c.GetState(), FlashChip::State::Read);
        return;
    }
    for (uint32_t a = 0x100; a < 0x104; ++a) {
        c.WriteCycle(0, 0xA0);  // address does not matter in bypass
        c.WriteCycle(a, a & 0xFF);
    }
    EXPECT_EQ(c.GetState(), FlashChip::State::Bypass);
    c.WriteCycle(0, 0x90);
    c.WriteCycle(0, 0x00);
    EXPECT_EQ(c.GetState(), FlashChip::State::Read);
    for (uint32_t a = 0x100; a < 0x104; ++a) EXPECT_EQ(c.ReadWord(a), a & 0xFF);
    // After the exit a lone program command does nothing.
    c.WriteCycle(0, 0xA0);
    c.WriteCycle(0x200, 0);
    EXPECT_EQ(c.ReadWord(0x200), mask());
}

INSTANTIATE_TEST_SUITE_P(AllSetsBothWidths, ChipProtocol,
                         ::testing::Combine(::testing::ValuesIn(kProtocols), ::testing::Values(8u, 16u)),
                         [](const auto& info) {
                             return "set" + std::to_string(std::get<0>(info.param).set) + "_x" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST(FlashChip, BusyChipIgnoresCyclesUntilTheTimePassed) {
    tqsim::ManualClock clock;
    FlashChip c(Geometry(1, 8), &clock);
    c.SetTimings({10, 1000, 5000});
    auto program = [&](uint32_t a, uint32_t d) {
        c.WriteCycle(0x555, 0xAA);
        c.WriteCycle(0x2AA, 0x55);
        c.WriteCycle(0x555, 0xA0);
        c.WriteCycle(a, d);
    };
    program(1, 0x11);
    EXPECT_TRUE(c.Busy());
    EXPECT_EQ(c.BusyRemainingUs(), 10u);
    program(2, 0x22);  // too early: every cycle of it is ignored
    EXPECT_EQ(c.ReadWord(2), 0xFFu);
    EXPECT_EQ(c.GetStats().ignoredWhileBusy, 4u);
    clock.Advance(10);
    EXPECT_FALSE(c.Busy());
    program(2, 0x22);
    EXPECT_EQ(c.ReadWord(2), 0x22u);
    clock.Advance(10);
    c.WriteCycle(0x555, 0xAA);
    c.WriteCycle(0x2AA, 0x55);
    c.WriteCycle(0x555, 0x80);
    c.WriteCycle(0x555, 0xAA);
    c.WriteCycle(0x2AA, 0x55);
    c.WriteCycle(0x555, 0x10);
    EXPECT_EQ(c.BusyRemainingUs(), 5000u);
    clock.Advance(4999);
    EXPECT_TRUE(c.Busy());
    clock.Advance(1);
    EXPECT_FALSE(c.Busy());
}

TEST(FlashChip, EraseThatNeverFinishesEndsOnlyWithAPowerReset) {
    tqsim::ManualClock clock;
    FlashChip c(Geometry(1, 8), &clock);
    c.SetEraseNeverFinishes(true);
    c.WriteCycle(0x555, 0xAA);
    c.WriteCycle(0x2AA, 0x55);
    c.WriteCycle(0x555, 0x80);
    c.WriteCycle(0x555, 0xAA);
    c.WriteCycle(0x2AA, 0x55);
    c.WriteCycle(0x8000, 0x30);
    clock.Advance(3600ull * 1000000);
    EXPECT_TRUE(c.Busy());
    EXPECT_EQ(c.BusyRemainingUs(), UINT64_MAX);
    c.PowerReset();
    EXPECT_FALSE(c.Busy());
}

TEST(FlashChip, InternalFlashHasNoBusProtocol) {
    FlashChip c(*tqsim::FindBuiltInChip("sim-internal"));
    c.WriteCycle(0x555, 0xAA);
    c.WriteCycle(0x2AA, 0x55);
    c.WriteCycle(0x555, 0xA0);
    c.WriteCycle(0, 0);
    EXPECT_EQ(c.ReadWord(0), 0xFFu);
    c.DirectProgram(0, 0x5A);
    EXPECT_EQ(c.ReadWord(0), 0x5Au);
}

TEST(ChipGeometry, ConfigSectorIsTheLastEndingWithinTheFirst128KWords) {
    struct Case {
        const char* chip;
        int configSector;
        uint32_t start;
    } cases[] = {
        {"29F040B", 1, 0x10000},   {"29LV800B-x16", 6, 0x18000}, {"39SF020A", 31, 0x1F000},
        {"39VF400A", 63, 0x1F800}, {"SIM28F010A", 7, 0x1C000},   {"29F010", 7, 0x1C000},
        {"29LV800B-x8", 4, 0x10000},
    };
    for (const auto& k : cases) {
        const ChipGeometry* g = tqsim::FindBuiltInChip(k.chip);
        ASSERT_NE(g, nullptr) << k.chip;
        EXPECT_EQ(g->ConfigSector(), k.configSector) << k.chip;
        EXPECT_EQ(g->SectorStart(static_cast<size_t>(k.configSector)), k.start) << k.chip;
        EXPECT_TRUE(g->Valid()) << k.chip;
    }
}

TEST(ChipGeometry, BuiltInChipsMatchTheFlashDataFileAndWriteOneThatReadsBack) {
    char dir[] = "/tmp/tqsimchipsXXXXXX";
    const std::string written = std::string(::mkdtemp(dir)) + "/chips.dat";
    std::ofstream(written, std::ios::binary) << tqsim::BuiltInChipsAsFlashDataFile();
    for (const std::string& file : {std::string(LORIC_SOURCE_DIR) + "/data/flash_devices.dat", written}) {
        for (const auto& chip : tqsim::BuiltInChips()) {
            if (chip.name.rfind("SIM", 0) == 0 && file != written) continue;  // no such record shipped
            tqsim::ChipGeometry g;
            std::string error;
            ASSERT_TRUE(tqsim::LoadChipFromFlashDataFile(file, chip.name, &g, &error)) << error;
            EXPECT_EQ(g.busWidth, chip.busWidth) << chip.name;
            EXPECT_EQ(g.commandSet, chip.commandSet) << chip.name;
            EXPECT_EQ(g.sectorWords, chip.sectorWords) << chip.name;
        }
    }
    tqsim::ChipGeometry g;
    std::string error;
    EXPECT_FALSE(tqsim::LoadChipFromFlashDataFile(written, "NOSUCHCHIP", &g, &error));
    EXPECT_NE(error.find("no device named NOSUCHCHIP"), std::string::npos);
    EXPECT_FALSE(tqsim::LoadChipFromFlashDataFile(written + ".missing", "29F040B", &g, &error));
    ::unlink(written.c_str());
    ::rmdir(dir);
}

}  // namespace
