// The programming sequences at the level of the requests the driver receives: the erase
// range, the order of steps, the window titles and the statuses of the failure paths.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "api/context.h"
#include "link/driver_link.h"
#include "link/registers.h"
#include "loric.h"
#include "program_test_util.h"
#include "support/api_fixture.h"
#include "support/bus_expect.h"
#include "support/fake_clock.h"
#include "support/request_recorder.h"
#include "support/trace_text.h"

namespace loric::test {
namespace {

constexpr uint16_t kNode = 0xFFC3;

// 8-bit chip: eight sectors of 16384 bytes below the configuration sector at 0x20000, and
// four more above it.
void EightBitDevice(FLASH_DEVICE& device, uint32_t deviceId = 1) {
    MakeDevice(device, 8, {16384, 16384, 16384, 16384, 16384, 16384, 16384, 16384, 65536, 65536, 65536, 65536}, 8,
                      deviceId);
}

class SequenceTest : public ApiTest {
protected:
    void SetUp() override {
        WriteFile("firmware.bin", FirmwareImage(40000));
        WriteFile("config.bin", Pattern(600, 3));
        WriteFile("loader.bin", Pattern(5000, 5));
        WriteFile("empty.bin", {});
        driver_.SetReadValue(FLASH_ERASE_CTRL, ERASE_DONE);
        driver_.SetReadValue(FLASH_UPLOAD_CTRL, UPLOADER_READY);
    }
    void Open(uint32_t flags) {
        ASSERT_EQ(OpenLORIC(flags), 0u);
        debug_.Clear();
        driver_.ClearRequests();
    }
    // The data of the uploader-method blocks from block `first` on, `count` blocks.
    std::vector<uint8_t> UploadedData(uint32_t code, size_t first, size_t count) const {
        std::vector<uint8_t> out;
        const auto blocks = driver_.RequestsWithCode(code);
        for (size_t i = first; i < first + count && i < blocks.size(); ++i)
            out.insert(out.end(), blocks[i].uploadData.begin(), blocks[i].uploadData.end());
        return out;
    }
    // Fails every request for which `fails` says so.
    void FailWhen(std::function<bool(const RecordedRequest&)> fails) {
        driver_.SetHandler([fails](const RecordedRequest& request) -> std::optional<ScriptedReply> {
            if (fails(request)) return ScriptedReply::Failure(platform::kErrorIoDevice);
            return std::nullopt;
        });
    }

    FakeClock clock_;
    RequestRecorder driver_;
    TitleLog titles_;
};

bool IsWriteTo(const RecordedRequest& request, uint32_t offsetLow, uint32_t value) {
    auto t = RequestRecorder::Decode(request);
    return t && t->write && t->offsetLow == offsetLow && t->value == value;
}

bool IsReset(const RecordedRequest& request, uint32_t kind) {
    return request.code == IOCTL_RESET && request.input == LittleEndianBytes({kind});
}

// ---- Firmware and configuration -------------------------------------------------------------

TEST_F(SequenceTest, FirmwareErasesJustEnoughSectorsThenUploadsBothImagesAndResets) {
    Open(TRACE_API | TRACE_API_VERBOSE);
    FLASH_DEVICE device;
    EightBitDevice(device);
    EXPECT_EQ(UploadFirmwareAndConfig(0x120000 | kNode, &device, "firmware.bin", "config.bin", titles_.Handle(),
                                      nullptr),
              0u);

    std::vector<Quadlet> expected = {W(kNode, CSR_MODE_CTRL, MODE_EDIT)};
    for (uint32_t word : kBuiltInCommandSets[1]) expected.push_back(W(kNode, CSR_UPLOAD_COMMAND_SET_CTRL, word));
    for (uint32_t start : {0x0u, 0x4000u, 0x8000u, 0x20000u})
        expected.insert(expected.end(), {W(kNode, FLASH_ERASE_CTRL, start), R(kNode, FLASH_ERASE_CTRL)});
    expected.insert(expected.end(), {W(kNode, FLASH_UPLOAD_CTRL, 0), R(kNode, FLASH_UPLOAD_CHECKSUM),
                                     W(kNode, FLASH_UPLOAD_CTRL, 0x20000), R(kNode, FLASH_UPLOAD_CHECKSUM),
                                     W(kNode, FLASH_UPLOAD_CTRL, PROCESSOR_RESET)});
    EXPECT_EQ(Quadlets(driver_), expected);

    EXPECT_EQ(LinesWith(debug_.Text(), "Erasing to end"),
              "API_TRACEV: Erasing to end of sector 0 gives 16384 (0x4000) bytes\n"
              "API_TRACEV: Erasing to end of sector 1 gives 32768 (0x8000) bytes\n"
              "API_TRACEV: Erasing to end of sector 2 gives 49152 (0xC000) bytes\n");
    const std::string text = debug_.Text();
    EXPECT_EQ(text.rfind("API_TRACE: Enter UploadMainFirmware\n", 0), 0u);
    EXPECT_TRUE(text.ends_with("\nAPI_TRACE: Exit UploadMainFirmware (ret 0)\n\n"));

    // The firmware went up with parameter 1 = the configuration sector's byte address, the
    // configuration unchanged from the configuration sector's start.
    std::vector<uint8_t> firmware = FirmwareImage(40000);
    firmware[0x110] = 0x00, firmware[0x111] = 0x00, firmware[0x112] = 0x02, firmware[0x113] = 0x00;
    EXPECT_EQ(UploadedData(IOCTL_UPLOAD_UPLOADER, 0, 50), firmware);
    EXPECT_EQ(UploadedData(IOCTL_UPLOAD_UPLOADER, 50, 50), Pattern(600, 3));
    EXPECT_EQ(LittleEndianAt(driver_.RequestsWithCode(IOCTL_UPLOAD_UPLOADER).at(50).input, 0), 0x20000u);

    EXPECT_EQ(titles_.Steps(), (std::vector<std::string>{"Erasing firmware flash...", "Erasing configuration flash...",
                                                         "Uploading firmware...", "Uploading configuration...",
                                                         "Reseting device processor..."}));
    EXPECT_TRUE(titles_.Saw("Uploading firmware... 42%"));
    EXPECT_TRUE(titles_.Saw("Uploading firmware... 100%"));
}

TEST_F(SequenceTest, ACopiedRecordKeepsItsConfigurationSector) {
    Open(TRACE_ERROR);
    FLASH_DEVICE original;
    EightBitDevice(original);
    FLASH_DEVICE copy = original;  // configSector still points into the original's table
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, &copy, "firmware.bin", "config.bin", nullptr, nullptr), 0u);
    EXPECT_EQ(LittleEndianAt(driver_.RequestsWithCode(IOCTL_UPLOAD_UPLOADER).at(50).input, 0), 0x20000u);
}

TEST_F(SequenceTest, FirmwareSpaceIsCheckedBeforeAnythingIsErased) {
    struct Case {
        uint32_t length;
        uint32_t status;
        std::string spaceLine;  // empty: no such line
        uint32_t erases;
    };
    const Case cases[] = {
        {131072, 0, "", 9},  // exactly the space below the configuration sector
        {131073, 24, "API_TRACE: flashEraseBytes 196608,  firwareSpace bytes 131072\n", 0},
        {400000, 24, "API_TRACE: flashEraseBytes 393216,  firwareSpace bytes 131072\n", 0},  // above the whole flash
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Open(TRACE_API | TRACE_ERROR);
        WriteFile("big.bin", Pattern(c.length, 9));
        FLASH_DEVICE device;
        EightBitDevice(device);
        EXPECT_EQ(UploadFirmwareAndConfig(kNode, &device, "big.bin", "config.bin", nullptr, nullptr), c.status);
        EXPECT_EQ(LinesWith(debug_.Text(), "flashEraseBytes"), c.spaceLine);
        uint32_t erases = 0;
        for (const Quadlet& q : Quadlets(driver_)) erases += q.write && q.offsetLow == FLASH_ERASE_CTRL;
        EXPECT_EQ(erases, c.erases);
        if (c.status == 24) {
            char text[128];
            ASSERT_EQ(GetErrorText(24, text), 0u);
            EXPECT_EQ(std::string(text), "File too large for selected flash (" + std::to_string(c.length) + " bytes)");
            EXPECT_TRUE(driver_.RequestsWithCode(IOCTL_UPLOAD_UPLOADER).empty());
        }
        CloseLORIC();
    }
}

TEST_F(SequenceTest, InternalFlashIsErasedWholeOnce) {
    Open(TRACE_API | TRACE_ERROR);
    FLASH_DEVICE device;
    EightBitDevice(device, FLASH_INTERNAL_DEVICE_ID);
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, &device, "firmware.bin", "config.bin", titles_.Handle(), nullptr), 0u);
    std::vector<Quadlet> erases;
    for (const Quadlet& q : Quadlets(driver_))
        if (q.offsetLow == FLASH_ERASE_CTRL || q.offsetLow == FLASH_UPLOAD_CHECKSUM) erases.push_back(q);
    EXPECT_EQ(erases, (std::vector<Quadlet>{W(kNode, FLASH_ERASE_CTRL, ERASE_ALL)}));  // no poll, no checksum
    EXPECT_EQ(titles_.Steps().at(0), "Erasing internal flash...");
    EXPECT_EQ(titles_.Steps().at(1), "Uploading firmware...");

    // A refused erase of the internal flash.
    debug_.Clear();
    FailWhen([](const RecordedRequest& r) { return IsWriteTo(r, FLASH_ERASE_CTRL, ERASE_ALL); });
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, &device, "firmware.bin", "config.bin", nullptr, nullptr), 22u);
    EXPECT_NE(debug_.Text().find("API_TRACE: Exit EraseFlashSector (ret 10 - read 00000000 - count 0)\n"
                                 "ERROR INFO: Internal flash erase failed"
                                 "LORIC ERROR: Flash sector erase failed (sector at 0xFFFFFFFF)\n"
                                 "API_TRACE: Exit UploadMainFirmware (ret 22)\n\n"),
              std::string::npos);
}

TEST_F(SequenceTest, AFailedEraseStopsTheSequenceWithItsSector) {
    struct Case {
        uint32_t failingStart;
        const char* detail;
        const char* error;
    };
    const Case cases[] = {
        {0x4000, "Flash firmware sector erase failed", "Flash sector erase failed (sector at 0x04000)"},
        {0x20000, "Configuration sector erase failed", "Flash sector erase failed (sector at 0x20000)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.detail);
        Open(TRACE_API | TRACE_ERROR);
        const uint32_t failing = c.failingStart;
        FailWhen([failing](const RecordedRequest& r) { return IsWriteTo(r, FLASH_ERASE_CTRL, failing); });
        FLASH_DEVICE device;
        EightBitDevice(device);
        EXPECT_EQ(UploadFirmwareAndConfig(kNode, &device, "firmware.bin", "config.bin", nullptr, nullptr), 22u);
        EXPECT_NE(debug_.Text().find(std::string("ERROR INFO: ") + c.detail + "LORIC ERROR: " + c.error +
                                     "\nAPI_TRACE: Exit UploadMainFirmware (ret 22)\n\n"),
                  std::string::npos);
        EXPECT_EQ(Quadlets(driver_).back(), W(kNode, FLASH_ERASE_CTRL, failing));  // nothing after it
        EXPECT_TRUE(driver_.RequestsWithCode(IOCTL_UPLOAD_UPLOADER).empty());
        CloseLORIC();
    }
}

TEST_F(SequenceTest, FirmwareFailuresOfModeSwitchAndProcessorReset) {
    Open(TRACE_API | TRACE_ERROR);
    FLASH_DEVICE device;
    EightBitDevice(device);
    driver_.FailNext(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice);  // MODE_EDIT
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, &device, "firmware.bin", "config.bin", nullptr, nullptr), 14u);
    EXPECT_EQ(Quadlets(driver_).size(), 1u);
    EXPECT_NE(debug_.Text().find("API_TRACE: Exit SwitchDeviceToUploadMode (ret 10)\n\n"
                                 "LORIC ERROR: Failed to switch device to upload mode\n"
                                 "API_TRACE: Exit UploadMainFirmware (ret 14)\n\n"),
              std::string::npos);

    debug_.Clear();
    FailWhen([](const RecordedRequest& r) { return IsWriteTo(r, FLASH_UPLOAD_CTRL, PROCESSOR_RESET); });
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, &device, "firmware.bin", "config.bin", nullptr, nullptr), 31u);
    EXPECT_NE(debug_.Text().find("LORIC ERROR: 1394 Quadlet write of address offset 0xF0090008 failed\n"
                                 "LORIC ERROR: Processor reset failed\n"
                                 "API_TRACE: Exit UploadMainFirmware (ret 31)\n\n"),
              std::string::npos);
    EXPECT_EQ(g_api.messageArgument.number, 0u);
}

TEST_F(SequenceTest, UnreadableImagesAreReportedBeforeTheDeviceIsTouched) {
    struct Case {
        const char* firmware;
        const char* config;
        const char* loader;
        uint32_t status;
        const char* message;
    };
    const Case cases[] = {
        {"missing.bin", "config.bin", "missing.bin", 6, "Unable to create or open missing.bin"},
        {"firmware.bin", "nothere.bin", nullptr, 6, "Unable to create or open nothere.bin"},
        {"empty.bin", "config.bin", "empty.bin", 7, "A read / write error occurred while accessing empty.bin"},
    };
    Open(TRACE_API | TRACE_ERROR);
    FLASH_DEVICE device;
    EightBitDevice(device);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        driver_.ClearRequests();
        char text[128];
        EXPECT_EQ(UploadFirmwareAndConfig(kNode, &device, c.firmware, c.config, titles_.Handle(), nullptr), c.status);
        ASSERT_EQ(GetErrorText(c.status, text), 0u);
        EXPECT_STREQ(text, c.message);
        if (c.loader != nullptr) {
            uint16_t node = kNode;
            EXPECT_EQ(UploadFirmwareLoader(&node, &device, c.loader, 0, 0, titles_.Handle(), nullptr), c.status);
            ASSERT_EQ(GetErrorText(c.status, text), 0u);
            EXPECT_STREQ(text, c.message);
        }
        EXPECT_TRUE(driver_.Requests().empty());
        EXPECT_TRUE(titles_.titles.empty());
    }
}

TEST_F(SequenceTest, ArgumentChecks) {
    Open(TRACE_ERROR);
    FLASH_DEVICE device;
    EightBitDevice(device);
    uint16_t node = kNode;
    FLASH_DEVICE noConfig = device;
    noConfig.configSector = nullptr;
    FLASH_DEVICE noWidth = device;
    noWidth.busWidth = 0;
    FLASH_DEVICE noSet = device;
    noSet.commandSetIndex = 9;
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, nullptr, "firmware.bin", "config.bin", nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, &device, nullptr, "config.bin", nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, &device, "firmware.bin", nullptr, nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, &noConfig, "firmware.bin", "config.bin", nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, &noWidth, "firmware.bin", "config.bin", nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFirmwareLoader(nullptr, &device, "loader.bin", 0, 0, nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFirmwareLoader(&node, nullptr, "loader.bin", 0, 0, nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFirmwareLoader(&node, &device, nullptr, 0, 0, nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFirmwareLoader(&node, &noSet, "loader.bin", 0, 0, nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFirmwareLoader(&node, &device, "loader.bin", 0, 31, titles_.Handle(), nullptr), 5u);
    EXPECT_TRUE(titles_.titles.empty());
    EXPECT_TRUE(driver_.Requests().empty());
    CloseLORIC();
    EXPECT_EQ(UploadFirmwareAndConfig(kNode, nullptr, nullptr, nullptr, nullptr, nullptr), 3u);
    EXPECT_EQ(UploadFirmwareLoader(nullptr, nullptr, nullptr, 0, 99, nullptr, nullptr), 3u);
}

// ---- Bootstrap loader -------------------------------------------------------------------------

TEST_F(SequenceTest, LoaderFromRunningFirmwareForcesErasesUploadsResetsAndRelocates) {
    Open(TRACE_API | TRACE_INTERNAL);
    std::vector<int64_t> stamps;
    driver_.SetHandler([&](const RecordedRequest&) -> std::optional<ScriptedReply> {
        stamps.push_back(clock_.NowMs());
        return std::nullopt;
    });
    FLASH_DEVICE device;
    EightBitDevice(device);
    uint16_t node = 0x0005;
    EXPECT_EQ(UploadFirmwareLoader(&node, &device, "loader.bin", 0, 3, titles_.Handle(), nullptr), 0u);
    EXPECT_EQ(node, 0xFFC0);

    std::vector<uint32_t> expected = {IOCTL_SET_FLASH_COMMAND_SET,
                                      IOCTL_ASYNC_WRITE,       // FLASH_PORT_CLEAR at node 5
                                      IOCTL_ASYNC_WRITE,       // MODE_FORCE
                                      IOCTL_ASYNC_WRITE,       // probe at 0xFFC0
                                      IOCTL_SET_TARGET_NODE,   // FindNode
                                      IOCTL_SET_TARGET_NODE,   // the flash port erase
                                      IOCTL_ERASE_SECTOR,
                                      IOCTL_SET_BYTE_PROGRAM_DELAY};
    expected.insert(expected.end(), 50, IOCTL_UPLOAD_FLASH_PORT);
    expected.insert(expected.end(), {IOCTL_RESET, IOCTL_RESET, IOCTL_ASYNC_WRITE, IOCTL_RESET,  // flash, device, clear, bus
                                     IOCTL_RESET, IOCTL_RESET, IOCTL_ASYNC_READ, IOCTL_SET_TARGET_NODE});
    const auto requests = driver_.Requests();
    EXPECT_EQ(Codes(driver_), expected);
    ASSERT_EQ(requests.size(), expected.size());
    EXPECT_EQ(Quadlets(driver_),
              (std::vector<Quadlet>{W(0x0005, FLASH_PORT_CTRL, 0), W(0x0005, CSR_MODE_CTRL, MODE_FORCE),
                                    W(0xFFC0, FLASH_PORT_CTRL, 0), W(0xFFC0, FLASH_PORT_CTRL, 0),
                                    R(0xFFC0, FLASH_UPLOAD_CTRL)}));
    EXPECT_EQ(requests[6].input, LittleEndianBytes({0}));  // the bottom sector
    for (size_t i : {58, 59, 61, 62, 63}) EXPECT_EQ(requests[i].input, LittleEndianBytes({i == 58 ? 0u : i == 59 ? 1u : 2u}));
    EXPECT_GE(stamps[7] - stamps[6], 3000);  // the erase delay
    EXPECT_LT(stamps[7] - stamps[6], 3100);
    EXPECT_GE(stamps[63] - stamps[61], 1000);  // a second after the bus reset

    EXPECT_EQ(titles_.Steps(), (std::vector<std::string>{"Preparing to upload...", "Erasing flash...",
                                                         "Uploading bootstrap loader...",
                                                         "Initialising bootstrap loader...", "Relocating device..."}));
    EXPECT_TRUE(titles_.Saw("Uploading bootstrap loader... 98%"));
    const std::string text = debug_.Text();
    EXPECT_EQ(text.rfind("API_TRACE: Enter UploadFirmwareLoader\n", 0), 0u);
    EXPECT_TRUE(text.ends_with("\nAPI_TRACE: Exit UploadFirmwareLoader (ret 0)\n\n"));
}

TEST_F(SequenceTest, LoaderLargerThanTheBottomSectorErasesTheWholeChip) {
    struct Case {
        size_t length;
        uint32_t eraseAddress;
    };
    for (const Case c : {Case{16384, 0}, Case{16385, ERASE_ALL}, Case{20000, ERASE_ALL}}) {
        SCOPED_TRACE(c.length);
        Open(TRACE_API);
        WriteFile("sized.bin", Pattern(c.length, 2));
        FLASH_DEVICE device;
        EightBitDevice(device);
        uint16_t node = 0xFFC0;
        EXPECT_EQ(UploadFirmwareLoader(&node, &device, "sized.bin", 0, 0, nullptr, nullptr), 0u);
        const auto erases = driver_.RequestsWithCode(IOCTL_ERASE_SECTOR);
        ASSERT_EQ(erases.size(), 1u);
        EXPECT_EQ(erases[0].input, LittleEndianBytes({c.eraseAddress}));
        EXPECT_EQ(LinesWith(debug_.Text(), "Loader too large"),
                  c.eraseAddress == ERASE_ALL ? "API_TRACE: Loader too large for bottom sector - erasing entire device\n" : "");
        CloseLORIC();
    }
}

TEST_F(SequenceTest, BlankLoaderGoesStraightToTheUpload) {
    Open(TRACE_API);
    FLASH_DEVICE device;
    EightBitDevice(device);
    uint16_t node = 0xFFC1;
    EXPECT_EQ(UploadFirmwareLoader(&node, &device, "loader.bin", 1, 30, titles_.Handle(), nullptr), 0u);
    const auto codes = Codes(driver_);
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(codes[0], IOCTL_SET_FLASH_COMMAND_SET);
    EXPECT_EQ(codes[1], IOCTL_SET_BYTE_PROGRAM_DELAY);
    EXPECT_EQ(codes[2], IOCTL_UPLOAD_FLASH_PORT);
    EXPECT_TRUE(driver_.RequestsWithCode(IOCTL_ERASE_SECTOR).empty());
    EXPECT_EQ(titles_.Steps().at(1), "Uploading bootstrap loader...");
}

TEST_F(SequenceTest, LoaderFailuresStopAtTheFailedStep) {
    struct Case {
        const char* name;
        std::function<bool(const RecordedRequest&)> fails;
        uint32_t status;
        std::string errorLine;
        uint32_t lastCode;  // the last request that reached the driver
    };
    const Case cases[] = {
        {"not found after force flash",
         [](const RecordedRequest& r) {
             auto t = RequestRecorder::Decode(r);
             return t && t->nodeId != 0x0005 && t->offsetLow == FLASH_PORT_CTRL;
         },
         12, "LORIC ERROR: The TQ6410 device could not be relocated after reset\n", IOCTL_ASYNC_WRITE},
        {"erase refused", [](const RecordedRequest& r) { return r.code == IOCTL_ERASE_SECTOR; }, 22,
         "LORIC ERROR: Flash sector erase failed (sector at 0x00000)\n", IOCTL_ERASE_SECTOR},
        {"flash reset refused", [](const RecordedRequest& r) { return IsReset(r, RESET_FLASH); }, 28,
         "LORIC ERROR: Flash reset failed\n", IOCTL_RESET},
        {"device reset refused", [](const RecordedRequest& r) { return IsReset(r, RESET_DEVICE); }, 30,
         "LORIC ERROR: Device reset failed\n", IOCTL_RESET},
        {"bus reset refused", [](const RecordedRequest& r) { return IsReset(r, RESET_BUS); }, 29,
         "LORIC ERROR: Bus reset failed\n", IOCTL_RESET},
        {"no loader answers", [](const RecordedRequest& r) { return r.code == IOCTL_ASYNC_READ; }, 12,
         "LORIC ERROR: The TQ6410 device could not be relocated after reset\n", IOCTL_RESET},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open(TRACE_API | TRACE_ERROR);
        FailWhen(c.fails);
        FLASH_DEVICE device;
        EightBitDevice(device);
        uint16_t node = 0x0005;
        EXPECT_EQ(UploadFirmwareLoader(&node, &device, "loader.bin", 0, 0, nullptr, nullptr), c.status);
        EXPECT_NE(debug_.Text().find(c.errorLine + "API_TRACE: Exit UploadFirmwareLoader (ret " +
                                     std::to_string(c.status) + ")\n\n"),
                  std::string::npos);
        EXPECT_EQ(driver_.Requests().back().code, c.lastCode);
        if (c.status != 12 || c.lastCode != IOCTL_RESET) {
            EXPECT_TRUE(driver_.RequestsWithCode(IOCTL_ASYNC_READ).empty());  // FindUploaderNode not reached
        }
        CloseLORIC();
        driver_.ClearScript();
        driver_.SetReadValue(FLASH_ERASE_CTRL, ERASE_DONE);
        driver_.SetReadValue(FLASH_UPLOAD_CTRL, UPLOADER_READY);
    }
}

}  // namespace
}  // namespace loric::test
