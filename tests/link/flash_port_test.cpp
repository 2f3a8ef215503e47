// The flash port sequences: every quadlet each one writes, in order, with the sleeps between
// them, for the built-in command sets; and where a sequence stops when a write fails.

#include "link/flash_port.h"
#include "link/registers.h"
#include "platform/platform.h"
#include "support/case_file.h"
#include "support/fake_clock.h"
#include "support/golden.h"

namespace loric::test {
namespace {

// Writes nothing anywhere: notes each quadlet it is asked to write (and each sleep taken since
// the last one, from its own creation on) in a transcript. The write numbered `refuseAt` (from 1)
// fails with error 170.
class RecordingWriter : public QuadletWriter {
public:
    RecordingWriter(Transcript& t, const FakeClock& clock)
        : t_(t), clock_(clock), slept_(clock.Sleeps().size()) {}
    void RefuseAt(uint32_t write) { refuseAt_ = write; }

    bool WriteTargetQuadlet(uint32_t offsetHigh, uint32_t offsetLow, uint32_t value) override {
        NoteSleeps();
        ++writes_;
        const bool refused = writes_ == refuseAt_;
        if (offsetHigh == REGISTER_OFFSET_HIGH && offsetLow == FLASH_PORT_CTRL)
            t_.Add("  FLASH_PORT_CTRL <- %08X%s\n", value, refused ? " refused" : "");
        else
            t_.Add("  %04X:%08X <- %08X%s\n", offsetHigh, offsetLow, value,
                   refused ? " refused" : "");
        if (!refused) return true;
        platform::SetLastErrorCode(platform::kErrorBusy);
        return false;
    }

    void NoteSleeps() {
        for (; slept_ < clock_.Sleeps().size(); ++slept_)
            t_.Add("  sleep %u ms\n", clock_.Sleeps()[slept_]);
    }

private:
    Transcript& t_;
    const FakeClock& clock_;
    uint32_t writes_ = 0;
    uint32_t refuseAt_ = 0;
    size_t slept_;
};

class FlashPortTest : public ::testing::Test {
protected:
    FakeClock clock_;
    Transcript t_;
};

class FlashPortGroup : public FlashPortTest, public ::testing::WithParamInterface<const char*> {};

constexpr uint8_t kData[] = {0x11, 0x22, 0x33, 0x44, 0x55};

// Each case of a group of link/flash_port_cases.txt with a fresh writer: its title, the writes
// and sleeps, its result and, on false, the last-error code.
TEST_P(FlashPortGroup, WritesAndSleeps) {
    for (const CaseRow& c : CaseRows("link/flash_port_cases.txt")) {
        if (c.name != GetParam()) continue;
        const std::string op = c.Get("op");
        const FLASH_COMMAND_SET set =
            FLASH_COMMAND_SET::BuiltIn(CaseNumber(c.Get("set")), CaseNumber(c.Get("width", "8")));
        const uint32_t address = CaseNumber(c.Get("address"));
        t_.Add("%s\n", c.fields.at(0).c_str());
        RecordingWriter writer(t_, clock_);
        writer.RefuseAt(CaseNumber(c.Get("refuse")));
        platform::SetLastErrorCode(0);
        const bool ok =
            op == "program"
                ? flash_port::Program(writer, set, address, kData + CaseNumber(c.Get("from")),
                                      CaseNumber(c.Get("bytes")), CaseNumber(c.Get("delay")))
            : op == "erase" ? flash_port::EraseSector(writer, set, address)
            : op == "flash" ? flash_port::ResetFlash(writer, set)
                            : flash_port::ResetDevice(writer);
        writer.NoteSleeps();
        t_.Add(ok ? "  -> true\n" : "  -> false, error %u\n", platform::GetLastErrorCode());
    }
    t_.Check("link/flash_port_" + std::string(GetParam()) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Groups, FlashPortGroup,
                         ::testing::Values("program_bypass", "program", "sector_erase",
                                           "chip_erase", "reset", "failures"),
                         [](const auto& info) { return std::string(info.param); });

TEST_F(FlashPortTest, MissingDataIsRefusedBeforeAnyWrite) {
    RecordingWriter writer(t_, clock_);
    platform::SetLastErrorCode(0);
    EXPECT_FALSE(flash_port::Program(writer, FLASH_COMMAND_SET::BuiltIn(kCommandSet555Bypass, 8), 0,
                                     nullptr, 1, 1));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorInvalidParameter);
    EXPECT_EQ(t_.str(), "");
    EXPECT_TRUE(clock_.Sleeps().empty());
}

}  // namespace
}  // namespace loric::test
