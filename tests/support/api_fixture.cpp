#include "api_fixture.h"

#include <fstream>
#include <iterator>

#include "api/context.h"

namespace loric::test {

std::string ReadDebugLog() {
    if (g_api.logFile != nullptr) platform::FlushLogFile(g_api.logFile);
    std::ifstream file("debug.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

ApiTest::ApiTest() : noDriver_("BRENNOCK_SOCKET", (directory_.Path() + "/no-driver.sock").c_str()) {
    ResetApiContext();
}

ApiTest::~ApiTest() { ResetApiContext(); }

}  // namespace loric::test
