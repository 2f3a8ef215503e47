#include "tqsim/firewire_core.h"

#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "tqsim/device.h"
#include "tqsim/images.h"

namespace tqsim {

namespace {

uint32_t RcodeOfSimError(uint32_t error) {
    switch (error) {
    case 0: return RCODE_COMPLETE;
    case 121: return RCODE_NO_ACK;
    case 170: return RCODE_BUSY;
    case 1460: return RCODE_CANCELLED;
    case 1117: return RCODE_ADDRESS_ERROR;
    default: return RCODE_SEND_ERROR;
    }
}

std::vector<uint8_t> Bytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(p, p + size);
}

}  // namespace

bool FirewireCore::DirectMemory::Get(void* argument, size_t field, void* out, size_t size) {
    uint64_t pointer;
    std::memcpy(&pointer, static_cast<uint8_t*>(argument) + field, sizeof pointer);
    if (pointer == 0) return false;
    std::memcpy(out, reinterpret_cast<const void*>(static_cast<uintptr_t>(pointer)), size);
    return true;
}

bool FirewireCore::DirectMemory::Put(void* argument, size_t field, const void* in, size_t size) {
    uint64_t pointer;
    std::memcpy(&pointer, static_cast<uint8_t*>(argument) + field, sizeof pointer);
    if (pointer == 0) return false;
    std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(pointer)), in, size);
    return true;
}

FirewireCore::FirewireCore(System& sim, std::string local)
    : sim_(sim), localName_(std::move(local)) {}

std::vector<uint32_t> FirewireCore::RomOf(BusNode* node, bool local) const {
    if (auto* device = dynamic_cast<Tq6410Device*>(node)) return device->ConfigRom();
    if (local) return {0x04040000u, 0x31333934u, 0x00FF5002u, node->IdHigh(), node->IdLow()};
    return {};
}

std::string FirewireCore::FreeName() const {
    for (int n = 0;; ++n) {
        const std::string name = "fw" + std::to_string(n);
        bool taken = false;
        for (const auto& device : devices_) taken = taken || device->name == name;
        if (!taken) return name;
    }
}

void FirewireCore::Sync() {
    std::vector<std::pair<std::string, bool>> changes;
    {
        auto lock = sim_.Lock();
        Bus& bus = sim_.bus();
        if (synced_ && bus.Generation() == generation_) return;
        synced_ = true;
        generation_ = bus.Generation();
        // Nodes that left or stopped presenting a ROM lose their files; the kernel reads the
        // ROMs of the others again.
        for (size_t i = devices_.size(); i-- > 0;) {
            Device& device = *devices_[i];
            const bool present =
                bus.Present(device.node) && (device.local || device.node->Listed());
            if (present) {
                device.rom = RomOf(device.node, device.local);
                continue;
            }
            device.gone = true;
            changes.emplace_back(device.name, false);
            devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        for (const auto& entry : bus.AllNodes()) {
            const bool local = entry.node->Name() == localName_;
            if (!local && !entry.node->Listed()) continue;
            const bool known =
                std::any_of(devices_.begin(), devices_.end(),
                            [&](const auto& device) { return device->node == entry.node; });
            if (known) continue;
            auto device =
                std::make_shared<Device>(Device{FreeName(), entry.node, local, false, {}});
            device->rom = RomOf(entry.node, local);
            devices_.push_back(device);
            changes.emplace_back(device->name, true);
        }
    }
    for (auto& [fd, file] : files_)
        if (!file.device->gone && file.wantsResets) QueueBusReset(file);
    char line[96];
    std::snprintf(line, sizeof line, "bus reset: generation %u", generation_);
    log_.push_back(line);
    for (const auto& [name, added] : changes) {
        log_.push_back(name + (added ? " appears" : " goes"));
        if (listener_) listener_(name, added);
    }
}

std::vector<std::string> FirewireCore::Names() {
    Sync();
    std::vector<std::string> names;
    for (const auto& device : devices_) names.push_back(device->name);
    return names;
}

int FirewireCore::Open(const std::string& path) {
    Sync();
    const std::string name = path.substr(path.rfind('/') + 1);
    for (const auto& device : devices_) {
        if (device->name != name) continue;
        if (denyAccess_) return -EACCES;
        const int fd = nextFd_++;
        files_[fd] = File{device, false, {}};
        return fd;
    }
    return -ENOENT;
}

int FirewireCore::Close(int fd) { return files_.erase(fd) != 0 ? 0 : -EBADF; }

long FirewireCore::Read(int fd, void* buffer, size_t size) {
    auto it = files_.find(fd);
    if (it == files_.end()) return -EBADF;
    File& file = it->second;
    if (file.events.empty()) return file.device->gone ? -ENODEV : -EAGAIN;
    const std::vector<uint8_t> event = std::move(file.events.front());
    file.events.pop_front();
    const size_t length = std::min(size, event.size());
    if (length != 0) std::memcpy(buffer, event.data(), length);
    return static_cast<long>(length);
}

void FirewireCore::QueueBusReset(File& file) {
    fw_cdev_event_bus_reset event{};
    event.type = FW_CDEV_EVENT_BUS_RESET;
    auto lock = sim_.Lock();
    Bus& bus = sim_.bus();
    event.node_id = bus.NodeIdOf(file.device->node);
    for (const auto& device : devices_)
        if (device->local) event.local_node_id = bus.NodeIdOf(device->node);
    for (const auto& entry : bus.AllNodes())
        event.root_node_id = std::max<uint32_t>(event.root_node_id, entry.nodeId);
    event.bm_node_id = event.irm_node_id = event.root_node_id;
    event.generation = generation_;
    file.events.push_back(Bytes(&event, sizeof event));
}

int FirewireCore::Ioctl(int fd, unsigned long request, void* argument, Memory& memory) {
    Sync();
    auto it = files_.find(fd);
    if (it == files_.end()) return -EBADF;
    File& file = it->second;
    if (file.device->gone) return -ENODEV;
    switch (request) {
    case FW_CDEV_IOC_GET_INFO: return GetInfo(file, argument, memory);
    case FW_CDEV_IOC_SEND_REQUEST: return SendRequest(file, argument, memory);
    case FW_CDEV_IOC_INITIATE_BUS_RESET: return BusReset(file, argument);
    default: return -ENOTTY;
    }
}

int FirewireCore::GetInfo(File& file, void* argument, Memory& memory) {
    fw_cdev_get_info info;
    std::memcpy(&info, argument, sizeof info);
    if (info.version < 1) return -EINVAL;
    const std::vector<uint32_t>& rom = file.device->rom;
    const size_t romBytes = rom.size() * 4;
    if (info.rom != 0 && info.rom_length != 0 &&
        !memory.Put(argument, offsetof(fw_cdev_get_info, rom), rom.data(),
                    std::min<size_t>(info.rom_length, romBytes)))
        return -EFAULT;
    info.rom_length = static_cast<uint32_t>(romBytes);
    if (info.bus_reset != 0) {
        File snapshot{file.device, false, {}};
        QueueBusReset(snapshot);
        fw_cdev_event_bus_reset event;
        std::memcpy(&event, snapshot.events.front().data(), sizeof event);
        event.closure = info.bus_reset_closure;
        if (!memory.Put(argument, offsetof(fw_cdev_get_info, bus_reset), &event, sizeof event))
            return -EFAULT;
    }
    info.card = 0;
    file.wantsResets = true;
    std::memcpy(argument, &info, sizeof info);
    log_.push_back(file.device->name + " get info gen " + std::to_string(generation_));
    return 0;
}

int FirewireCore::SendRequest(File& file, void* argument, Memory& memory) {
    fw_cdev_send_request request;
    std::memcpy(&request, argument, sizeof request);
    const bool write =
        request.tcode == TCODE_WRITE_QUADLET_REQUEST || request.tcode == TCODE_WRITE_BLOCK_REQUEST;
    const bool quadlet =
        request.tcode == TCODE_WRITE_QUADLET_REQUEST || request.tcode == TCODE_READ_QUADLET_REQUEST;
    if (!write && request.tcode != TCODE_READ_QUADLET_REQUEST &&
        request.tcode != TCODE_READ_BLOCK_REQUEST)
        return -EINVAL;
    if ((quadlet && request.length != 4) || request.length == 0 || request.length % 4 != 0 ||
        request.length > 4096)
        return -EINVAL;
    std::vector<uint8_t> data(request.length, 0);
    if (write &&
        !memory.Get(argument, offsetof(fw_cdev_send_request, data), data.data(), data.size()))
        return -EFAULT;

    if (countdown_ > 0 && --countdown_ == 0) {
        beforeRequest_();
        Sync();
        if (file.device->gone) return -ENODEV;
    }

    uint32_t rcode = RCODE_COMPLETE;
    const uint64_t mapStart = 0xFFFFF0001000ull, mapEnd = 0xFFFFF0001400ull;
    if (request.generation != generation_) {
        rcode = RCODE_GENERATION;
    } else if (forcedCount_ > 0) {
        --forcedCount_;
        rcode = forcedRcode_;
    } else if (file.device->local && request.offset >= mapStart &&
               request.offset + request.length <= mapEnd) {
        // The host's own topology map, which the kernel answers itself.
        if (write) {
            rcode = RCODE_TYPE_ERROR;
        } else {
            const std::vector<uint32_t> map = TopologyMap();
            for (uint32_t i = 0; i < request.length; i += 4) {
                const size_t index = (request.offset - mapStart + i) / 4;
                const uint32_t value = index < map.size() ? map[index] : 0;
                data[i] = static_cast<uint8_t>(value >> 24);
                data[i + 1] = static_cast<uint8_t>(value >> 16);
                data[i + 2] = static_cast<uint8_t>(value >> 8);
                data[i + 3] = static_cast<uint8_t>(value);
            }
        }
    } else {
        auto lock = sim_.Lock();
        Bus& bus = sim_.bus();
        const uint16_t nodeId = bus.NodeIdOf(file.device->node);
        const auto high = static_cast<uint16_t>(request.offset >> 32);
        const auto low = static_cast<uint32_t>(request.offset);
        for (uint32_t i = 0; i < request.length && rcode == RCODE_COMPLETE; i += 4) {
            uint32_t value = 0, error;
            if (write) {
                value = (uint32_t{data[i]} << 24) | (uint32_t{data[i + 1]} << 16) |
                        (uint32_t{data[i + 2]} << 8) | data[i + 3];
                error = bus.Write(nodeId, high, low + i, value);
            } else {
                error = bus.Read(nodeId, high, low + i, &value);
                data[i] = static_cast<uint8_t>(value >> 24);
                data[i + 1] = static_cast<uint8_t>(value >> 16);
                data[i + 2] = static_cast<uint8_t>(value >> 8);
                data[i + 3] = static_cast<uint8_t>(value);
            }
            rcode = RcodeOfSimError(error);
        }
    }

    char value[16] = "";
    if (write && request.length == 4)
        std::snprintf(value, sizeof value, " = %02X%02X%02X%02X", data[0], data[1], data[2],
                      data[3]);
    char line[128];
    std::snprintf(
        line, sizeof line, "%s %s %04x.%08x x%u gen %u%s: rcode %u", file.device->name.c_str(),
        write ? "write" : "read", static_cast<unsigned>(request.offset >> 32),
        static_cast<unsigned>(request.offset), request.length, request.generation, value, rcode);
    log_.push_back(line);

    fw_cdev_event_response response{};
    response.closure = request.closure;
    response.type = FW_CDEV_EVENT_RESPONSE;
    response.rcode = rcode;
    response.length = (!write && rcode == RCODE_COMPLETE) ? request.length : 0;
    std::vector<uint8_t> event = Bytes(&response, sizeof response);
    if (response.length != 0) event.insert(event.end(), data.begin(), data.end());
    std::vector<std::vector<uint8_t>> events = {std::move(event)};
    if (editResponse_) {
        auto edit = std::move(editResponse_);
        editResponse_ = nullptr;
        edit(events);
    }
    for (auto& queued : events) file.events.push_back(std::move(queued));
    // A write may have reset the device or the bus: later calls see the new generation.
    Sync();
    return 0;
}

std::vector<uint32_t> FirewireCore::TopologyMap() {
    auto lock = sim_.Lock();
    const std::vector<Bus::Entry> nodes = sim_.bus().AllNodes();
    // Length and CRC, generation, node and self-ID counts, then one self-ID packet #0 a node:
    // its phy ID, link active, gap count 63, the last node the root and contender.
    std::vector<uint32_t> map = {0, generation_,
                                 static_cast<uint32_t>(nodes.size() << 16 | nodes.size())};
    for (size_t i = 0; i < nodes.size(); ++i) {
        uint32_t packet =
            0x80000000u | (uint32_t{nodes[i].nodeId & 0x3Fu} << 24) | (1u << 22) | (0x3Fu << 16);
        if (i + 1 == nodes.size()) packet |= 1u << 11;
        map.push_back(packet);
    }
    map[0] = static_cast<uint32_t>((map.size() - 1) << 16) | image::Crc16(&map[1], map.size() - 1);
    return map;
}

int FirewireCore::BusReset(File& file, void* argument) {
    fw_cdev_initiate_bus_reset reset;
    std::memcpy(&reset, argument, sizeof reset);
    if (reset.type != FW_CDEV_LONG_RESET && reset.type != FW_CDEV_SHORT_RESET) return -EINVAL;
    log_.push_back(file.device->name + (reset.type == FW_CDEV_SHORT_RESET ? " short" : " long") +
                   " bus reset");
    sim_.BusReset();
    Sync();
    return 0;
}

}  // namespace tqsim
