// Sector erase: by the device (start the erase in FLASH_ERASE_CTRL, then poll it until
// ERASE_DONE or the time-out) or by the link through the flash port.
#include "program/erase.h"

#include "api/context.h"
#include "api/export_frame.h"
#include "api/target.h"
#include "flash/flash_data.h"
#include "link/device_link.h"
#include "link/registers.h"
#include "link/timing.h"
#include "loric.h"
#include "platform/platform.h"

using namespace loric;

namespace {

// Time-outs cover the longest erase the chips' datasheets allow (a worn 29LV sector takes up
// to 15 s, a 29F chip erase up to 64 s): an erase that is merely slow must not be reported as
// failed, since the job would then stop with its sectors erased. Only an erase that never
// ends runs into them.
constexpr uint32_t kSectorEraseTimeoutSeconds = 20;
constexpr uint32_t kChipEraseTimeoutSeconds = 120;

// Pause between two reads of FLASH_ERASE_CTRL. A sector erase takes from milliseconds to
// seconds; reading every 2 ms sees its end soon enough without keeping a processor busy.
constexpr uint32_t kErasePollIntervalMs = 2;

struct PollRecord {
    uint32_t lastValue;
    uint32_t reads;
};

// The device method after the start write: poll FLASH_ERASE_CTRL, with a short sleep between
// reads, until the device reports the erase done or the time-out has passed.
uint32_t PollEraseDone(uint32_t nodeId, uint32_t sectorAddress, uint32_t timeoutSeconds,
                       PollRecord& poll) {
    CheckTimeout(0);
    bool timedOut = CheckTimeout(timeoutSeconds);
    while (!timedOut) {
        uint32_t value = 0;
        if (ReadQuadlet(nodeId, REGISTER_OFFSET_HIGH, FLASH_ERASE_CTRL, &value) != LORIC_OK)
            return ReportFailure(LORIC_ERR_QUADLET_READ, FLASH_ERASE_CTRL);
        ++poll.reads;
        poll.lastValue = value;
        if ((value & ERASE_DONE) != 0) return LORIC_OK;
        timedOut = CheckTimeout(timeoutSeconds);
        if (!timedOut) platform::SleepMilliseconds(kErasePollIntervalMs);
    }
    return ReportFailure(LORIC_ERR_ERASE_TIMEOUT, sectorAddress);
}

}  // namespace

namespace loric {

uint32_t FlashPortEraseSector(const FLASH_DEVICE* /*device*/, uint32_t sectorAddress) {
    TraceEnter({TRACE_INTERNAL, "FlashPortEraseSector"});
    const uint32_t status = IfApiOpen([&]() -> uint32_t {
        if (!g_api.link->EraseSector(sectorAddress)) {
            const uint32_t error = platform::GetLastErrorCode();
            return ReportFailure(LORIC_ERR_DRIVER_INTERNAL, error);
        }
        return LORIC_OK;
    });
    Trace(TRACE_INTERNAL, "Exit FlashPortEraseSector = %d\n", status);
    return status;
}

}  // namespace loric

extern "C" LORIC_EXPORT uint32_t LORIC_CALL EraseFlashSector(uint32_t nodeId, FLASH_DEVICE* device,
                                                             uint32_t sectorAddress,
                                                             uint32_t useFlashPort) {
    Trace(TRACE_API, "Enter EraseFlashSector %.8X\n", sectorAddress);
    const uint32_t node = nodeId & 0xFFFF;
    PollRecord poll{0, 0};
    // The exit line shows what the device method's poll saw.
    const uint32_t status = IfApiOpen([&]() -> uint32_t {
        if (useFlashPort != 0) {
            SetTargetNode(node);
            return FlashPortEraseSector(device, sectorAddress);
        }
        if (device == nullptr) return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
        const uint32_t timeout =
            sectorAddress == ERASE_ALL ? kChipEraseTimeoutSeconds : kSectorEraseTimeoutSeconds;
        // A refused start write has been reported by WriteQuadlet itself.
        const uint32_t started =
            WriteQuadlet(node, REGISTER_OFFSET_HIGH, FLASH_ERASE_CTRL, sectorAddress);
        if (started != LORIC_OK) return started;
        if (!IsInternalFlash(*device)) return PollEraseDone(node, sectorAddress, timeout, poll);
        WaitSeconds(1);  // the internal flash gives no completion bit
        return LORIC_OK;
    });
    Trace(TRACE_API, "Exit EraseFlashSector (ret %d - read %.8X - count %d)\n", status,
          poll.lastValue, poll.reads);
    return status;
}
