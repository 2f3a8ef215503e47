// Common ground of tests that call the exports: a fresh temporary current directory (the
// trace log "debug.log" is written there), the API context reset before and after, the
// debugger output captured, and "debug.log" read back.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace loric::test {

// Makes a new temporary directory the current one; restores and removes it afterwards.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
};

// Collects every piece sent to the debugger output while it lives.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    const std::vector<std::string>& Pieces() const { return pieces_; }
    std::string Text() const;  // all pieces joined
    void Clear() { pieces_.clear(); }

private:
    static void Write(void* context, const char* text);
    std::vector<std::string> pieces_;
    platform::DebugOutputHook hook_{};
};

// The bytes of "debug.log" in the current directory (the open stream is flushed first).
// Empty when there is no such file.
std::string ReadDebugLog();
bool DebugLogExists();

// Sets an environment variable for the lifetime of the object (unset when value is null).
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool hadValue_ = false;
    std::string previous_;
};

// Fixture: temporary directory, reset API context and captured debugger output.
// BRENNOCK_SOCKET points at a path where nothing listens, so that an open fails unless the
// test starts a RequestRecorder (which points it at itself while it lives).
class ApiTest : public ::testing::Test {
protected:
    ApiTest();
    ~ApiTest() override;
    TempDirectory directory_;
    ScopedEnv noDriver_;
    DebugCapture debug_;
};

}  // namespace loric::test
