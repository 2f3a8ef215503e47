// Flash data files and the command set handed to the driver. Every file of load_cases.txt is loaded
// into records filled with 0xA5 (to show the bits the loader leaves alone); the status, trace
// and each record read go to a transcript compared with its own file in
// tests/data/flash/load_flash_data/.
#include <cstring>

#include "support/api_fixture.h"
#include "support/case_file.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

class FlashData : public ApiTest {
protected:
    void SetUp() override { ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_WARNING | TRACE_API), 0u); }
    RequestRecorder recorder_;
    std::vector<FLASH_DEVICE> devices_ = std::vector<FLASH_DEVICE>(LORIC_MAX_FLASH_DEVICES);

    static void Dump(Transcript& t, const FLASH_DEVICE& d) {
        t.Add(
            "%08X %d \"%.32s\" \"%.32s\" \"%.32s\" set %d delay %d width %u flags %02X bits %u "
            "config %d at %X space %u sectors",
            d.attributes, d.groupIndex, d.groupName, d.deviceName, d.sizeText, d.commandSetIndex,
            d.byteProgramDelay, d.busWidth, d.chipFlags, d.totalBits,
            d.configSector ? static_cast<int>(d.configSector - d.sectors) : -1, d.configByteAddress,
            d.firmwareSpace);
        uint32_t address = 0;
        for (uint32_t i = 0, run = 1; i < d.sectorCount && i < LORIC_MAX_SECTORS; ++i, ++run) {
            EXPECT_EQ(d.sectors[i].start, address) << d.deviceName << " sector " << i;
            EXPECT_EQ(d.sectors[i].end, address + d.sectors[i].size - 1)
                << d.deviceName << " sector " << i;
            address += d.sectors[i].size;
            if (i + 1 == d.sectorCount || d.sectors[i + 1].size != d.sectors[i].size) {
                t.Add(" %ux%X", run, d.sectors[i].size);
                run = 0;
            }
        }
        t.Add("\n");
    }
};

// A file to load: `text` written to flash.dat, or the file at `path` as it is.
struct LoadCase {
    std::string name, text;
    const char* path = nullptr;
    uint32_t trace = TRACE_ERROR | TRACE_WARNING | TRACE_API;
};

// load_cases.txt: a file a line, "name|text" with \n, \r and \\ for line ends and backslashes;
// then the shipped file, a missing one, one that never ends, and a warning left untraced.
std::vector<LoadCase> LoadCases() {
    std::vector<LoadCase> cases;
    std::string halfMegabit;
    for (const CaseRow& row : CaseRows("flash/load_cases.txt")) {
        cases.push_back({row.name, Unescaped(row.fields.at(0))});
        if (row.name == "half a megabit") halfMegabit = cases.back().text;
    }
    cases.push_back(
        {"shipped file", ReadFileBytes(std::string(LORIC_SOURCE_DIR) + "/data/flash_devices.dat")});
    cases.push_back({"missing file", "", "missing.dat"});
    cases.push_back(
        {"a stream that never ends is refused once 16 MiB have been read", "", "/dev/zero"});
    cases.push_back({"half a megabit without TRACE_WARNING", halfMegabit, nullptr, TRACE_API});
    return cases;
}

class FlashFile : public FlashData, public ::testing::WithParamInterface<LoadCase> {};

// The status, trace and each record read, against flash/load_flash_data/<case>.txt.
TEST_P(FlashFile, RecordsItGives) {
    const LoadCase& c = GetParam();
    g_api.traceFlags = c.trace;
    const char* path = c.path;
    if (path == nullptr) std::ofstream(path = "flash.dat", std::ios::binary) << c.text;
    std::memset(devices_.data(), 0xA5, devices_.size() * sizeof(FLASH_DEVICE));
    debug_.Clear();
    uint32_t count = 0xDEAD;
    const uint32_t status = LoadFlashData(path, devices_.data(), &count);
    Transcript t;
    t.Add("== %s\nstatus %u, %u records\n", c.name.c_str(), status, count);
    t.Text(debug_.Text());
    for (uint32_t i = 0; i < count && i < LORIC_MAX_FLASH_DEVICES; ++i) Dump(t, devices_[i]);
    t.Replace("sizeof(FLASH_DEVICE) = " + std::to_string(sizeof(FLASH_DEVICE)),
              "sizeof(FLASH_DEVICE) = <size>");
    t.Check("flash/load_flash_data/" + CaseSlug(c.name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Files, FlashFile, ::testing::ValuesIn(LoadCases()), CaseName());

using SetFlashDeviceCase = WithCases<FlashData, CaseRow>;

// The built-in set sent to the driver and the trace, against flash/set_flash_device/<case>.txt.
TEST_P(SetFlashDeviceCase, SendsTheBuiltInSet) {
    const auto set = static_cast<int32_t>(CaseNumber(GetParam().Get("set")));
    const auto width = static_cast<uint8_t>(CaseNumber(GetParam().Get("width")));
    if (set == 2) recorder_.FailNext(IOCTL_SET_FLASH_COMMAND_SET, 31);
    FLASH_DEVICE device{};
    device.commandSetIndex = set;
    device.busWidth = width;
    debug_.Clear();
    Transcript t;
    t.Add("== set %X, %u bits: status %u\n", set, width, SetFlashDevice(&device));
    for (const RecordedRequest& r : recorder_.Requests()) {
        t.Add("request %X:", r.code);
        for (size_t i = 0; i < r.input.size(); i += 4) t.Add(" %08X", LittleEndianAt(r.input, i));
        t.Add("\n");
    }
    t.Text(debug_.Text());
    t.Check("flash/set_flash_device/" + CaseSlug(GetParam().name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Sets, SetFlashDeviceCase,
                         ::testing::ValuesIn(CaseRows("flash/set_flash_device_cases.txt")),
                         CaseName());

TEST_F(FlashData, BothExportsRefuseBadArgumentsAndAClosedApi) {
    EXPECT_EQ(SetFlashDevice(nullptr), 5u);
    uint32_t count = 7;
    EXPECT_EQ(LoadFlashData(nullptr, devices_.data(), &count), 5u);
    EXPECT_EQ(LoadFlashData("flash.dat", nullptr, &count), 5u);
    EXPECT_EQ(LoadFlashData("flash.dat", devices_.data(), nullptr), 5u);
    CloseLORIC();
    FLASH_DEVICE device{};
    EXPECT_EQ(SetFlashDevice(&device), 3u);
    EXPECT_EQ(LoadFlashData("flash.dat", devices_.data(), &count), 3u);
    EXPECT_EQ(count, 7u);
}

}  // namespace
}  // namespace loric::test
