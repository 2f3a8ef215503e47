// The tool's JSON description, read as `loric config generate` reads it. Whatever the input,
// only a ToolError may come out; a description it accepts must come back unchanged through
// DescribeConfig.
#include <cstdlib>
#include <cstring>

#include "config_json.h"
#include "errors.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const loric::fuzz::WorkFolder folder;
    loric::fuzz::WriteFile("description.json", data, size);
    try {
        const CONFIG_FILE_INFO info =
            tool::ParseConfigDescription(tool::LoadDescriptionFile("description.json"));
        tool::DescriptionNotes(info);
        const CONFIG_FILE_INFO again =
            tool::ParseConfigDescription(nlohmann::json::parse(tool::DescribeConfig(info).dump()));
        if (std::memcmp(&info, &again, sizeof info) != 0) abort();
    } catch (const tool::ToolError&) {
    }
    return 0;
}
