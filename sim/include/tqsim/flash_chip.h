// A NOR flash chip on the TQ6410's flash bus: geometry, contents and the command state machine
// that interprets bus write cycles as the real parts do.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tqsim/clock.h"

namespace tqsim {

// The shape of a chip. Sector sizes and addresses count words of the bus width (bytes on an
// 8-bit chip, 16-bit words on a 16-bit chip), bottom sector first.
struct ChipGeometry {
    std::string name;
    unsigned busWidth = 8;    // 8 or 16
    unsigned commandSet = 1;  // which of the seven command protocols the chip speaks (0..6)
    unsigned byteProgramDelayUs = 20;  // what a flash data file would list for this chip
    std::vector<uint32_t> sectorWords;

    unsigned BytesPerWord() const { return busWidth / 8; }
    uint32_t TotalWords() const;
    uint32_t TotalBytes() const { return TotalWords() * BytesPerWord(); }
    uint32_t SectorStart(size_t index) const;  // first word address of a sector
    // Index of the sector that holds a word address, or -1 beyond the chip.
    int SectorOf(uint32_t wordAddress) const;
    // The sector that the configuration goes to: the highest sector that ends at or below
    // word 0x20000 (-1 when none, or only the bottom sector, does).
    int ConfigSector() const;
    bool Valid(std::string* why = nullptr) const;
};

// The built-in chips (generic names; see sim/README.md).
const std::vector<ChipGeometry>& BuiltInChips();
// A built-in chip by name (case-insensitive), or null.
const ChipGeometry* FindBuiltInChip(const std::string& name);

// Reads one device record (by its device name, case-insensitive) from a flash data file
// ("FLASH_DATA_FILE_V3" format). Returns false with a reason when the file or record is bad.
bool LoadChipFromFlashDataFile(const std::string& path, const std::string& deviceName,
                               ChipGeometry* out, std::string* error);
// Writes the built-in chips as a flash data file (the sim's chips, for the tools and tests).
std::string BuiltInChipsAsFlashDataFile();

// Busy times of the embedded operations, in microseconds. Zero by default (instant).
struct ChipTimings {
    uint64_t programUs = 0;  // per byte or word
    uint64_t sectorEraseUs = 0;
    uint64_t chipEraseUs = 0;
    // Typical datasheet values of a 5 V NOR part.
    static ChipTimings Datasheet() { return {9, 700000, 8000000}; }
};

// Which of a chip family's datasheet figures the simulated chip keeps to.
enum class TimingProfile { Instant, Typical, Max };

// The family a chip belongs to, from its part name ("29F040B" -> "29F"), and that family's
// datasheet program and erase times: typical (25 C, nominal supply) or maximum (worst case
// temperature, supply and cycle count). Program times are per byte on an 8-bit bus, per
// word on a 16-bit bus. Instant gives zeros.
std::string ChipFamily(const ChipGeometry& chip);
ChipTimings FamilyTimings(const ChipGeometry& chip, TimingProfile profile);
// "instant", "typical", "max" (false for anything else).
bool ParseTimingProfile(const std::string& text, TimingProfile* out);

class FlashChip {
public:
    enum class State {
        Read,           // array read mode
        Unlock1,        // (U1, AA) seen
        Unlock2,        // (U2, 55) seen
        Program,        // (U1, A0) seen: next cycle programs
        EraseSetup,     // (U1, 80) seen
        EraseUnlock1,   // ... (U1, AA)
        EraseUnlock2,   // ... (U2, 55): next (U1, 10) chip erase or (SA, 30) sector erase
        Bypass,         // unlock bypass
        BypassProgram,  // (x, A0) in bypass: next cycle programs
        BypassExit,     // (x, 90) in bypass: (x, 00) returns to read mode
    };

    // `clock` may be null: then busy times are ignored (everything is instant). Throws
    // std::invalid_argument for a geometry that ChipGeometry::Valid refuses.
    explicit FlashChip(ChipGeometry geometry, Clock* clock = nullptr);

    const ChipGeometry& Geometry() const { return geometry_; }
    void SetTimings(const ChipTimings& t) { timings_ = t; }
    const ChipTimings& Timings() const { return timings_; }
    // An erase that never completes: the chip stays busy until a power reset.
    void SetEraseNeverFinishes(bool on) { eraseNeverFinishes_ = on; }

    // One write cycle on the chip's bus. On an 8-bit chip only data bits 0-7 reach it.
    // Addresses beyond the chip wrap, as the chip decodes only its own address lines.
    void WriteCycle(uint32_t wordAddress, uint32_t data);
    // Reads one word of the array (addresses wrap as for WriteCycle).
    uint32_t ReadWord(uint32_t wordAddress) const;

    bool Busy();
    // Time left of the operation in progress, UINT64_MAX when it never ends.
    uint64_t BusyRemainingUs();
    // Power-on/hardware reset: read mode, any operation in progress stops.
    void PowerReset();

    State GetState() const { return state_; }
    static const char* StateName(State s);

    // Internal flash (command set 6) has no bus command protocol: the device programs and
    // erases it directly. These also serve tests and image loading on any chip.
    bool Internal() const { return geometry_.commandSet == 6; }
    void DirectProgram(uint32_t wordAddress, uint32_t data);  // AND, as programming does
    void DirectEraseSector(int sector);
    void DirectEraseAll();

    std::vector<uint8_t>& Bytes() { return bytes_; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

    // Counters for tests and the log.
    struct Stats {
        uint64_t programs = 0, sectorErases = 0, chipErases = 0;
        uint64_t ignoredWhileBusy = 0, rejectedCycles = 0;
    };
    const Stats& GetStats() const { return stats_; }

    // Every busy period as it starts: the operation ("program", "sector erase", "chip erase")
    // and how long the chip will be busy. The total counts simulated busy time, less what a
    // power reset cut short.
    void SetBusyListener(std::function<void(const char* operation, uint64_t us)> listener) {
        busyListener_ = std::move(listener);
    }
    uint64_t BusyTotalUs() const { return busyTotalUs_; }

private:
    uint32_t Mask(uint32_t wordAddress) const { return wordAddress & addressMask_; }
    bool Is(uint32_t address, uint32_t unlockAddress) const {
        return Mask(address) == Mask(unlockAddress);
    }
    void Program(uint32_t wordAddress, uint32_t data);
    void StartBusy(const char* operation, uint64_t us);
    void Reject() {
        ++stats_.rejectedCycles;
        state_ = State::Read;
    }

    ChipGeometry geometry_;
    Clock* clock_;
    ChipTimings timings_;
    bool eraseNeverFinishes_ = false;
    uint32_t addressMask_ = 0;
    uint32_t u1_ = 0x555, u2_ = 0x2AA;
    bool bypass_ = false;
    State state_ = State::Read;
    uint64_t busyUntil_ = 0;
    bool busyForever_ = false;
    uint64_t busyTotalUs_ = 0;
    std::function<void(const char*, uint64_t)> busyListener_;
    std::vector<uint8_t> bytes_;
    Stats stats_;
};

}  // namespace tqsim
