// Serial adapter replies: every frame the library sends over the line is answered with the
// next piece of the input (a length byte, then that many bytes); when the input is used up
// the adapter refuses every frame.
#include "harness.h"
#include "support/scripted_adapter.h"

using loric::test::ScriptedAdapter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const loric::fuzz::WorkFolder folder;
    ScriptedAdapter adapter;
    loric::fuzz::Input input(data, size);
    adapter.SetHandler([&input](const loric::test::Bytes&) {
        if (input.Empty()) return ScriptedAdapter::Reply{{{0xAA, 0x02}, 0}};
        return ScriptedAdapter::Reply{{input.Bytes(input.Byte()), 0}};
    });
    if (OpenComAPI(adapter.Path().c_str(), 0) == LORIC_OK) loric::fuzz::RunDeviceJobs();
    CloseLORIC();
    return 0;
}
