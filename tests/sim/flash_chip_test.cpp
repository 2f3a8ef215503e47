// The NOR command state machine, checked with literal bus-cycle sequences per command set, and
// the chip's busy periods.
#include <gtest/gtest.h>

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
    uint32_t mask() const { return std::get<1>(GetParam()) == 16 ? 0xFFFF : 0xFF; }
    // Cycles after the two unlock cycles; the second unlock address moved by `skew`.
    void Command(std::initializer_list<std::pair<uint32_t, uint32_t>> cycles, uint32_t skew = 0) {
        c_.WriteCycle(p().u1, 0xAA);
        c_.WriteCycle(p().u2 + skew, 0x55);
        for (auto [a, d] : cycles) c_.WriteCycle(a, d);
    }
    void Program(uint32_t a, uint32_t d) { Command({{p().u1, 0xA0}, {a, d}}); }
    void Erase(uint32_t a, uint32_t d) {
        Command({{p().u1, 0x80}});
        Command({{a, d}});
    }
    FlashChip c_{Geometry(p().set, std::get<1>(GetParam()))};
};

TEST_P(ChipProtocol, ProgramEraseBypassAndRefusedSequences) {
    Program(0x1234, 0x3C3C & mask());
    Program(0x1234, 0xF0F0 & mask());  // not erased in between: the AND stays
    EXPECT_EQ(c_.ReadWord(0x1234), 0x3030u & mask());
    EXPECT_EQ(c_.ReadWord(0x1235), mask());
    // Words are stored least significant byte first; an 8-bit chip sees data bits 0-7 only.
    Program(5, 0x1234 & mask());
    EXPECT_EQ(c_.Bytes()[mask() == 0xFFFF ? 10 : 5], 0x34);
    EXPECT_EQ(c_.Bytes()[mask() == 0xFFFF ? 11 : 4], mask() == 0xFFFF ? 0x12 : 0xFF);
    // A sector erase hits the sector holding the address, and only that one.
    Program(0x3FFF, 0);
    Program(0x5000, 0);
    Erase(0x4000, 0x30);
    EXPECT_EQ(c_.ReadWord(0x3FFF), 0u);
    EXPECT_EQ(c_.ReadWord(0x5000), mask());
    // A second unlock address one off, a broken erase setup and the reset command all leave the
    // chip in read mode with nothing changed.
    Command({{p().u1, 0xA0}, {0x10, 0}}, 1);
    Command({{p().u1, 0x80}, {p().u1, 0x55}, {p().u2, 0x55}, {0x3FFF, 0x30}});
    Command({{0, 0xF0}, {0x30, 0}});
    EXPECT_EQ(c_.ReadWord(0x10), mask());
    EXPECT_EQ(c_.ReadWord(0x3FFF), 0u);
    EXPECT_EQ(c_.ReadWord(0x30), mask());
    EXPECT_EQ(c_.GetState(), FlashChip::State::Read);
    EXPECT_EQ(c_.GetStats().sectorErases, 1u);
    // Unlock bypass where the set has it: programs without unlocking until (x,90) (x,00).
    Command({{p().u1, 0x20}, {0, 0xA0}, {0x100, 0}, {0, 0x90}, {0, 0x00}, {0, 0xA0}, {0x101, 0}});
    EXPECT_EQ(c_.ReadWord(0x100), p().bypass ? 0u : mask());
    EXPECT_EQ(c_.ReadWord(0x101), mask());
    EXPECT_EQ(c_.GetState(), FlashChip::State::Read);
    Erase(p().u1, 0x10);
    for (uint8_t b : c_.Bytes()) ASSERT_EQ(b, 0xFF);
    EXPECT_EQ(c_.GetStats().chipErases, 1u);
}

INSTANTIATE_TEST_SUITE_P(AllSetsBothWidths, ChipProtocol,
                         ::testing::Combine(::testing::ValuesIn(kProtocols), ::testing::Values(8u, 16u)),
                         [](const auto& info) {
                             return "set" + std::to_string(std::get<0>(info.param).set) + "_x" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST(FlashChip, BusyChipIgnoresCyclesAndLogsEachBusyPeriod) {
    tqsim::ManualClock clock;
    FlashChip c(Geometry(1, 8), &clock);
    c.SetTimings({10, 1000, 5000});
    std::string log;
    c.SetBusyListener([&](const char* op, uint64_t us) { log += std::string(op) + " " + std::to_string(us) + ";"; });
    auto command = [&](std::initializer_list<std::pair<uint32_t, uint32_t>> cycles) {
        c.WriteCycle(0x555, 0xAA);
        c.WriteCycle(0x2AA, 0x55);
        for (auto [a, d] : cycles) c.WriteCycle(a, d);
    };
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
    command({{0x555, 0x80}});
    command({{0x555, 0x10}});
    clock.Advance(4999);
    EXPECT_TRUE(c.Busy());
    clock.Advance(1);
    EXPECT_FALSE(c.Busy());
    command({{0x555, 0x80}});
    command({{0x8000, 0x30}});
    clock.Advance(400);
    c.PowerReset();  // cuts the sector erase short after 400 us
    EXPECT_FALSE(c.Busy());
    EXPECT_EQ(log, "program 10;program 10;chip erase 5000;sector erase 1000;");
    EXPECT_EQ(c.BusyTotalUs(), 10u + 10 + 5000 + 400);
    // An erase that never finishes ends only with a power reset.
    c.SetEraseNeverFinishes(true);
    command({{0x555, 0x80}});
    command({{0x8000, 0x30}});
    clock.Advance(3600ull * 1000000);
    EXPECT_EQ(c.BusyRemainingUs(), UINT64_MAX);
    c.PowerReset();
    EXPECT_FALSE(c.Busy());
}

TEST(ChipGeometry, ConfigSectorAndFamilyTimingsOfTheBuiltInChips) {
    using P = tqsim::TimingProfile;
    struct Case {
        const char* chip;
        int configSector;
        uint32_t start;
        const char* family;
        tqsim::ChipTimings typical, max;
    } cases[] = {
        {"29F040B", 1, 0x10000, "29F", {7, 1000000, 8000000}, {300, 8000000, 64000000}},
        {"29LV800B-x16", 6, 0x18000, "29LV", {11, 700000, 11000000}, {360, 15000000, 88000000}},
        {"29LV800B-x8", 4, 0x10000, "29LV", {9, 700000, 11000000}, {300, 15000000, 88000000}},
        {"39SF020A", 31, 0x1F000, "39SF", {14, 18000, 70000}, {20, 25000, 100000}},
        {"39VF400A", 63, 0x1F800, "39VF", {14, 18000, 70000}, {20, 25000, 100000}},
        {"SIM28F010A", 7, 0x1C000, "28F", {7, 1000000, 8000000}, {300, 8000000, 64000000}},
        {"29F010", 7, 0x1C000, "29F", {7, 1000000, 8000000}, {300, 8000000, 64000000}},
        {"sim-internal", 7, 0xE000, "internal", {10, 20000, 200000}, {20, 50000, 500000}},
    };
    auto same = [](const tqsim::ChipTimings& a, const tqsim::ChipTimings& b) {
        return a.programUs == b.programUs && a.sectorEraseUs == b.sectorEraseUs && a.chipEraseUs == b.chipEraseUs;
    };
    for (const auto& k : cases) {
        const ChipGeometry* g = tqsim::FindBuiltInChip(k.chip);
        ASSERT_NE(g, nullptr) << k.chip;
        EXPECT_EQ(g->ConfigSector(), k.configSector) << k.chip;
        EXPECT_EQ(g->SectorStart(static_cast<size_t>(k.configSector)), k.start) << k.chip;
        EXPECT_EQ(tqsim::ChipFamily(*g), k.family) << k.chip;
        EXPECT_TRUE(same(tqsim::FamilyTimings(*g, P::Typical), k.typical)) << k.chip;
        EXPECT_TRUE(same(tqsim::FamilyTimings(*g, P::Max), k.max)) << k.chip;
        EXPECT_TRUE(same(tqsim::FamilyTimings(*g, P::Instant), {})) << k.chip;
    }
    P p = P::Instant;
    EXPECT_TRUE(tqsim::ParseTimingProfile("max", &p) && p == P::Max);
    EXPECT_FALSE(tqsim::ParseTimingProfile("Typical", &p));
}

TEST(ChipGeometry, BuiltInChipsMatchTheShippedFlashDataFile) {
    for (const auto& chip : tqsim::BuiltInChips()) {
        if (chip.name.rfind("SIM", 0) == 0) continue;  // no such record shipped
        ChipGeometry g;
        std::string error;
        ASSERT_TRUE(tqsim::LoadChipFromFlashDataFile(std::string(LORIC_SOURCE_DIR) + "/data/flash_devices.dat",
                                                     chip.name, &g, &error)) << error;
        EXPECT_EQ(std::tie(g.busWidth, g.commandSet, g.sectorWords),
                  std::tie(chip.busWidth, chip.commandSet, chip.sectorWords)) << chip.name;
    }
}

}  // namespace
