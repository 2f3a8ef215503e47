#include "select.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "device_facts.h"
#include "errors.h"
#include "exit_codes.h"
#include "record.h"
#include "session.h"
#include "text.h"

namespace tool {
namespace {

constexpr uint32_t kMaxNodes = 64;

uint16_t NodeIdOf(const NODE_INFO& record) {
    return static_cast<uint16_t>((record.busNumber << 6) | (record.nodeNumber & 0x3F));
}

std::string StampOf(uint16_t node) {
    char time[64] = {};
    char date[64] = {};
    if (DownloadTimestamp(node, time, date) != 0) return {};
    return std::string(time) + " " + date;
}

// "0xFFC0 (0x00C0DE0000010203)" or "0xFFC2 (blank)": a device as a message lists it.
std::string Listing(const std::vector<BusDevice>& devices) {
    std::string text;
    for (const BusDevice& device : devices) {
        text += (text.empty() ? "" : ", ") + NodeText(device.location.node) + " (" +
                (device.eui64 ? Eui64Text(*device.eui64) : StateName(device.location.state)) + ")";
    }
    return text.empty() ? "none" : text;
}

// `wanted` as upper-case hex digits without "0x" and separators; "" when it is not hex.
std::string HexDigits(const std::string& wanted) {
    std::string text = wanted;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = text.substr(2);
    std::string digits;
    for (char c : text) {
        if (c == '-' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return digits.size() <= 16 ? digits : std::string();
}

}  // namespace

const char* StateName(DeviceState state) {
    switch (state) {
    case DeviceState::Firmware: return "running";
    case DeviceState::Loader: return "loader";
    case DeviceState::FlashPort: return "blank";
    case DeviceState::Upload:
    case DeviceState::LoaderUpload: return "upload";
    }
    return "";
}

std::vector<BusDevice> ScanBus(bool stamps) {
    uint32_t count = 0;
    NODE_INFO records[kMaxNodes] = {};
    Check(GetNodeInfo(&count, records, sizeof records), "reading the node list");
    if (count > kMaxNodes) count = kMaxNodes;
    std::vector<BusDevice> devices;
    uint32_t listed = 0;  // bit per node number, of the local bus
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t node = NodeIdOf(records[i]);
        BusDevice device{
            DescribeNode(node, false), (uint64_t{records[i].idHigh} << 32) | records[i].idLow, {}};
        if (stamps && device.location.state == DeviceState::Firmware) device.stamp = StampOf(node);
        devices.push_back(device);
        listed |= (node & 0xFFC0) == 0xFFC0 && (node & 0x3F) < 32 ? 1u << (node & 0x3F) : 0u;
    }
    // The nodes the link does not list: the host's own (or the adapter's) and one more for each
    // unlisted board; a few beyond the listed ones cover them.
    const uint32_t last = count + 3 < 31 ? count + 3 : 31;
    for (uint32_t number = 0; number <= last; ++number) {
        if ((listed & (1u << number)) != 0) continue;
        const uint16_t node = static_cast<uint16_t>(0xFFC0 | number);
        if (WriteQuadlet(node, kRegisterHigh, kFlashPortCtrl, 0) != 0) continue;
        // A node that runs firmware is listed: one that answers as such here is another name of
        // a listed board (the serial link sends what is meant for the adapter's own node to
        // 0xFFC1).
        uint32_t value = 0;
        const bool running = ReadQuadlet(node, kRegisterHigh, kFlashUploadCtrl, &value) == 0;
        if (running && value != kUploaderReady) continue;
        BusDevice device{
            running ? DescribeNode(node, true) : DeviceLocation{node, true, DeviceState::FlashPort},
            std::nullopt,
            {}};
        if (stamps && device.location.state == DeviceState::Loader) device.stamp = StampOf(node);
        devices.push_back(device);
    }
    std::stable_sort(devices.begin(), devices.end(), [](const BusDevice& a, const BusDevice& b) {
        return a.location.node < b.location.node;
    });
    return devices;
}

const BusDevice& ChooseById(const std::vector<BusDevice>& devices, const std::string& wanted) {
    const std::string digits = HexDigits(wanted);
    if (digits.empty()) {
        throw ToolError(kExitUsage, "--device: '" + wanted + "' is not an EUI-64",
                        "Give the board's EUI-64 in hex, or its first digits (`loric nodes` "
                        "lists them).");
    }
    std::vector<const BusDevice*> matches;
    for (const BusDevice& device : devices) {
        if (device.eui64 && Eui64Text(*device.eui64).substr(2, digits.size()) == digits)
            matches.push_back(&device);
    }
    if (matches.size() == 1) return *matches[0];
    if (matches.empty()) {
        throw ToolError(LORIC_ERR_DEVICE_NOT_FOUND,
                        "no board with an EUI-64 beginning " + digits +
                            " is on the bus; the devices are: " + Listing(devices),
                        "A blank board, or one that runs its bootstrap loader, has no EUI-64: "
                        "choose it with --node.");
    }
    std::vector<BusDevice> candidates;
    for (const BusDevice* device : matches) candidates.push_back(*device);
    throw ToolError(LORIC_ERR_DEVICE_NOT_FOUND,
                    std::to_string(matches.size()) + " boards have an EUI-64 beginning " + digits +
                        ": " + Listing(candidates),
                    "Give more digits of the one you mean.");
}

const BusDevice& ChooseByNode(const std::vector<BusDevice>& devices, uint16_t node) {
    for (const BusDevice& device : devices)
        if (device.location.node == node) return device;
    throw ToolError(
        LORIC_ERR_DEVICE_NOT_FOUND,
        "there is no device at node " + NodeText(node) + "; the devices are: " + Listing(devices),
        KernelStackChosen() ? KernelStackHint()
                            : "Give one of those with --node, or a running board's "
                              "EUI-64 with --device.");
}

std::optional<uint16_t> FindById(uint64_t eui64) {
    uint32_t count = 0;
    NODE_INFO records[kMaxNodes] = {};
    if (GetNodeInfo(&count, records, sizeof records) != 0) return std::nullopt;
    std::vector<uint16_t> nodes;
    for (uint32_t i = 0; i < count && i < kMaxNodes; ++i) {
        if (((uint64_t{records[i].idHigh} << 32) | records[i].idLow) == eui64)
            nodes.push_back(NodeIdOf(records[i]));
    }
    if (nodes.size() > 1) {
        throw ToolError(LORIC_ERR_DEVICE_NOT_FOUND,
                        "the boards at nodes " + NodeText(nodes[0]) + " and " + NodeText(nodes[1]) +
                            " have the same EUI-64 " + Eui64Text(eui64) +
                            ": the tool cannot tell which is this job's",
                        "Give each board its own id; `loric nodes` lists them.");
    }
    if (nodes.empty()) return std::nullopt;
    return nodes[0];
}

std::optional<uint16_t> WaitForId(uint64_t eui64, int attempts) {
    for (int attempt = 1;; ++attempt) {
        if (auto node = FindById(eui64)) return node;
        if (attempt >= attempts) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

}  // namespace tool
