// The portable formatter behind FormatV on platforms without wvsprintfA.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace loric::platform {

int FormatRulesV(char* buffer, size_t size, const char* format, va_list args);

}  // namespace loric::platform
