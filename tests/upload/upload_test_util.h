// Helpers of the upload engine tests: an open API over the recording driver stand-in, a
// FLASH_DEVICE, image files, and recorders for the window title and the progress callback.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/context.h"
#include "link/driver_link.h"
#include "link/registers.h"
#include "loric.h"
#include "support/api_fixture.h"
#include "support/request_recorder.h"

namespace loric::test {

// One UploadBlock request as it reached the driver.
struct SentBlock {
    bool flashPort;
    uint32_t flashAddress;
    uint32_t byteCount;
    uint32_t dataField;
    uint32_t uploadMode;
    std::vector<uint8_t> data;
};

// The progress callback is a plain function: it records into this state.
struct ProgressLog {
    static inline std::vector<int> percents;
    static inline int cancelAt = -1;
    static uint32_t LORIC_CDECL Callback(uint8_t percent) {
        percents.push_back(percent);
        return percent == cancelAt ? 1u : 0u;
    }
    static void Reset() {
        percents.clear();
        cancelAt = -1;
    }
};

inline std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed = 1) {
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

inline uint32_t QuadletSum(const std::vector<uint8_t>& bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4)
        sum += uint32_t{bytes[i]} | uint32_t{bytes[i + 1]} << 8 | uint32_t{bytes[i + 2]} << 16 |
               uint32_t{bytes[i + 3]} << 24;
    return sum;
}

inline void WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(name.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

class UploadTest : public ApiTest {
protected:
    static constexpr uint32_t kNode = 0xFFC0;

    void SetUp() override {
        ProgressLog::Reset();
        Open(TRACE_ERROR | TRACE_API);
        device_.busWidth = 8;
        device_.commandSetIndex = 1;
        device_.byteProgramDelay = 20;
        device_.attributes = 3;
        window_.titleChanged = &UploadTest::TitleChanged;
        window_.context = &titles_;
    }
    void TearDown() override {
        CloseLORIC();
        ProgressLog::Reset();
    }

    void Open(uint32_t flags) {
        CloseLORIC();
        ASSERT_EQ(OpenLORIC(flags), 0u);
        debug_.Clear();
        recorder_.ClearRequests();
    }

    void SetTitle(const char* title) { std::snprintf(window_.title, sizeof window_.title, "%s", title); }

    static void TitleChanged(LORIC_PROGRESS_WINDOW* window) {
        static_cast<std::vector<std::string>*>(window->context)->push_back(window->title);
    }

    std::vector<SentBlock> Blocks() const {
        std::vector<SentBlock> blocks;
        for (const RecordedRequest& r : recorder_.Requests()) {
            if (r.code != IOCTL_UPLOAD_FLASH_PORT && r.code != IOCTL_UPLOAD_UPLOADER) continue;
            EXPECT_EQ(r.input.size(), 16u);
            if (r.input.size() != 16) continue;
            blocks.push_back({r.code == IOCTL_UPLOAD_FLASH_PORT, LittleEndianAt(r.input, 0), LittleEndianAt(r.input, 4),
                              LittleEndianAt(r.input, 8), LittleEndianAt(r.input, 12), r.uploadData});
        }
        return blocks;
    }

    // Every request in order, one short word each: "W<offset>=<value>", "R<offset>",
    // "U<address>+<count>", "P<address>+<count>" (flash port), "D<delay>".
    std::vector<std::string> Sequence() const {
        std::vector<std::string> out;
        char text[64];
        for (const RecordedRequest& r : recorder_.Requests()) {
            if (auto t = RequestRecorder::Decode(r)) {
                if (t->write)
                    std::snprintf(text, sizeof text, "W%08X=%08X", t->offsetLow, t->value);
                else
                    std::snprintf(text, sizeof text, "R%08X", t->offsetLow);
            } else if (r.code == IOCTL_UPLOAD_FLASH_PORT || r.code == IOCTL_UPLOAD_UPLOADER) {
                std::snprintf(text, sizeof text, "%c%X+%u", r.code == IOCTL_UPLOAD_UPLOADER ? 'U' : 'P',
                              LittleEndianAt(r.input, 0), LittleEndianAt(r.input, 4));
            } else if (r.code == IOCTL_SET_BYTE_PROGRAM_DELAY) {
                std::snprintf(text, sizeof text, "D%u", LittleEndianAt(r.input, 0));
            } else {
                std::snprintf(text, sizeof text, "?%X", r.code);
            }
            out.push_back(text);
        }
        return out;
    }

    // All bytes of the uploads, in order.
    std::vector<uint8_t> UploadedBytes() const {
        std::vector<uint8_t> all;
        for (const SentBlock& b : Blocks()) all.insert(all.end(), b.data.begin(), b.data.end());
        return all;
    }

    uint32_t Upload(const char* name, uint32_t address, uint32_t flags, uint32_t* parameter = nullptr,
                    bool window = false, bool callback = false) {
        return UploadFile(kNode, name, address, flags, &device_, parameter, window ? &window_ : nullptr,
                          callback ? &ProgressLog::Callback : nullptr);
    }

    RequestRecorder recorder_;
    FLASH_DEVICE device_{};
    LORIC_PROGRESS_WINDOW window_{};
    std::vector<std::string> titles_;
};

}  // namespace loric::test
