#include "tqsim/system.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tqsim {

System::System(const SystemOptions& options) : options_(options) {
    if (options_.clock) {
        clock_ = options_.clock;
    } else {
        if (options_.time == TimeMode::Real)
            ownClock_ = std::make_unique<RealClock>();
        else
            ownClock_ = std::make_unique<InstantClock>();
        clock_ = ownClock_.get();
    }
    driver_ = std::make_unique<Driver>(bus_, *clock_);
    adapter_ = std::make_unique<SerialAdapter>(bus_, &mu_);
    adapter_->SetChipBusyProbe([this] {
        for (auto& u : devices_)
            if (u->chip->Busy()) return true;
        return false;
    });
    auto unit = std::make_unique<Unit>();
    unit->chip = std::make_unique<FlashChip>(options_.chip, clock_);
    unit->chip->SetTimings(options_.timings);
    unit->chip->SetBusyListener([this](const char* op, uint64_t us) { OnBusy(op, us); });
    unit->device = std::make_unique<Tq6410Device>("tq6410", bus_, *unit->chip, *clock_);
    unit->device->SetIdentity(options_.identity);
    unit->identity = options_.identity;
    unit->device->PowerOn();
    devices_.push_back(std::move(unit));
    if (options_.hostNode) {
        host_ = std::make_unique<PassiveNode>("host", 0x00000000, 0x00000001);
        bus_.Join(host_.get());
    }
}

System::~System() {
    StopSerialAdapter();
    StopDriverServer();
}

bool System::StartDriverServer(const std::string& socketPath, std::string* error) {
    StopDriverServer();
    server_ = std::make_unique<DriverServer>([this](uint32_t code, const std::vector<uint8_t>& in,
                                                    uint32_t outLength,
                                                    const std::vector<uint8_t>& data) {
        std::lock_guard<std::mutex> lock(mu_);
        return driver_->Handle(code, in, outLength, data);
    });
    if (!server_->Start(socketPath, error)) {
        server_.reset();
        return false;
    }
    return true;
}

void System::StopDriverServer() {
    if (server_) server_->Stop();
    server_.reset();
}

std::string System::StartSerialAdapter(const AdapterOptions& options, std::string* error) {
    StopSerialAdapter();
    {
        // A bench with the serial adapter has no 1394 controller in the PC.
        std::lock_guard<std::mutex> lock(mu_);
        if (host_) bus_.Leave(host_.get());
    }
    std::string path = adapter_->Start(options, error);  // takes the lock itself to join
    if (path.empty()) {
        std::lock_guard<std::mutex> lock(mu_);
        if (host_) bus_.Join(host_.get());
    }
    return path;
}

void System::StopSerialAdapter() {
    if (adapter_->TerminalPath().empty()) return;
    adapter_->Stop();
    std::lock_guard<std::mutex> lock(mu_);
    if (host_) bus_.Join(host_.get());
}

DriverReply System::DriverRequest(uint32_t code, const std::vector<uint8_t>& in, uint32_t outLength,
                                  const std::vector<uint8_t>& uploadData) {
    std::lock_guard<std::mutex> lock(mu_);
    return driver_->Handle(code, in, outLength, uploadData);
}

std::vector<uint8_t> System::AdapterFrame(const std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> lock(mu_);
    return adapter_->HandleFrame(frame);
}

std::vector<uint8_t> System::Flash(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_.at(device)->chip->Bytes();
}

void System::SetFlash(const std::vector<uint8_t>& bytes, size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    auto& b = devices_.at(device)->chip->Bytes();
    std::fill(b.begin(), b.end(), 0xFF);
    std::copy_n(bytes.begin(), std::min(bytes.size(), b.size()), b.begin());
}

void System::EraseFlash(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    auto& b = devices_.at(device)->chip->Bytes();
    std::fill(b.begin(), b.end(), 0xFF);
}

void System::WriteFlash(uint32_t byteAddress, const std::vector<uint8_t>& bytes, size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    auto& b = devices_.at(device)->chip->Bytes();
    for (size_t i = 0; i < bytes.size() && byteAddress + i < b.size(); ++i)
        b[byteAddress + i] = bytes[i];
}

bool System::InstallFirmware(const std::vector<uint8_t>& firmware,
                             const std::vector<uint8_t>& config, size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    FlashChip& chip = *devices_.at(device)->chip;
    const ChipGeometry& g = chip.Geometry();
    int cs = g.ConfigSector();
    if (cs < 0) return false;
    const uint32_t configByte = g.SectorStart(static_cast<size_t>(cs)) * g.BytesPerWord();
    if (firmware.size() > configByte || configByte + config.size() > g.TotalBytes()) return false;
    auto info = image::Inspect(firmware.data(), firmware.size());
    std::vector<uint8_t> fw = firmware;
    if (info && info->paramOffset && info->paramCount) {
        for (int i = 0; i < 4; ++i)
            fw[info->paramOffset + i] = static_cast<uint8_t>(configByte >> (8 * i));
    }
    auto& b = chip.Bytes();
    std::fill(b.begin(), b.end(), 0xFF);
    std::copy(fw.begin(), fw.end(), b.begin());
    std::copy(config.begin(), config.end(), b.begin() + configByte);
    return true;
}

ChipGeometry System::Chip(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_.at(device)->chip->Geometry();
}

DeviceMode System::Mode(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_.at(device)->device->Mode();
}

std::string System::BootNote(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_.at(device)->device->BootNote();
}

uint16_t System::DeviceNodeId(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_.at(device)->device->NodeId();
}

int System::IndexOf(const BusNode* node) const {
    for (size_t i = 0; i < devices_.size(); ++i)
        if (devices_[i]->device.get() == node) return static_cast<int>(i);
    return -1;
}

std::vector<NodeEntry> System::Nodes() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<NodeEntry> out;
    for (const auto& e : bus_.AllNodes())
        out.push_back(
            {e.nodeId, e.idHigh, e.idLow, e.node->Name(), e.node->Listed(), IndexOf(e.node)});
    return out;
}

std::vector<NodeEntry> System::NodeList() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<NodeEntry> out;
    for (const auto& e : bus_.ListedNodes())
        out.push_back({e.nodeId, e.idHigh, e.idLow, e.node->Name(), true, IndexOf(e.node)});
    return out;
}

int System::DeviceAt(uint16_t nodeId) {
    std::lock_guard<std::mutex> lock(mu_);
    return IndexOf(bus_.NodeAt(nodeId));
}

uint32_t System::Generation() {
    std::lock_guard<std::mutex> lock(mu_);
    return bus_.Generation();
}

void System::BusReset() {
    std::lock_guard<std::mutex> lock(mu_);
    bus_.Reset();
}

void System::ResetDevice(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!devices_.at(device)->plugged) return;  // no power, nothing to reset
    devices_.at(device)->device->Reset();
}

void System::PowerCycle(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!devices_.at(device)->plugged) return;
    devices_.at(device)->device->PowerOff();
    devices_.at(device)->device->PowerOn();
}

void System::Reboot(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_.at(device)->device->Reboot();
}

uint16_t System::DriverTargetNode() {
    std::lock_guard<std::mutex> lock(mu_);
    return driver_->TargetNode();
}

uint32_t System::DriverByteProgramDelay() {
    std::lock_guard<std::mutex> lock(mu_);
    return driver_->ByteProgramDelayUs();
}

std::vector<uint32_t> System::ConfigRom(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_.at(device)->device->ConfigRom();
}

std::string System::TimeStampText(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    const uint8_t* s = devices_.at(device)->device->TimeStamp();
    std::string time(reinterpret_cast<const char*>(s),
                     strnlen(reinterpret_cast<const char*>(s), 24));
    std::string date;
    if (time.size() + 1 < 24)
        date.assign(reinterpret_cast<const char*>(s) + time.size() + 1,
                    strnlen(reinterpret_cast<const char*>(s) + time.size() + 1, 23 - time.size()));
    return time + "|" + date;
}

size_t System::AddDevice(const std::vector<uint8_t>& flash, const ChipGeometry* chip) {
    DeviceOptions options;
    if (chip) options.chip = *chip;
    options.flash = flash;
    return AddDevice(options);
}

size_t System::AddDevice(const DeviceOptions& options) {
    std::lock_guard<std::mutex> lock(mu_);
    auto unit = std::make_unique<Unit>();
    unit->chip = std::make_unique<FlashChip>(options.chip ? *options.chip : options_.chip, clock_);
    unit->chip->SetTimings(options_.timings);
    unit->chip->SetBusyListener([this](const char* op, uint64_t us) { OnBusy(op, us); });
    auto& b = unit->chip->Bytes();
    std::copy_n(options.flash.begin(), std::min(options.flash.size(), b.size()), b.begin());
    unit->device = std::make_unique<Tq6410Device>("tq6410-" + std::to_string(devices_.size()), bus_,
                                                  *unit->chip, *clock_);
    DeviceIdentity id = options_.identity;
    id.chipIdLo += static_cast<uint32_t>(devices_.size());
    unit->identity = options.identity.value_or(id);
    unit->device->SetIdentity(unit->identity);
    unit->plugged = options.plugged;
    devices_.push_back(std::move(unit));
    ApplyLog();
    if (options.plugged) devices_.back()->device->PowerOn();
    return devices_.size() - 1;
}

bool System::Unplug(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    Unit& unit = *devices_.at(device);
    if (!unit.plugged) return false;
    unit.plugged = false;
    unit.device->PowerOff();
    if (log_ && logLevel_ >= 1) log_(unit.device->Name() + ": unplugged");
    return true;
}

bool System::Plug(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    Unit& unit = *devices_.at(device);
    if (unit.plugged) return false;
    unit.plugged = true;
    if (log_ && logLevel_ >= 1) log_(unit.device->Name() + ": plugged in");
    unit.device->PowerOn();
    return true;
}

bool System::Plugged(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_.at(device)->plugged;
}

DeviceIdentity System::Identity(size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_.at(device)->identity;
}

size_t System::DeviceCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_.size();
}

void System::AddRegisterFault(const RegisterFault& fault, size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_.at(device)->device->AddRegisterFault(fault);
}

void System::ClearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& u : devices_) {
        u->device->ClearRegisterFaults();
        u->device->SetChecksumError(0);
        u->device->SetNoChecksum(false);
        u->device->SetEraseNeverDone(false);
        u->device->SetVanishOnReset(false);
        u->chip->SetEraseNeverFinishes(false);
    }
    bus_.SetRotateOnReset(false);
    adapter_->SetFaults(AdapterFaults{});
}

void System::SetChecksumError(uint32_t xorMask, size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_.at(device)->device->SetChecksumError(xorMask);
}

void System::SetNoChecksum(bool on, size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_.at(device)->device->SetNoChecksum(on);
}

void System::SetEraseNeverFinishes(bool on, size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_.at(device)->chip->SetEraseNeverFinishes(on);
}

void System::SetEraseNeverDone(bool on, size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_.at(device)->device->SetEraseNeverDone(on);
}

void System::SetChipTimings(const ChipTimings& timings, size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_.at(device)->chip->SetTimings(timings);
}

void System::SetVanishOnReset(bool on, size_t device) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_.at(device)->device->SetVanishOnReset(on);
}

void System::SetRotateOnBusReset(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    bus_.SetRotateOnReset(on);
}

void System::SetAdapterFaults(const AdapterFaults& faults) {
    std::lock_guard<std::mutex> lock(mu_);
    adapter_->SetFaults(faults);
}

namespace {
std::string FlashFileName(const std::string& dir, size_t index) {
    return dir + (index == 0 ? "/flash.bin" : "/flash" + std::to_string(index) + ".bin");
}
}  // namespace

bool System::SaveState(const std::string& dir, std::string* error) {
    std::lock_guard<std::mutex> lock(mu_);
    ::mkdir(dir.c_str(), 0755);
    for (size_t i = 0; i < devices_.size(); ++i) {
        const std::string path = FlashFileName(dir, i);
        const std::string tmp = path + ".tmp";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            const auto& b = devices_[i]->chip->Bytes();
            out.write(reinterpret_cast<const char*>(b.data()),
                      static_cast<std::streamsize>(b.size()));
            if (!out) {
                if (error) *error = "cannot write " + tmp;
                return false;
            }
        }
        if (std::rename(tmp.c_str(), path.c_str()) != 0) {
            if (error) *error = "cannot replace " + path;
            return false;
        }
    }
    std::ofstream chip(dir + "/chip.txt", std::ios::trunc);
    const ChipGeometry& g = devices_[0]->chip->Geometry();
    chip << g.name << " " << g.busWidth << "-bit, command set " << g.commandSet << ", "
         << g.TotalBytes() << " bytes\n";
    return true;
}

bool System::LoadState(const std::string& dir, std::string* error) {
    std::lock_guard<std::mutex> lock(mu_);
    bool any = false;
    for (size_t i = 0; i < devices_.size(); ++i) {
        const std::string path = FlashFileName(dir, i);
        std::ifstream in(path, std::ios::binary);
        if (!in) continue;
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        auto& b = devices_[i]->chip->Bytes();
        if (bytes.size() != b.size()) {
            if (error)
                *error = path + " holds " + std::to_string(bytes.size()) + " bytes, the chip " +
                         std::to_string(b.size());
            return false;
        }
        b = bytes;
        devices_[i]->device->Reboot();
        any = true;
    }
    if (!any && error) *error = "no saved flash in " + dir;
    return any;
}

void System::SetLog(std::function<void(const std::string&)> log, int level) {
    std::lock_guard<std::mutex> lock(mu_);
    log_ = std::move(log);
    logLevel_ = log_ ? level : 0;
    ApplyLog();
}

void System::ApplyLog() {
    auto log = log_;
    std::function<void(const std::string&)> none;
    driver_->SetLog(logLevel_ >= 1 ? log : none);
    adapter_->SetLog(logLevel_ >= 1 ? log : none);
    for (auto& u : devices_) u->device->SetLog(logLevel_ >= 1 ? log : none);
    bus_.SetTrace(logLevel_ >= 2 ? log : none);
}

namespace {
std::string Seconds(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f s", static_cast<double>(us) / 1e6);
    return text;
}
}  // namespace

// Called by the chips under the system mutex.
void System::OnBusy(const char* operation, uint64_t us) {
    if (std::strcmp(operation, "program") == 0) {
        ++programRunCount_;
        programRunUs_ += us;
        return;
    }
    FlushProgramRun();
    if (log_ && logLevel_ >= 1) log_(std::string("chip busy: ") + operation + ", " + Seconds(us));
}

void System::FlushProgramRun() {
    if (programRunCount_ != 0 && log_ && logLevel_ >= 1)
        log_("chip busy: program x" + std::to_string(programRunCount_) + ", " +
             Seconds(programRunUs_));
    programRunCount_ = 0;
    programRunUs_ = 0;
}

uint64_t System::ChipBusyTotalUs() {
    std::lock_guard<std::mutex> lock(mu_);
    FlushProgramRun();
    uint64_t total = 0;
    for (auto& u : devices_) total += u->chip->BusyTotalUs();
    return total;
}

uint64_t System::SerialLineUs() {
    std::lock_guard<std::mutex> lock(mu_);
    return adapter_->LineBytes() * 10 * 1000000 / 115200;
}

}  // namespace tqsim
