// The NOR command state machine, checked with literal bus-cycle sequences per command set, and
// the chip's busy periods.
#include <gtest/gtest.h>

#include "tqsim/flash_chip.h"

namespace {

using tqsim::ChipGeometry, tqsim::FlashChip;
using Cycles = std::initializer_list<std::pair<uint32_t, uint32_t>>;

ChipGeometry Geometry(unsigned set, unsigned width) {
    ChipGeometry g;
    g.name = "test";
    g.busWidth = width;
    g.commandSet = set;
    g.sectorWords = {0x4000, 0x4000, 0x8000, 0x10000, 0x10000};  // 0x30000 words
    return g;
}

// The two unlock cycles (the second address moved by `skew`), then `cycles`.
void Command(FlashChip& c, uint32_t u1, uint32_t u2, Cycles cycles, uint32_t skew = 0) {
    c.WriteCycle(u1, 0xAA);
    c.WriteCycle(u2 + skew, 0x55);
    for (auto [a, d] : cycles) c.WriteCycle(a, d);
}

TEST(FlashChip, ProgramEraseBypassAndRefusedSequencesOfEverySetAndWidth) {
    // Unlock addresses of each command set as the chip makers list them.
    const struct {
        unsigned set;
        uint32_t u1, u2;
        bool bypass;
    } protocols[] = {
        {0, 0x555, 0x2AA, true},    {1, 0x555, 0x2AA, false},   {2, 0x5555, 0x2AAA, false},
        {3, 0xAAAA, 0x5555, false}, {4, 0x5555, 0x2AAA, false}, {5, 0xAAA, 0x555, true},
    };
    for (const auto& p : protocols) {
        for (unsigned width : {8u, 16u}) {
            SCOPED_TRACE("set " + std::to_string(p.set) + " x" + std::to_string(width));
            FlashChip c(Geometry(p.set, width));
            const uint32_t mask = width == 16 ? 0xFFFF : 0xFF;
            auto command = [&](Cycles cycles, uint32_t skew = 0) {
                Command(c, p.u1, p.u2, cycles, skew);
            };
            auto program = [&](uint32_t a, uint32_t d) { command({{p.u1, 0xA0}, {a, d}}); };
            auto erase = [&](uint32_t a, uint32_t d) {
                command({{p.u1, 0x80}});
                command({{a, d}});
            };
            program(0x1234, 0x3C3C & mask);
            program(0x1234, 0xF0F0 & mask);  // not erased in between: the AND stays
            EXPECT_EQ(c.ReadWord(0x1234), 0x3030u & mask);
            EXPECT_EQ(c.ReadWord(0x1235), mask);
            // Words are stored least significant byte first; an 8-bit chip sees data bits 0-7 only.
            program(5, 0x1234 & mask);
            EXPECT_EQ(c.Bytes()[width == 16 ? 10 : 5], 0x34);
            EXPECT_EQ(c.Bytes()[width == 16 ? 11 : 4], width == 16 ? 0x12 : 0xFF);
            // A sector erase hits the sector holding the address, and only that one.
            program(0x3FFF, 0);
            program(0x5000, 0);
            erase(0x4000, 0x30);
            EXPECT_EQ(c.ReadWord(0x3FFF), 0u);
            EXPECT_EQ(c.ReadWord(0x5000), mask);
            // A second unlock address one off, a broken erase setup and the reset command all
            // leave the chip in read mode with nothing changed.
            command({{p.u1, 0xA0}, {0x10, 0}}, 1);
            command({{p.u1, 0x80}, {p.u1, 0x55}, {p.u2, 0x55}, {0x3FFF, 0x30}});
            command({{0, 0xF0}, {0x30, 0}});
            EXPECT_EQ(c.ReadWord(0x10), mask);
            EXPECT_EQ(c.ReadWord(0x3FFF), 0u);
            EXPECT_EQ(c.ReadWord(0x30), mask);
            EXPECT_EQ(c.GetState(), FlashChip::State::Read);
            EXPECT_EQ(c.GetStats().sectorErases, 1u);
            // Unlock bypass where the set has it: programs without unlocking until (x,90) (x,00).
            command(
                {{p.u1, 0x20}, {0, 0xA0}, {0x100, 0}, {0, 0x90}, {0, 0x00}, {0, 0xA0}, {0x101, 0}});
            EXPECT_EQ(c.ReadWord(0x100), p.bypass ? 0u : mask);
            EXPECT_EQ(c.ReadWord(0x101), mask);
            EXPECT_EQ(c.GetState(), FlashChip::State::Read);
            erase(p.u1, 0x10);
            for (uint8_t b : c.Bytes()) ASSERT_EQ(b, 0xFF);
            EXPECT_EQ(c.GetStats().chipErases, 1u);
        }
    }
}

TEST(FlashChip, BusyChipIgnoresCyclesUntilItsTimeHasPassed) {
    tqsim::ManualClock clock;
    FlashChip c(Geometry(1, 8), &clock);
    c.SetTimings({10, 1000, 5000});
    auto command = [&](Cycles cycles) { Command(c, 0x555, 0x2AA, cycles); };
    command({{0x555, 0xA0}, {1, 0x11}});
    EXPECT_EQ(c.BusyRemainingUs(), 10u);
    command({{0x555, 0xA0}, {2, 0x22}});  // too early: every cycle of it is ignored
    EXPECT_EQ(c.ReadWord(2), 0xFFu);
    EXPECT_EQ(c.GetStats().ignoredWhileBusy, 4u);
    clock.Advance(10);
    EXPECT_FALSE(c.Busy());
    command({{0x555, 0xA0}, {2, 0x22}});
    EXPECT_EQ(c.ReadWord(2), 0x22u);
    clock.Advance(10);
    for (auto [address, data, us] : {std::tuple{0x555u, 0x10u, 5000u}, {0x8000u, 0x30u, 1000u}}) {
        command({{0x555, 0x80}});
        command({{address, data}});
        clock.Advance(us - 1);
        EXPECT_TRUE(c.Busy()) << data;
        clock.Advance(1);
        EXPECT_FALSE(c.Busy()) << data;
    }
    command({{0x555, 0x80}});
    command({{0x8000, 0x30}});
    c.PowerReset();  // cuts the sector erase short
    EXPECT_FALSE(c.Busy());
}

// The built-in chips are the shipped file's records, and the real-time runs take their family's
// typical datasheet times from here: were these zero, those runs would prove nothing.
TEST(ChipGeometry, BuiltInChipsMatchTheShippedFlashDataFileAndTakeTime) {
    for (const auto& chip : tqsim::BuiltInChips()) {
        if (chip.name.rfind("SIM", 0) == 0) continue;  // no such record shipped
        ChipGeometry g;
        std::string error;
        ASSERT_TRUE(tqsim::LoadChipFromFlashDataFile(
            std::string(LORIC_SOURCE_DIR) + "/data/flash_devices.dat", chip.name, &g, &error))
            << error;
        EXPECT_EQ(std::tie(g.busWidth, g.commandSet, g.sectorWords),
                  std::tie(chip.busWidth, chip.commandSet, chip.sectorWords))
            << chip.name;
    }
    const ChipGeometry* g = tqsim::FindBuiltInChip("29F010");
    ASSERT_NE(g, nullptr);
    const tqsim::ChipTimings t = tqsim::FamilyTimings(*g, tqsim::TimingProfile::Typical);
    EXPECT_EQ(std::tie(t.programUs, t.sectorEraseUs, t.chipEraseUs),
              std::make_tuple(7ull, 1000000ull, 8000000ull));
}

}  // namespace
