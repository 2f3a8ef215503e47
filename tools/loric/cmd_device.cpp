// Commands that look at the bus and the flash data file: nodes, read, write, chips. They work on
// the bus or on one register, not on a device's flash: their Job only keeps the library open.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

#include "arguments.h"
#include "commands.h"
#include "device_facts.h"
#include "errors.h"
#include "record.h"
#include "select.h"
#include "session.h"
#include "sim_host.h"

namespace tool {
namespace {

struct RegisterName {
    const char* name;
    uint32_t offset;
};
constexpr RegisterName kRegisters[] = {
    {"FLASH_PORT_CTRL", kFlashPortCtrl},
    {"FLASH_ERASE_CTRL", kFlashEraseCtrl},
    {"FLASH_UPLOAD_CHECKSUM", kFlashUploadChecksum},
    {"FLASH_UPLOAD_CTRL", kFlashUploadCtrl},
    {"CSR_MODE_CTRL", kCsrModeCtrl},
    {"FLASH_READ_CTRL", kFlashReadCtrl},
    {"CSR_UPLOAD_COMMAND_SET_CTRL", kCsrUploadCommandSetCtrl},
    {"CONFIG_ROM", kConfigRom},
};

bool SameName(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
    }
    return i == a.size() && b[i] == '\0';
}

void ParseRegister(const std::string& text, uint32_t& high, uint32_t& low) {
    for (const auto& reg : kRegisters) {
        if (SameName(text, reg.name)) {
            high = kRegisterHigh;
            low = reg.offset;
            return;
        }
    }
    uint64_t address = ParseNumber(text, "register");
    if (address > 0xFFFFFFFFFFFFull)
        throw ToolError(kExitUsage, "register: an address has 48 bits at most");
    if (address > 0xFFFFFFFFull) high = static_cast<uint32_t>(address >> 32);
    low = static_cast<uint32_t>(address);
}

// The node of a register access: --node, the board --device names, or the device found (and
// whether it is blank).
uint16_t RegisterNode(Job& job, bool* blank) {
    *blank = false;
    if (auto node = ParseNode(job.globals().node)) return *node;
    DeviceLocation device =
        job.globals().device.empty() ? FindDevice(false, std::nullopt) : job.FindDevice();
    *blank = device.state == DeviceState::FlashPort;
    return device.node;
}

// Opens the library for a job that only reads files: the target if it opens, otherwise a
// simulated device of its own when this build has one.
std::unique_ptr<Session> FileSession(const Globals& globals) {
    try {
        return std::make_unique<Session>(globals.target);
    } catch (const ToolError&) {
        if (globals.target.sim || !globals.target.comPort.empty() || !SimHost::Available()) throw;
    }
    TargetOptions options = globals.target;
    options.sim = true;
    options.simEphemeral = true;
    return std::make_unique<Session>(options);
}

// Through the kernel's 1394 stack a node has a file only once the kernel has read its
// configuration ROM, so a blank board, or one that runs its bootstrap loader, is not listed. The
// host's own topology map (its self-ID packets, at 0xFFFFF0001000) still shows it: every node
// there that is neither listed nor the host is named, with the way to reach it.
void ReportNodesWithoutFile(const NODE_INFO* records, uint32_t count) {
    constexpr uint32_t kTopologyMap = 0xF0001000;
    auto listed = [&](uint32_t phy) {
        for (uint32_t i = 0; i < count && i < 64; ++i)
            if ((records[i].nodeNumber & 0x3F) == phy) return true;
        return false;
    };
    for (uint32_t phy = 0; phy < 63; ++phy) {
        if (listed(phy)) continue;
        const uint16_t host = static_cast<uint16_t>(0xFFC0 | phy);
        uint32_t sizes = 0;  // only the host's own node answers a read there
        if (ReadQuadlet(host, kRegisterHigh, kTopologyMap + 8, &sizes) != 0) continue;
        const uint32_t selfIds = sizes & 0xFFFF;
        for (uint32_t i = 0; i < selfIds && i < 64; ++i) {
            uint32_t packet = 0;
            if (ReadQuadlet(host, kRegisterHigh, kTopologyMap + 12 + 4 * i, &packet) != 0) break;
            const uint32_t id = (packet >> 24) & 0x3F;
            const bool extended = (packet & 0x00800000u) != 0;  // a continuation of the node before
            if (extended || id == phy || listed(id)) continue;
            std::printf(
                "Node %s has no configuration ROM the kernel could read (a blank board, or one "
                "that "
                "runs its bootstrap loader): reach it through a serial adapter (--com PORT).\n",
                NodeText(static_cast<uint16_t>(0xFFC0 | id)).c_str());
        }
        return;
    }
}

// A chip as --json gives it.
nlohmann::json ChipJson(const FLASH_DEVICE& chip) {
    return {{"name", chip.deviceName},
            {"group", chip.groupName},
            {"size", chip.sizeText},
            {"bus_width", chip.busWidth},
            {"sector_count", chip.sectorCount},
            {"config_address", Hex(chip.configByteAddress, 6)},
            {"firmware_space", chip.firmwareSpace}};
}

}  // namespace

int CmdNodes(const Globals& globals, const NodesOptions& options) {
    Job job(globals);
    const bool kernel = globals.target.comPort.empty() && KernelStackChosen();
    std::vector<BusDevice> devices = ScanBus(true);
    if (options.blankOnly) {
        devices.erase(std::remove_if(devices.begin(), devices.end(),
                                     [](const BusDevice& d) { return d.eui64.has_value(); }),
                      devices.end());
    }
    // One device or none: found as a job finds it (with none, the failure says what is on the
    // bus and what to try).
    if (devices.size() <= 1) {
        const DeviceLocation found = FindDevice(options.blankOnly, std::nullopt);
        if (devices.empty() || devices[0].location.node != found.node) devices = {{found, {}, {}}};
    }
    Record().result()["devices"] = nlohmann::json::array();
    std::printf("%-8s %-8s %-18s %s\n", "node", "state", "EUI-64", "time stamp");
    for (const BusDevice& device : devices) {
        const std::string id = device.eui64 ? Eui64Text(*device.eui64) : "";
        std::printf("%-8s %-8s %-18s %s\n", NodeText(device.location.node).c_str(),
                    StateName(device.location.state), id.empty() ? "-" : id.c_str(),
                    device.stamp.empty() ? "-" : device.stamp.c_str());
        Record().result()["devices"].push_back(
            {{"node", NodeText(device.location.node)},
             {"state", StateName(device.location.state)},
             {"eui64", id.empty() ? nlohmann::json() : nlohmann::json(id)},
             {"timestamp",
              device.stamp.empty() ? nlohmann::json() : nlohmann::json(device.stamp)}});
    }
    for (const BusDevice& device : devices) {
        if (!InUploadMode(device.location.state)) continue;
        std::printf("Node %s is %s.\n  %s\n", NodeText(device.location.node).c_str(),
                    StateText(device.location.state).c_str(), ResetHint().c_str());
    }
    if (devices.size() > 1) {
        std::printf(
            "%zu devices on the bus: a job chooses one with --device EUI-64 (a board that runs "
            "its firmware) or --node ID (a blank board, or one that runs its bootstrap loader).\n",
            devices.size());
    }
    if (!options.blankOnly && kernel) {
        uint32_t count = 0;
        NODE_INFO records[64] = {};
        if (GetNodeInfo(&count, records, sizeof records) == 0)
            ReportNodesWithoutFile(records, count);
        Say(globals,
            "(The bus was read through the kernel's 1394 stack, the /dev/fwN files; --link socket "
            "uses the driver socket instead.)");
    }
    return kExitOk;
}

int CmdRead(const Globals& globals, const ReadOptions& options) {
    const std::string& reg = options.reg;
    const int count = options.count;
    uint32_t high = kRegisterHigh, low = 0;
    ParseRegister(reg, high, low);
    Job job(globals);
    bool blank = false;
    uint16_t node = RegisterNode(job, &blank);
    for (int i = 0; i < count; ++i) {
        uint32_t value = 0;
        uint32_t address = low + (reg == "FLASH_READ_CTRL" ? 0u : 4u * i);
        uint32_t status = ReadQuadlet(node, high, address, &value);
        if (status != 0 && blank) {
            throw BlankDeviceError({node, true, DeviceState::FlashPort}, static_cast<int>(status),
                                   "it cannot answer register reads");
        }
        Check(status, "reading " + Hex(high, 4) + "_" + Hex(address).substr(2) + " of node " +
                          NodeText(node));
        Record().result()["node"] = NodeText(node);
        Record().result()["quadlets"].push_back(
            {{"address", Hex(high, 4) + "_" + Hex(address).substr(2)}, {"value", Hex(value)}});
        if (count == 1) {
            std::printf("%s\n", Hex(value).c_str());
        } else {
            std::printf("%04X_%08X  %s\n", high, address, Hex(value).c_str());
        }
    }
    return kExitOk;
}

int CmdWrite(const Globals& globals, const WriteOptions& options) {
    uint32_t high = kRegisterHigh, low = 0;
    ParseRegister(options.reg, high, low);
    uint32_t value = ParseU32(options.value, "value");
    Job job(globals);
    bool blank = false;
    uint16_t node = RegisterNode(job, &blank);
    uint32_t status = WriteQuadlet(node, high, low, value);
    if (status != 0 && blank) {
        throw BlankDeviceError({node, true, DeviceState::FlashPort}, static_cast<int>(status),
                               "it takes writes of FLASH_PORT_CTRL only");
    }
    Check(status,
          "writing " + Hex(high, 4) + "_" + Hex(low).substr(2) + " of node " + NodeText(node));
    Say(globals, "Wrote " + Hex(value) + " to " + Hex(high, 4) + "_" + Hex(low).substr(2) +
                     " of node " + NodeText(node) + ".");
    Record().result() = {{"node", NodeText(node)},
                         {"address", Hex(high, 4) + "_" + Hex(low).substr(2)},
                         {"value", Hex(value)}};
    return kExitOk;
}

int CmdChips(const Globals& globals, const ChipsOptions& options) {
    auto session = FileSession(globals);
    ChipTable table = LoadChipTable(FlashDataFile(globals));
    if (!options.name.empty()) {
        const FLASH_DEVICE& chip = FindChip(table, options.name);
        std::printf(
            "%s (%s): %s, %u-bit bus, command set %d, %d us per byte through the flash port\n",
            chip.deviceName, chip.groupName, chip.sizeText, chip.busWidth,
            chip.commandSetIndex & 0xFF, chip.byteProgramDelay);
        std::printf(
            "configuration sector at word 0x%06X (byte 0x%06X), %u bytes for firmware below it\n",
            chip.configSector ? chip.configSector->start : 0, chip.configByteAddress,
            chip.firmwareSpace);
        std::printf("%-4s %-10s %-10s %-8s %s\n", "#", "start", "end", "words", "bytes");
        Record().result() = ChipJson(chip);
        for (uint32_t i = 0; i < chip.sectorCount && i < LORIC_MAX_SECTORS; ++i) {
            const FLASH_SECTOR& s = chip.sectors[i];
            Record().result()["sectors"].push_back({{"start", Hex(s.start, 6)},
                                                    {"end", Hex(s.end, 6)},
                                                    {"words", s.size},
                                                    {"bytes", s.size * BytesPerWord(chip)},
                                                    {"configuration", &s == chip.configSector}});
            std::printf("%-4u %-10s %-10s %-8u %u%s\n", i, Hex(s.start, 6).c_str(),
                        Hex(s.end, 6).c_str(), s.size, s.size * BytesPerWord(chip),
                        &s == chip.configSector ? "  configuration" : "");
        }
        return kExitOk;
    }
    std::printf("%s: %zu chips\n", table.file.c_str(), table.devices.size());
    std::printf("%-16s %-24s %-22s %-4s %-8s %-10s %s\n", "name", "group", "size", "bus", "sectors",
                "config at", "firmware space");
    Record().result() = {{"file", table.file}, {"chips", nlohmann::json::array()}};
    for (const auto& chip : table.devices) {
        Record().result()["chips"].push_back(ChipJson(chip));
        std::printf("%-16s %-24s %-22s %-4u %-8u %-10s %u\n", chip.deviceName, chip.groupName,
                    chip.sizeText, chip.busWidth, chip.sectorCount,
                    Hex(chip.configByteAddress, 6).c_str(), chip.firmwareSpace);
    }
    return kExitOk;
}

}  // namespace tool
