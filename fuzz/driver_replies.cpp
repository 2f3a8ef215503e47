// Driver replies: every request of the host's jobs is answered from the input: a kind byte
// (failure with an error code, or success with the bytes-returned count taken from the input
// or not), then the output bytes; when the input is used up the driver hangs up.
#include "harness.h"
#include "support/request_recorder.h"

using loric::test::RecordedRequest;
using loric::test::ScriptedReply;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const loric::fuzz::WorkFolder folder;
    static loric::test::RequestRecorder driver;
    loric::fuzz::Input input(data, size);
    driver.SetHandler([&input](const RecordedRequest& request) -> std::optional<ScriptedReply> {
        if (input.Empty()) return ScriptedReply::Disconnect();
        const uint8_t kind = input.Byte();
        if (kind < 0x20) return ScriptedReply::Failure(kind);
        ScriptedReply reply;
        if (kind >= 0xC0) reply.bytesReturned = input.Byte();
        reply.output = input.Bytes(request.outLength);
        return reply;
    });
    if (OpenLORIC(0) == LORIC_OK) loric::fuzz::RunDeviceJobs();
    CloseLORIC();
    driver.SetHandler(nullptr);
    driver.ClearRequests();
    return 0;
}
