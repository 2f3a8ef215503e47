#include "api_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "api/context.h"

namespace loric::test {

TempDirectory::TempDirectory() {
    char pattern[] = "/tmp/loric-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    previous_ = std::filesystem::current_path().string();
    std::filesystem::current_path(path_);
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(path_, ignored);
}

DebugCapture::DebugCapture() {
    hook_.write = &DebugCapture::Write;
    hook_.context = this;
    platform::SetDebugOutputHook(&hook_);
}

DebugCapture::~DebugCapture() { platform::SetDebugOutputHook(nullptr); }

void DebugCapture::Write(void* context, const char* text) {
    static_cast<DebugCapture*>(context)->pieces_.emplace_back(text);
}

std::string DebugCapture::Text() const {
    std::string text;
    for (const auto& piece : pieces_) text += piece;
    return text;
}

std::string ReadDebugLog() {
    if (g_api.logFile != nullptr) platform::FlushLogFile(g_api.logFile);
    std::ifstream file("debug.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool DebugLogExists() { return std::filesystem::exists("debug.log"); }

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* previous = std::getenv(name)) {
        hadValue_ = true;
        previous_ = previous;
    }
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (hadValue_)
        setenv(name_.c_str(), previous_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

ApiTest::ApiTest() : noDriver_("BRENNOCK_SOCKET", (directory_.Path() + "/no-driver.sock").c_str()) {
    ResetApiContext();
}

ApiTest::~ApiTest() { ResetApiContext(); }

}  // namespace loric::test
