// Common ground of tests that call the exports: a fresh temporary current directory (the
// trace log "debug.log" is written there), the API context reset before and after, the
// debugger output captured, and "debug.log" read back.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "api/context.h"
#include "golden.h"
#include "platform/platform.h"
#include "scoped_env.h"

namespace loric::test {

// Makes a new temporary directory the current one; restores and removes it afterwards.
class TempDirectory {
public:
    TempDirectory() : previous_(std::filesystem::current_path()) {
        char pattern[] = "/tmp/loric-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        std::filesystem::current_path(path_);
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::filesystem::path previous_;
    std::string path_;
};

// Collects every piece sent to the debugger output while it lives.
class DebugCapture {
public:
    DebugCapture() { platform::SetDebugOutputHook(&hook_); }
    ~DebugCapture() { platform::SetDebugOutputHook(nullptr); }
    const std::vector<std::string>& Pieces() const { return pieces_; }
    std::string Text() const {  // all pieces joined
        std::string text;
        for (const auto& piece : pieces_) text += piece;
        return text;
    }
    void Clear() { pieces_.clear(); }

private:
    std::vector<std::string> pieces_;
    platform::DebugOutputHook hook_{
        [](void* self, const char* text) {
            static_cast<DebugCapture*>(self)->pieces_.emplace_back(text);
        },
        this};
};

// The bytes of "debug.log" in the current directory (the open stream is flushed first).
// Empty when there is no such file.
inline std::string ReadDebugLog() {
    if (g_api.logFile != nullptr) platform::FlushLogFile(g_api.logFile);
    return ReadFileBytes("debug.log");
}
inline bool DebugLogExists() { return std::filesystem::exists("debug.log"); }

// Fixture: temporary directory, reset API context and captured debugger output.
// BRENNOCK_SOCKET points at a path where nothing listens, so that an open fails unless the
// test starts a RequestRecorder (which points it at itself while it lives).
class ApiTest : public ::testing::Test {
protected:
    ApiTest() : noDriver_("BRENNOCK_SOCKET", (directory_.Path() + "/no-driver.sock").c_str()) {
        ResetApiContext();
    }
    ~ApiTest() override { ResetApiContext(); }
    TempDirectory directory_;
    ScopedEnv noDriver_;
    DebugCapture debug_;
};

}  // namespace loric::test
