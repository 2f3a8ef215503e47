// Replaceable clock and debugger output, shared by both platforms. The hooks are plain
// static data: nothing runs at load.
#include "platform/platform.h"

namespace loric::platform {

namespace {

ClockHooks g_clockHooks;
DebugOutputHook g_debugHook;

}  // namespace

void SetClockHooks(const ClockHooks* hooks) {
    if (hooks != nullptr)
        g_clockHooks = *hooks;
    else
        g_clockHooks = ClockHooks{};
}

CalendarTime Now() {
    if (g_clockHooks.now != nullptr) return g_clockHooks.now(g_clockHooks.context);
    return RealNow();
}

void SleepMilliseconds(uint32_t milliseconds) {
    if (g_clockHooks.sleep != nullptr) {
        g_clockHooks.sleep(g_clockHooks.context, milliseconds);
        return;
    }
    RealSleepMilliseconds(milliseconds);
}

void DebugOutput(const char* text) {
    if (text == nullptr) return;
    if (g_debugHook.write != nullptr) {
        g_debugHook.write(g_debugHook.context, text);
        return;
    }
    NativeDebugOutput(text);
}

void SetDebugOutputHook(const DebugOutputHook* hook) {
    if (hook != nullptr)
        g_debugHook = *hook;
    else
        g_debugHook = DebugOutputHook{};
}

}  // namespace loric::platform
