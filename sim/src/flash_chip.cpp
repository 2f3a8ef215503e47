#include "tqsim/flash_chip.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tqsim {

// ---- Geometry ---------------------------------------------------------------------------------

uint32_t ChipGeometry::TotalWords() const {
    uint64_t total = 0;
    for (uint32_t s : sectorWords) total += s;
    return static_cast<uint32_t>(total);
}

uint32_t ChipGeometry::SectorStart(size_t index) const {
    uint32_t start = 0;
    for (size_t i = 0; i < index && i < sectorWords.size(); ++i) start += sectorWords[i];
    return start;
}

int ChipGeometry::SectorOf(uint32_t wordAddress) const {
    uint32_t start = 0;
    for (size_t i = 0; i < sectorWords.size(); ++i) {
        if (wordAddress >= start && wordAddress - start < sectorWords[i])
            return static_cast<int>(i);
        start += sectorWords[i];
    }
    return -1;
}

int ChipGeometry::ConfigSector() const {
    uint32_t end = 0;
    int found = -1;
    for (size_t i = 0; i < sectorWords.size(); ++i) {
        end += sectorWords[i];
        if (end <= 0x20000) found = static_cast<int>(i);
    }
    return found > 0 ? found : -1;
}

bool ChipGeometry::Valid(std::string* why) const {
    auto fail = [&](const char* text) {
        if (why) *why = text;
        return false;
    };
    if (busWidth != 8 && busWidth != 16) return fail("bus width must be 8 or 16");
    if (commandSet > 6) return fail("command set must be 0 to 6");
    if (sectorWords.empty()) return fail("no sectors");
    uint64_t total = 0;
    for (uint32_t s : sectorWords) {
        if (s == 0) return fail("empty sector");
        total += s;
    }
    if (total > 0x100000) return fail("more than 1M words (the flash port has 20 address bits)");
    return true;
}

namespace {
std::vector<uint32_t> Repeat(std::initializer_list<std::pair<unsigned, uint32_t>> groups) {
    std::vector<uint32_t> out;
    for (auto [count, size] : groups) out.insert(out.end(), count, size);
    return out;
}
}  // namespace

const std::vector<ChipGeometry>& BuiltInChips() {
    // Named after records of data/flash_devices.dat with the same geometry and command set,
    // so that a host can pick the matching record; set 3 has no record there.
    static const std::vector<ChipGeometry> chips = {
        // 4 Mbit, 8-bit, uniform 64K sectors, plain protocol at 0x555/0x2AA.
        {"29F040B", 8, 1, 20, Repeat({{8, 0x10000}})},
        // 8 Mbit, 16-bit, bottom boot block, unlock bypass at 0x555/0x2AA (word addresses).
        {"29LV800B-x16", 16, 0, 20, Repeat({{1, 0x2000}, {2, 0x1000}, {1, 0x4000}, {15, 0x8000}})},
        // 2 Mbit, 8-bit, 4K sectors, protocol at 0x5555/0x2AAA without a reset command.
        {"39SF020A", 8, 2, 20, Repeat({{64, 0x1000}})},
        // 4 Mbit, 16-bit, 2K-word sectors, the same protocol on a 16-bit bus.
        {"39VF400A", 16, 2, 20, Repeat({{128, 0x800}})},
        // 1 Mbit, 8-bit, 16K sectors, protocol at 0xAAAA/0x5555.
        {"SIM28F010A", 8, 3, 20, Repeat({{8, 0x4000}})},
        // 1 Mbit, 8-bit, 16K sectors, protocol at 0x5555/0x2AAA with reset.
        {"29F010", 8, 4, 20, Repeat({{8, 0x4000}})},
        // 8 Mbit in byte mode, bottom boot block, unlock bypass at 0xAAA/0x555.
        {"29LV800B-x8", 8, 5, 20, Repeat({{1, 0x4000}, {2, 0x2000}, {1, 0x8000}, {15, 0x10000}})},
        // 512 Kbit internal flash of the TQ6410, programmed directly by the device.
        {"SIM-INTERNAL", 8, 6, 0, Repeat({{8, 0x2000}})},
    };
    return chips;
}

const ChipGeometry* FindBuiltInChip(const std::string& name) {
    for (const auto& chip : BuiltInChips()) {
        if (chip.name.size() != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i)
            same = std::toupper(static_cast<unsigned char>(name[i])) ==
                   std::toupper(static_cast<unsigned char>(chip.name[i]));
        if (same) return &chip;
    }
    return nullptr;
}

namespace {
bool SameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}
}  // namespace

bool LoadChipFromFlashDataFile(const std::string& path, const std::string& deviceName,
                               ChipGeometry* out, std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error) *error = text;
        return false;
    };
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("cannot open " + path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    size_t i = 0;
    if (lines.empty() || lines[0] != "FLASH_DATA_FILE_V3") return fail("not a flash data file");
    ++i;
    for (int names = 0; i < lines.size() && names < 32; ++names) {
        if (lines[i++].empty()) break;
    }
    while (i < lines.size()) {
        while (i < lines.size() && lines[i].empty()) ++i;
        if (i >= lines.size()) break;
        ChipGeometry chip;
        const std::string& header = lines[i++];
        size_t comma = header.find(',');
        if (comma == std::string::npos) return fail("bad record header: " + header);
        chip.name = header.substr(comma + 1);
        while (!chip.name.empty() && std::isspace(static_cast<unsigned char>(chip.name.back())))
            chip.name.pop_back();
        if (i + 3 > lines.size()) return fail("record " + chip.name + " is cut short");
        chip.commandSet = static_cast<unsigned>(std::atoi(lines[i++].c_str())) & 0xFF;
        chip.byteProgramDelayUs = static_cast<unsigned>(std::atoi(lines[i++].c_str()));
        const std::string& flags = lines[i++];
        chip.busWidth = 0;
        if (flags.find('8') != std::string::npos) chip.busWidth = 8;
        if (flags.find('1') != std::string::npos) chip.busWidth = 16;
        if (flags.find('3') != std::string::npos) chip.busWidth = 32;
        uint32_t size = 0;
        while (i < lines.size() && !lines[i].empty()) {
            unsigned count = 1;
            if (lines[i][0] == 'X' || lines[i][0] == 'x') {
                count = static_cast<unsigned>(std::atoi(lines[i].c_str() + 1));
                ++i;
                if (i >= lines.size()) break;
            }
            const std::string& s = lines[i++];
            if (!s.empty() && (s[0] == 'K' || s[0] == 'k'))
                size = static_cast<uint32_t>(std::atoi(s.c_str() + 1)) * 1024u;
            else if (!s.empty() && (std::isdigit(static_cast<unsigned char>(s[0])) || s[0] == ' '))
                size = static_cast<uint32_t>(std::atoi(s.c_str()));
            if (count > 512) return fail("too many sectors in " + chip.name);
            chip.sectorWords.insert(chip.sectorWords.end(), count, size);
        }
        if (SameNoCase(chip.name, deviceName)) {
            std::string why;
            if (!chip.Valid(&why)) return fail(chip.name + ": " + why);
            *out = chip;
            return true;
        }
    }
    return fail("no device named " + deviceName + " in " + path);
}

std::string BuiltInChipsAsFlashDataFile() {
    std::ostringstream os;
    os << "FLASH_DATA_FILE_V3\r\nSimulated\r\n\r\n";
    for (const auto& chip : BuiltInChips()) {
        os << "0," << chip.name << "\r\n"
           << chip.commandSet << "\r\n"
           << chip.byteProgramDelayUs << "\r\n"
           << "B" << chip.busWidth << "\r\n";
        size_t k = 0;
        while (k < chip.sectorWords.size()) {
            size_t run = 1;
            while (k + run < chip.sectorWords.size() &&
                   chip.sectorWords[k + run] == chip.sectorWords[k])
                ++run;
            if (run > 1) os << "X" << run << "\r\n";
            if (chip.sectorWords[k] % 1024 == 0)
                os << "K" << chip.sectorWords[k] / 1024 << "\r\n";
            else
                os << chip.sectorWords[k] << "\r\n";
            k += run;
        }
        os << "\r\n";
    }
    return os.str();
}

// ---- Datasheet timings ----------------------------------------------------------------------

namespace {
struct FamilyFigures {
    const char* family;
    // typical, maximum
    uint64_t byteUs[2], wordUs[2], sectorUs[2], chipUs[2];
};
// From the "erase and programming performance" tables of the families' datasheets. Where a
// datasheet gives no maximum (the 3 V parts' chip erase) the 5 V parts' ratio of 8 is used.
// The 28F part has no datasheet of its own here and keeps to the 29F figures; the device's
// internal flash is quick enough for the one second the device is given after its erase.
constexpr FamilyFigures kFamilies[] = {
    {"29F", {7, 300}, {12, 500}, {1000000, 8000000}, {8000000, 64000000}},
    {"29LV", {9, 300}, {11, 360}, {700000, 15000000}, {11000000, 88000000}},
    {"39SF", {14, 20}, {14, 20}, {18000, 25000}, {70000, 100000}},
    {"39VF", {14, 20}, {14, 20}, {18000, 25000}, {70000, 100000}},
    {"28F", {7, 300}, {12, 500}, {1000000, 8000000}, {8000000, 64000000}},
    {"internal", {10, 20}, {10, 20}, {20000, 50000}, {200000, 500000}},
};

const FamilyFigures& FiguresOf(const std::string& family) {
    for (const auto& f : kFamilies)
        if (family == f.family) return f;
    return kFamilies[0];
}
}  // namespace

std::string ChipFamily(const ChipGeometry& chip) {
    if (chip.commandSet == 6) return "internal";
    std::string name;
    for (char c : chip.name) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t digit = name.find_first_of("0123456789");
    const std::string part = digit == std::string::npos ? name : name.substr(digit);
    for (const char* family : {"29LV", "29F", "39SF", "39VF", "28F"})
        if (part.rfind(family, 0) == 0) return family;
    return "29F";  // an unknown part: the common 5 V figures
}

ChipTimings FamilyTimings(const ChipGeometry& chip, TimingProfile profile) {
    if (profile == TimingProfile::Instant) return {};
    const FamilyFigures& f = FiguresOf(ChipFamily(chip));
    const int i = profile == TimingProfile::Max ? 1 : 0;
    return {chip.busWidth == 16 ? f.wordUs[i] : f.byteUs[i], f.sectorUs[i], f.chipUs[i]};
}

bool ParseTimingProfile(const std::string& text, TimingProfile* out) {
    if (text == "instant")
        *out = TimingProfile::Instant;
    else if (text == "typical")
        *out = TimingProfile::Typical;
    else if (text == "max")
        *out = TimingProfile::Max;
    else
        return false;
    return true;
}

// ---- The chip ---------------------------------------------------------------------------------

namespace {
struct Protocol {
    uint32_t u1, u2;
    bool bypass;
};
// The unlock addresses each command protocol listens to, and whether it has unlock bypass.
constexpr Protocol kProtocols[7] = {
    {0x555, 0x2AA, true},    {0x555, 0x2AA, false},   {0x5555, 0x2AAA, false},
    {0xAAAA, 0x5555, false}, {0x5555, 0x2AAA, false}, {0xAAA, 0x555, true},
    {0x555, 0x2AA, false},  // internal flash: no bus protocol (cycles are rejected)
};
}  // namespace

FlashChip::FlashChip(ChipGeometry geometry, Clock* clock)
    : geometry_(std::move(geometry)), clock_(clock) {
    std::string why;
    if (!geometry_.Valid(&why))
        throw std::invalid_argument("flash chip " + geometry_.name + ": " + why);
    uint32_t words = geometry_.TotalWords();
    uint32_t span = 1;
    while (span < words && span < 0x80000000u) span <<= 1;
    addressMask_ = span - 1;
    const Protocol& p = kProtocols[geometry_.commandSet % 7];
    u1_ = p.u1;
    u2_ = p.u2;
    bypass_ = p.bypass;
    bytes_.assign(geometry_.TotalBytes(), 0xFF);
}

const char* FlashChip::StateName(State s) {
    switch (s) {
    case State::Read: return "read";
    case State::Unlock1: return "unlock1";
    case State::Unlock2: return "unlock2";
    case State::Program: return "program";
    case State::EraseSetup: return "erase-setup";
    case State::EraseUnlock1: return "erase-unlock1";
    case State::EraseUnlock2: return "erase-unlock2";
    case State::Bypass: return "bypass";
    case State::BypassProgram: return "bypass-program";
    case State::BypassExit: return "bypass-exit";
    }
    return "?";
}

bool FlashChip::Busy() {
    if (busyForever_) return true;
    if (!clock_ || busyUntil_ == 0) return false;
    if (clock_->NowUs() >= busyUntil_) {
        busyUntil_ = 0;
        return false;
    }
    return true;
}

uint64_t FlashChip::BusyRemainingUs() {
    if (busyForever_) return UINT64_MAX;
    if (!Busy()) return 0;
    return busyUntil_ - clock_->NowUs();
}

void FlashChip::StartBusy(const char* operation, uint64_t us) {
    if (!clock_ || us == 0) return;
    busyUntil_ = clock_->NowUs() + us;
    busyTotalUs_ += us;
    if (busyListener_) busyListener_(operation, us);
}

void FlashChip::PowerReset() {
    // An operation cut short by the reset kept the chip busy only until now.
    if (!busyForever_ && busyUntil_ != 0 && clock_) {
        const uint64_t now = clock_->NowUs();
        if (busyUntil_ > now) busyTotalUs_ -= busyUntil_ - now;
    }
    state_ = State::Read;
    busyUntil_ = 0;
    busyForever_ = false;
}

uint32_t FlashChip::ReadWord(uint32_t wordAddress) const {
    uint32_t a = Mask(wordAddress) % geometry_.TotalWords();
    if (geometry_.busWidth == 16) return bytes_[2 * a] | (bytes_[2 * a + 1] << 8);
    return bytes_[a];
}

void FlashChip::Program(uint32_t wordAddress, uint32_t data) {
    uint32_t a = Mask(wordAddress);
    if (a >= geometry_.TotalWords()) return;  // no cell there
    if (geometry_.busWidth == 16) {
        bytes_[2 * a] &= static_cast<uint8_t>(data);
        bytes_[2 * a + 1] &= static_cast<uint8_t>(data >> 8);
    } else {
        bytes_[a] &= static_cast<uint8_t>(data);
    }
    ++stats_.programs;
    StartBusy("program", timings_.programUs);
}

void FlashChip::DirectProgram(uint32_t wordAddress, uint32_t data) { Program(wordAddress, data); }

void FlashChip::DirectEraseSector(int sector) {
    if (sector < 0 || static_cast<size_t>(sector) >= geometry_.sectorWords.size()) return;
    uint32_t bpw = geometry_.BytesPerWord();
    auto first = bytes_.begin() + geometry_.SectorStart(static_cast<size_t>(sector)) * bpw;
    std::fill(first, first + geometry_.sectorWords[static_cast<size_t>(sector)] * bpw, 0xFF);
    ++stats_.sectorErases;
    if (eraseNeverFinishes_)
        busyForever_ = true;
    else
        StartBusy("sector erase", timings_.sectorEraseUs);
}

void FlashChip::DirectEraseAll() {
    std::fill(bytes_.begin(), bytes_.end(), 0xFF);
    ++stats_.chipErases;
    if (eraseNeverFinishes_)
        busyForever_ = true;
    else
        StartBusy("chip erase", timings_.chipEraseUs);
}

void FlashChip::WriteCycle(uint32_t wordAddress, uint32_t data) {
    if (Busy()) {  // an embedded operation runs: the chip ignores the bus
        ++stats_.ignoredWhileBusy;
        return;
    }
    data &= geometry_.busWidth == 16 ? 0xFFFFu : 0xFFu;
    if (Internal()) {  // no command protocol on the internal flash bus
        ++stats_.rejectedCycles;
        return;
    }
    switch (state_) {
    case State::Read:
        if (Is(wordAddress, u1_) && data == 0xAA)
            state_ = State::Unlock1;
        else if (data == 0xF0)
            state_ = State::Read;  // reset: already in read mode
        else
            ++stats_.rejectedCycles;
        return;
    case State::Unlock1:
        if (Is(wordAddress, u2_) && data == 0x55)
            state_ = State::Unlock2;
        else if (data == 0xF0)
            state_ = State::Read;
        else
            Reject();
        return;
    case State::Unlock2:
        if (Is(wordAddress, u1_) && data == 0xA0)
            state_ = State::Program;
        else if (Is(wordAddress, u1_) && data == 0x80)
            state_ = State::EraseSetup;
        else if (Is(wordAddress, u1_) && data == 0x20 && bypass_)
            state_ = State::Bypass;
        else if (data == 0xF0)
            state_ = State::Read;
        else
            Reject();
        return;
    case State::Program:
        state_ = State::Read;
        Program(wordAddress, data);
        return;
    case State::EraseSetup:
        if (Is(wordAddress, u1_) && data == 0xAA)
            state_ = State::EraseUnlock1;
        else
            Reject();
        return;
    case State::EraseUnlock1:
        if (Is(wordAddress, u2_) && data == 0x55)
            state_ = State::EraseUnlock2;
        else
            Reject();
        return;
    case State::EraseUnlock2:
        if (Is(wordAddress, u1_) && data == 0x10) {
            state_ = State::Read;
            DirectEraseAll();
        } else if (data == 0x30) {
            state_ = State::Read;
            int sector = geometry_.SectorOf(Mask(wordAddress));
            if (sector >= 0)
                DirectEraseSector(sector);
            else
                ++stats_.rejectedCycles;
        } else {
            Reject();
        }
        return;
    case State::Bypass:
        if (data == 0xA0)
            state_ = State::BypassProgram;
        else if (data == 0x90)
            state_ = State::BypassExit;
        else
            Reject();
        return;
    case State::BypassProgram:
        state_ = State::Bypass;
        Program(wordAddress, data);
        return;
    case State::BypassExit:
        if (data == 0x00)
            state_ = State::Read;
        else
            Reject();
        return;
    }
}

}  // namespace tqsim
