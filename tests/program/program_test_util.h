// Helpers of the programming and simulator tests: records, image files, window titles, request
// transcripts and the simulated bench.
#pragma once

#include <cstring>
#include <iomanip>

#include "support/api_fixture.h"
#include "support/case_file.h"
#include "support/request_recorder.h"
#if __has_include("tqsim/system.h")
#include "tqsim/system.h"
#endif

namespace loric::test {

inline const std::string kImages = std::string(LORIC_SOURCE_DIR) + "/sim/images/";

// The records of a flash data file; `found` points at the one named `chip` (null if none).
inline std::vector<FLASH_DEVICE> LoadRecords(const std::string& file, const char* chip,
                                             FLASH_DEVICE** found) {
    std::vector<FLASH_DEVICE> devices(LORIC_MAX_FLASH_DEVICES);
    uint32_t count = 0;
    EXPECT_EQ(LoadFlashData(file.c_str(), devices.data(), &count), 0u) << file;
    *found = nullptr;
    for (uint32_t i = 0; i < count; ++i)
        if (std::strcmp(devices[i].deviceName, chip) == 0) *found = &devices[i];
    return devices;
}

inline std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return bytes;
}

// The image with the four bytes at `at` set to `value`, least significant first.
inline std::vector<uint8_t> WithParameter(std::vector<uint8_t> image, size_t at, uint32_t value) {
    bytes::StoreLittleEndian32(&image[at], value);
    return image;
}

inline void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    const std::string bytes = ReadFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

// The bytes of hexadecimal text written as pairs of digits, white space between them ignored.
inline std::vector<uint8_t> FromHex(const std::string& text) {
    std::istringstream in(text);
    std::vector<uint8_t> bytes;
    for (std::string pair; in >> std::setw(2) >> pair;)
        bytes.push_back(static_cast<uint8_t>(std::stoi(pair, nullptr, 16)));
    return bytes;
}

// A progress window whose every title change is recorded.
struct TitleLog {
    LORIC_PROGRESS_WINDOW window{};
    std::vector<std::string> titles;

    TitleLog() {
        window.titleChanged = [](LORIC_PROGRESS_WINDOW* w) {
            static_cast<TitleLog*>(w->context)->titles.push_back(w->title);
        };
        window.context = this;
    }
    ProgressWindow Handle() { return &window; }
};

// Every request the driver received (quadlets decoded; other codes with their input as
// words, bytes left over, and the length of the data after them), then the trace and the titles.
inline std::string RequestTranscript(const RequestRecorder& driver, const std::string& trace,
                                     const TitleLog* titles) {
    Transcript out;
    for (const RecordedRequest& r : driver.Requests()) {
        if (auto t = RequestRecorder::Decode(r)) {
            out.Add("%s %04X %04X %08X %08X\n", t->write ? "W" : "R", t->nodeId, t->offsetHigh,
                    t->offsetLow, t->write ? t->value : 0);
            continue;
        }
        out.Add("%06X", r.code);
        size_t i = 0;
        for (; i + 3 < r.input.size(); i += 4) out.Add(" %08X", LittleEndianAt(r.input, i));
        for (; i < r.input.size(); ++i) out.Add(" %02X", r.input[i]);
        out.Add(" +%zu\n", r.uploadData.size());
    }
    out.Text("---- trace\n" + trace);
    if (titles) out.Text("---- titles\n");
    for (size_t i = 0; titles && i < titles->titles.size(); ++i)
        out.Add("%s\n", titles->titles[i].c_str());
    return out.str();
}

// The text without the lines of the asynchronous transactions (their own tests cover them).
inline std::string WithoutAsyncLines(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (line.find("AsyncRead") == std::string::npos &&
            line.find("AsyncWrite") == std::string::npos &&
            line.find("AsynWrite") == std::string::npos)
            out += line + (in.eof() ? "" : "\n");
    return out;
}

#if __has_include("tqsim/system.h")
// The fault a case names: "vanish" (the device is gone after its resets), "erase never done",
// or "writes REGISTER N" (every write to it after the first N fails); "" none.
inline void InjectFault(tqsim::System& sim, const std::string& fault) {
    std::istringstream writes(fault.rfind("writes ", 0) == 0 ? fault.substr(7) : "");
    std::string offset, succeedFirst;
    if (writes >> offset >> succeedFirst)
        sim.AddRegisterFault({.offsetLow = CaseNumber(offset),
                              .onRead = false,
                              .succeedFirst = CaseNumber(succeedFirst)});
    sim.SetVanishOnReset(fault == "vanish");
    sim.SetEraseNeverDone(fault == "erase never done");
}

// A board of the default chip running `firmware` and `config`.
inline std::unique_ptr<tqsim::System> Board(const std::vector<uint8_t>& firmware,
                                            const std::vector<uint8_t>& config) {
    auto sim = std::make_unique<tqsim::System>(tqsim::SystemOptions{});
    EXPECT_TRUE(sim->InstallFirmware(firmware, config));
    sim->Reboot();
    return sim;
}

// Tests against the simulated bench through the exports.
class SimTest : public ApiTest {
public:
    // A fresh bench with `chip` of simchips.dat (at its datasheet's typical times on the real
    // clock, if asked), the host's record of the chip, and the library open over its driver or
    // its serial adapter.
    void Bench(const char* chip, bool realTime = false, bool serial = false) {
        TearDown();
        env_.reset();  // restores the variable before a new value is set
        tqsim::SystemOptions options;
        std::string error;
        ASSERT_TRUE(
            tqsim::LoadChipFromFlashDataFile(kImages + "simchips.dat", chip, &options.chip, &error))
            << error;
        if (realTime) {
            options.timings = tqsim::FamilyTimings(options.chip, tqsim::TimingProfile::Typical);
            options.time = tqsim::TimeMode::Real;
        }
        sim_ = std::make_unique<tqsim::System>(options);
        const std::string socket = directory_.Path() + "/brennock.sock";
        ASSERT_TRUE(sim_->StartDriverServer(socket, &error)) << error;
        env_ = std::make_unique<ScopedEnv>("BRENNOCK_SOCKET", socket.c_str());
        const std::string pty = serial ? sim_->StartSerialAdapter() : "";
        ASSERT_EQ(serial ? OpenComAPI(pty.c_str(), TRACE_ERROR) : OpenLORIC(TRACE_ERROR), 0u);
        devices_ = LoadRecords(kImages + "simchips.dat", chip, &device_);
        ASSERT_NE(device_, nullptr);
    }
    void TearDown() override {
        CloseLORIC();
        if (sim_) sim_->StopDriverServer();
    }
    // Locates the device as a host does; this also makes it the target of uploads.
    uint16_t Find() {
        uint16_t node = 0;
        uint32_t blank = 0;
        EXPECT_EQ(FindNode(&node, &blank), 0u);
        EXPECT_EQ(node, sim_->DeviceNodeId());
        return node;
    }

    std::unique_ptr<tqsim::System> sim_;
    std::unique_ptr<ScopedEnv> env_;
    std::vector<FLASH_DEVICE> devices_;
    FLASH_DEVICE* device_ = nullptr;
};
#endif

}  // namespace loric::test
