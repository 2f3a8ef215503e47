// The flash port sequences: every quadlet each one writes, in order, with the sleeps between
// them, for the built-in command sets; and where a sequence stops when a write fails.

#include <functional>

#include "link/flash_port.h"
#include "link/registers.h"
#include "platform/platform.h"
#include "support/fake_clock.h"
#include "support/golden.h"

namespace loric {
namespace {

using test::FakeClock;
using test::Transcript;

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
    // Runs one sequence under `title` with a fresh writer (refusing write `refuseAt`, 0 for
    // none) and notes its result and, on false, the last-error code.
    void Case(const std::string& title, const std::function<bool(QuadletWriter&)>& sequence,
              uint32_t refuseAt = 0) {
        t_.Add("%s\n", title.c_str());
        RecordingWriter writer(t_, clock_);
        writer.RefuseAt(refuseAt);
        platform::SetLastErrorCode(0);
        const bool ok = sequence(writer);
        writer.NoteSleeps();
        if (ok)
            t_.Add("  -> true\n");
        else
            t_.Add("  -> false, error %u\n", platform::GetLastErrorCode());
    }
    void Program(const char* title, const FLASH_COMMAND_SET& set, uint32_t address,
                 const uint8_t* data, uint32_t count, uint32_t delayMs, uint32_t refuseAt = 0) {
        Case(
            title,
            [&](QuadletWriter& w) {
                return flash_port::Program(w, set, address, data, count, delayMs);
            },
            refuseAt);
    }
    void Erase(const char* title, const FLASH_COMMAND_SET& set, uint32_t address,
               uint32_t refuseAt = 0) {
        Case(
            title, [&](QuadletWriter& w) { return flash_port::EraseSector(w, set, address); },
            refuseAt);
    }
    void ResetFlash(const char* title, const FLASH_COMMAND_SET& set, uint32_t refuseAt = 0) {
        Case(
            title, [&](QuadletWriter& w) { return flash_port::ResetFlash(w, set); }, refuseAt);
    }
    static FLASH_COMMAND_SET Set(uint32_t index, uint32_t busWidth) {
        return FLASH_COMMAND_SET::BuiltIn(index, busWidth);
    }

    FakeClock clock_;
    Transcript t_;
};

constexpr uint8_t kData[] = {0x11, 0x22, 0x33, 0x44, 0x55};

// Unlocked once, two cycles a byte, left with the two reset cycles; the next address past
// 0xFFFFF keeps its low 20 bits.
TEST_F(FlashPortTest, ProgramWithUnlockBypass) {
    Program("0x555/0x2AA bypass, 8 bits, 2 bytes at 0xFFFFF, 3 ms", Set(kCommandSet555Bypass, 8),
            0xFFFFF, kData, 2, 3);
    Program("0xAAA/0x555 bypass, 8 bits, 1 byte at 0x40", Set(kCommandSetAAABypass, 8), 0x40, kData,
            1, 1);
    Program("0x555/0x2AA bypass, 8 bits, no bytes: unlocked and left all the same",
            Set(kCommandSet555Bypass, 8), 0, kData, 0, 1);
    t_.Check("link/flash_port_program_bypass.txt");
}

// Four cycles a byte, no unlock and so no reset at the end; on a 16-bit bus a word a step, low
// byte first, an odd last byte with an all-ones high byte.
TEST_F(FlashPortTest, ProgramFourCyclesAByteOrWord) {
    Program("0x555/0x2AA, 16 bits, 3 bytes at word 0x100, 2 ms", Set(kCommandSet555, 16), 0x100,
            kData, 3, 2);
    Program("0x5555/0x2AAA, 8 bits, 2 bytes at 0x12345", Set(kCommandSet5555, 8), 0x12345,
            kData + 3, 2, 1);
    Program("0xAAAA/0x5555, 16 bits, 2 bytes at 0", Set(kCommandSetAAAA, 16), 0, kData, 2, 1);
    Program("driver-only set (a 16-bit word 0 of its own), 2 bytes: no cycles, one pause",
            Set(kCommandSetDriverOnly, 8), 0, kData, 2, 5);
    t_.Check("link/flash_port_program.txt");
}

// The last erase pair goes to the sector with data 0x30; the set itself is not changed, so a
// whole-chip erase afterwards ends with (0x555, 0x10) again.
TEST_F(FlashPortTest, SectorErase) {
    const FLASH_COMMAND_SET set = Set(kCommandSet555, 8);
    Erase("0x555/0x2AA, sector 0x10000", set, 0x10000);
    Erase("0xAAAA/0x5555, sector 0x123456 (20 bits kept)", Set(kCommandSetAAAA, 16), 0x123456);
    Erase("0xAAA/0x555 bypass, sector 0", Set(kCommandSetAAABypass, 8), 0);
    Erase("0x555/0x2AA, whole chip after the sector erase", set, ERASE_ALL);
    t_.Check("link/flash_port_sector_erase.txt");
}

TEST_F(FlashPortTest, ChipErase) {
    Erase("0x5555/0x2AAA without reset", Set(kCommandSet5555NoReset, 8), ERASE_ALL);
    Erase("0x555/0x2AA bypass, 16 bits", Set(kCommandSet555Bypass, 16), ERASE_ALL);
    Erase("driver-only set: nothing to send", Set(kCommandSetDriverOnly, 8), ERASE_ALL);
    t_.Check("link/flash_port_chip_erase.txt");
}

TEST_F(FlashPortTest, FlashAndDeviceReset) {
    ResetFlash("flash, 0x555/0x2AA bypass: two cycles", Set(kCommandSet555Bypass, 8));
    ResetFlash("flash, 0x555/0x2AA: one cycle", Set(kCommandSet555, 16));
    ResetFlash("flash, 0x5555/0x2AAA without reset: nothing", Set(kCommandSet5555NoReset, 8));
    Case("device", [&](QuadletWriter& w) { return flash_port::ResetDevice(w); });
    Case(
        "device, write refused", [&](QuadletWriter& w) { return flash_port::ResetDevice(w); }, 1);
    t_.Check("link/flash_port_reset.txt");
}

// A refused write ends the sequence at once: no later cycle, no pause after the failed byte,
// and the writer's error code is what the caller reads.
TEST_F(FlashPortTest, FailedWriteStopsTheSequence) {
    const FLASH_COMMAND_SET bypass = Set(kCommandSet555Bypass, 8);
    Program("program, unlock refused at its second write", bypass, 0, kData, 2, 1, 2);
    Program("program, second byte refused at its data end", bypass, 0, kData, 2, 1, 18);
    Program("program, closing reset refused", bypass, 0, kData, 1, 1, 16);
    Erase("sector erase, the sector's cycle refused", Set(kCommandSet555, 8), 0x8000, 16);
    ResetFlash("flash reset, second cycle refused", bypass, 4);
    t_.Check("link/flash_port_failures.txt");
}

TEST_F(FlashPortTest, MissingDataIsRefusedBeforeAnyWrite) {
    RecordingWriter writer(t_, clock_);
    platform::SetLastErrorCode(0);
    EXPECT_FALSE(flash_port::Program(writer, Set(kCommandSet555Bypass, 8), 0, nullptr, 1, 1));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorInvalidParameter);
    EXPECT_EQ(t_.str(), "");
    EXPECT_TRUE(clock_.Sleeps().empty());
}

}  // namespace
}  // namespace loric
