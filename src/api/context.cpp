#include "api/context.h"

#include <cstring>

#include "link/device_link.h"
#include "platform/platform.h"

namespace loric {

ApiContext g_api;

void SetMessageArgument(uint32_t argument) {
    g_api.messageArgument.isText = false;
    g_api.messageArgument.number = argument;
    g_api.messageArgument.text[0] = '\0';
}

void SetMessageText(const char* fileName) {
    if (fileName == nullptr) {
        // Nothing to keep: the file-name placeholder then shows "(null)".
        SetMessageArgument(0);
        return;
    }
    size_t length = strnlen(fileName, kMessageTextSize - 1);
    std::memcpy(g_api.messageArgument.text, fileName, length);
    g_api.messageArgument.text[length] = '\0';
    g_api.messageArgument.number = 0;
    g_api.messageArgument.isText = true;
}

void ResetApiContext() {
    delete g_api.link;
    g_api.link = nullptr;
    g_api.traceFlags = 0;
    SetMessageArgument(0);
    if (g_api.logFile != nullptr) platform::CloseLogFile(g_api.logFile);
    g_api.logFile = nullptr;
}

}  // namespace loric
