// Helpers of the flash description tests: an open API over the recording driver stand-in,
// and the caller's array of 128 records.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/context.h"
#include "loric.h"
#include "support/api_fixture.h"
#include "support/request_recorder.h"

namespace loric::test {

inline void WriteTextFile(const std::string& name, const std::string& bytes) {
    FILE* file = std::fopen(name.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

class FlashDataTest : public ApiTest {
protected:
    static constexpr uint32_t kAllTrace = TRACE_ERROR | TRACE_WARNING | TRACE_API;

    void SetUp() override { Open(kAllTrace); }
    void TearDown() override { CloseLORIC(); }

    void Open(uint32_t flags) {
        CloseLORIC();
        ASSERT_EQ(OpenLORIC(flags), 0u);
        debug_.Clear();
    }

    // Loads `text` as the file "flash.dat" into devices_; returns the status. The trace
    // captured is that of this load only.
    uint32_t Load(const std::string& text) {
        WriteTextFile("flash.dat", text);
        debug_.Clear();
        count_ = 0xDEAD;
        return LoadFlashData("flash.dat", devices_.data(), &count_);
    }

    // The trace between the enter and the exit lines of the last load.
    std::string Body() const {
        std::string text = debug_.Text();
        const std::string enter = std::string("API_TRACE: Enter LoadFlashData - API_TRACE: sizeof(FLASH_DEVICE) = ") +
                                  std::to_string(sizeof(FLASH_DEVICE)) + " bytes\n";
        if (text.rfind(enter, 0) != 0) return "<no enter line>" + text;
        text.erase(0, enter.size());
        size_t exit = text.rfind("API_TRACE: Exit LoadFlashData");
        return exit == std::string::npos ? text + "<no exit line>" : text.substr(0, exit);
    }

    RequestRecorder recorder_;
    std::vector<FLASH_DEVICE> devices_ = std::vector<FLASH_DEVICE>(LORIC_MAX_FLASH_DEVICES);
    uint32_t count_ = 0;
};

}  // namespace loric::test
