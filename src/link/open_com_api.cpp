// Opening the API over a serial adapter.
#include "api/open.h"
#include "link/serial_link.h"
#include "loric.h"

namespace loric {
namespace {

DeviceLink* MakeSerialLink(const void* portName) {
    return new SerialLink(static_cast<const char*>(portName));
}

}  // namespace
}  // namespace loric

extern "C" LORIC_EXPORT uint32_t LORIC_CALL OpenComAPI(const char* portName, uint32_t traceFlags) {
    return loric::OpenApi(&loric::MakeSerialLink, portName, traceFlags);
}
