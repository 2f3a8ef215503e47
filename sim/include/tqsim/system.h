// tqsim::System - a whole simulated bench in one object: the 1394 bus with the host's own
// controller node, one TQ6410 device (more on request) with its NOR flash chip, the kernel
// driver serving its Unix socket, and optionally the serial adapter on a pseudo-terminal.
//
// Typical test use:
//     tqsim::System sim;                                  // blank 29F040B, instant time
//     sim.StartDriverServer(dir + "/brennock.sock");      // then setenv BRENNOCK_SOCKET
//     ... run the library ...
//     EXPECT_EQ(sim.Mode(), tqsim::DeviceMode::Firmware);
//     auto flash = sim.Flash();                            // byte-for-byte contents
//
// Every public member is safe to call from the test's thread while the server threads run:
// all of them take the system's one mutex. Component accessors (bus(), device(), chip(),
// driver()) hand out the objects themselves: use them under Lock() while servers run.
//
// Node numbering: nodes are numbered by the order in which they joined the bus. At power-on
// the device joins first (0xFFC0), then the host's own controller (0xFFC1). Starting the serial
// adapter takes the host controller off the bus (a PC using the adapter has no 1394 card) and
// the adapter joins in its place (0xFFC1); stopping it brings the controller back. Every device
// reset takes the device off the bus and back at the end, so after a reset it answers at 0xFFC1
// while the adapter moves to 0xFFC0.
//
// A bench of several boards: AddDevice puts more devices on the bus (each with its own chip,
// flash and identifier), Unplug and Plug take one off the bus and put it back while the servers
// run. Each is a bus reset: the nodes are numbered again and the generation moves on. A device
// keeps its index for good, so its flash and state stay reachable while it is unplugged.
// tqsim/bench.h sets boards up from a text description and carries out the daemon's control.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tqsim/bus.h"
#include "tqsim/clock.h"
#include "tqsim/device.h"
#include "tqsim/driver.h"
#include "tqsim/flash_chip.h"
#include "tqsim/images.h"
#include "tqsim/serial_adapter.h"

namespace tqsim {

enum class TimeMode {
    Instant,  // simulated waits pass at once (default: tests)
    Real,     // waits take real time (the daemon's default)
};

struct SystemOptions {
    ChipGeometry chip = BuiltInChips()[0];
    ChipTimings timings;  // zero: every flash operation is instant
    TimeMode time = TimeMode::Instant;
    Clock* clock = nullptr;  // overrides `time` when given (e.g. a ManualClock); not owned
    bool hostNode = true;    // the host's own 1394 controller is a node on the bus
    DeviceIdentity identity;
};

struct NodeEntry {
    uint16_t nodeId;
    uint32_t idHigh, idLow;
    std::string name;
    bool listed;      // reported by the driver's node list
    int device = -1;  // the device's index, -1 for the host controller and the adapter
};

// One more board for the bench.
struct DeviceOptions {
    std::optional<ChipGeometry> chip;        // default: the system's chip
    std::vector<uint8_t> flash;              // starting contents (padded with 0xFF)
    std::optional<DeviceIdentity> identity;  // default: the system's, chip_id_lo + index
    bool plugged = true;                     // false: on the shelf until Plug
};

class System {
public:
    // Throws std::invalid_argument when the chip's geometry is not usable.
    explicit System(const SystemOptions& options = {});
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    // ---- Servers ---------------------------------------------------------------------------
    bool StartDriverServer(const std::string& socketPath, std::string* error = nullptr);
    void StopDriverServer();
    // Returns the pseudo-terminal's path ("" on failure). The host controller leaves the bus
    // while the adapter serves.
    std::string StartSerialAdapter(const AdapterOptions& options = {},
                                   std::string* error = nullptr);
    void StopSerialAdapter();

    // One driver request without the socket.
    DriverReply DriverRequest(uint32_t code, const std::vector<uint8_t>& in, uint32_t outLength,
                              const std::vector<uint8_t>& uploadData = {});
    // One adapter frame without the terminal (the adapter need not be started).
    std::vector<uint8_t> AdapterFrame(const std::vector<uint8_t>& frame);

    // ---- Flash contents (device 0 unless an index is given) -------------------------------
    std::vector<uint8_t> Flash(size_t device = 0);
    void SetFlash(const std::vector<uint8_t>& bytes, size_t device = 0);  // padded with 0xFF
    void EraseFlash(size_t device = 0);                                   // all 0xFF
    // Writes bytes at a byte address directly (no programming semantics: plain copy).
    void WriteFlash(uint32_t byteAddress, const std::vector<uint8_t>& bytes, size_t device = 0);
    // Places a firmware image at 0 (its parameter 1 set to the configuration sector's byte
    // address) and a configuration image in the configuration sector, as a finished
    // programming job would leave them. Does not reset the device.
    bool InstallFirmware(const std::vector<uint8_t>& firmware, const std::vector<uint8_t>& config,
                         size_t device = 0);
    ChipGeometry Chip(size_t device = 0);

    // ---- Device and bus state --------------------------------------------------------------
    DeviceMode Mode(size_t device = 0);
    std::string BootNote(size_t device = 0);
    uint16_t DeviceNodeId(size_t device = 0);  // Bus::kNoNode when off the bus
    std::vector<NodeEntry> Nodes();            // every node, by node number
    std::vector<NodeEntry> NodeList();         // what the driver lists
    uint32_t Generation();
    void BusReset();
    void ResetDevice(size_t device = 0);
    void PowerCycle(size_t device = 0);  // off the bus and back on (renumbers)
    void Reboot(size_t device = 0);      // boots again from flash, keeping its place on the bus
    uint16_t DriverTargetNode();
    uint32_t DriverByteProgramDelay();
    std::vector<uint32_t> ConfigRom(size_t device = 0);
    std::string TimeStampText(size_t device = 0);  // "time|date" of the running image

    // ---- More devices ----------------------------------------------------------------------
    // Adds a device with its own chip (same kind as device 0 unless given) and powers it on.
    size_t AddDevice(const std::vector<uint8_t>& flash = {}, const ChipGeometry* chip = nullptr);
    size_t AddDevice(const DeviceOptions& options);
    size_t DeviceCount();
    // Unplug: the device loses power and leaves the bus (its flash stays as it is). Plug: it
    // powers on, boots from its flash and joins the bus at the end. Both are bus resets; false
    // when the device already is in that state.
    bool Unplug(size_t device);
    bool Plug(size_t device);
    bool Plugged(size_t device);
    // The identifier a device presents when its configuration gives none.
    DeviceIdentity Identity(size_t device = 0);
    // The device at a node ID, -1 when none is there.
    int DeviceAt(uint16_t nodeId);

    // ---- Faults ----------------------------------------------------------------------------
    void AddRegisterFault(const RegisterFault& fault, size_t device = 0);
    void ClearFaults();  // every device, chip and adapter fault
    void SetChecksumError(uint32_t xorMask, size_t device = 0);
    void SetNoChecksum(bool on, size_t device = 0);
    void SetEraseNeverFinishes(bool on, size_t device = 0);  // the chip stays busy
    void SetEraseNeverDone(bool on, size_t device = 0);      // ERASE_DONE never reads 1
    void SetChipTimings(const ChipTimings& timings, size_t device = 0);
    void SetVanishOnReset(bool on, size_t device = 0);
    void SetRotateOnBusReset(bool on);
    void SetAdapterFaults(const AdapterFaults& faults);

    // ---- State on disk ---------------------------------------------------------------------
    // DIR/flash.bin (and flash1.bin ... for more devices) and DIR/chip.txt.
    bool SaveState(const std::string& dir, std::string* error = nullptr);
    // Loads the flash contents saved for a chip of the same size; false when none.
    bool LoadState(const std::string& dir, std::string* error = nullptr);

    // ---- Log -------------------------------------------------------------------------------
    // level 1: driver requests, adapter frames, device events; level 2: also every bus
    // transaction.
    void SetLog(std::function<void(const std::string&)> log, int level = 1);
    // Simulated busy time of every chip so far (what a job cannot be faster than). Each busy
    // period is logged at level 1 as "chip busy: OPERATION, N.NNNNNN s"; a run of programs
    // is logged as one line "chip busy: program xCOUNT, N.NNNNNN s" when something else
    // follows or when this total is read.
    uint64_t ChipBusyTotalUs();
    // Time the serial line needed for every frame and reply the adapter handled
    // (10 bits a byte at 115200 baud).
    uint64_t SerialLineUs();

    // ---- Components (hold Lock() while servers run) ----------------------------------------
    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mu_); }
    Bus& bus() { return bus_; }
    Tq6410Device& device(size_t index = 0) { return *devices_.at(index)->device; }
    FlashChip& chip(size_t index = 0) { return *devices_.at(index)->chip; }
    Driver& driver() { return *driver_; }
    SerialAdapter& adapter() { return *adapter_; }
    Clock& clock() { return *clock_; }

private:
    struct Unit {
        std::unique_ptr<FlashChip> chip;
        std::unique_ptr<Tq6410Device> device;
        DeviceIdentity identity;
        bool plugged = true;
    };
    int IndexOf(const BusNode* node) const;
    void ApplyLog();
    void OnBusy(const char* operation, uint64_t us);
    void FlushProgramRun();

    std::mutex mu_;
    SystemOptions options_;
    std::unique_ptr<Clock> ownClock_;
    Clock* clock_;
    Bus bus_;
    std::unique_ptr<PassiveNode> host_;
    std::vector<std::unique_ptr<Unit>> devices_;
    std::unique_ptr<Driver> driver_;
    std::unique_ptr<DriverServer> server_;
    std::unique_ptr<SerialAdapter> adapter_;
    std::function<void(const std::string&)> log_;
    int logLevel_ = 0;
    uint64_t programRunCount_ = 0, programRunUs_ = 0;
};

}  // namespace tqsim
