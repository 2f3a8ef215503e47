// A bench of several boards on one simulated bus, and the control that plugs and unplugs them
// while the daemon runs.
//
// A board is described by a spec, comma-separated KEY=VALUE fields (the daemon's --device and
// the control's `add`):
//   state=blank|loader|running   erased flash, the loader at 0, or firmware and configuration
//                                installed (default blank)
//   chip=NAME                    its flash chip (default: the bench's)
//   guid=HEX                     its EUI-64, 16 hex digits (node_vendor_id, chip_id_hi,
//                                chip_id_lo); default: the configuration's, chip_id_lo + index
//   image=FILE                   raw flash contents from byte 0 instead of a state
//   plugged=yes|no               on the bus from the start, or on the shelf (default yes)
//   checksum=HEX                 XOR this into its upload checksum (a failing board)
//
// The control speaks lines: one command a line, answered by zero or more lines of data and then
// one status line, "ok" or "error: TEXT". Commands (Bench::Execute):
//   devices            INDEX STATE NODE EUI-64 CHIP, a line a device ("-": none)
//   nodes              "generation N", then NODE NAME DEVICE LISTED EUI-64, a line a node
//   add SPEC           a new board; its devices line
//   unplug INDEX       the board loses power and leaves the bus (bus reset)
//   plug INDEX         the board powers on, boots and joins at the end of the bus (bus reset)
//   bus-reset          a bus reset
//   save INDEX FILE    writes the board's flash to FILE
//   help               the commands
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tqsim/system.h"

namespace tqsim {

struct BoardSpec {
    enum class State { Blank, Loader, Running };
    State state = State::Blank;
    std::string chip;   // "": the bench's chip
    std::string image;  // raw flash image file, instead of `state`
    bool hasGuid = false;
    uint64_t guid = 0;
    bool plugged = true;
    uint32_t checksumXor = 0;
};
bool ParseBoardSpec(const std::string& text, BoardSpec* spec, std::string* error);

// What boards start with: the images of the loader and running states (empty: the example
// images) and the flash data file for chips that are not built in.
struct BenchImages {
    std::vector<uint8_t> loader, firmware, config;
    std::string flashDataFile;

    // The chip a spec names (`fallback` when none); false with a reason.
    bool ChipOf(const BoardSpec& spec, const ChipGeometry& fallback, ChipGeometry* chip,
                std::string* error) const;
    // The identifier board `index` gets from a spec.
    DeviceIdentity IdentityOf(const BoardSpec& spec, size_t index) const;
};

class Bench {
public:
    Bench(System& sim, BenchImages images);

    // Gives device `index` the flash, faults and plug state its description gives. Its chip and
    // identity were chosen when it was made (ChipOf, IdentityOf).
    bool SetUp(size_t index, const BoardSpec& spec, std::string* error);
    // A new board as its description says: its index, or -1 with a reason.
    int Add(const BoardSpec& spec, std::string* error);

    // One control command; the reply lines, each ending in '\n', the last "ok" or "error: ...".
    std::string Execute(const std::string& line);
    std::string DeviceLine(size_t index);

private:
    System& sim_;
    BenchImages images_;
    std::mutex mu_;
};

// Serves a line protocol on a Unix stream socket, a thread a connection: every line received
// goes to `handler`, whose text is sent back.
class LineServer {
public:
    using Handler = std::function<std::string(const std::string& line)>;
    explicit LineServer(Handler handler) : handler_(std::move(handler)) {}
    ~LineServer() { Stop(); }
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;
    bool Start(const std::string& path, std::string* error = nullptr);
    void Stop();

private:
    void Serve(int fd);

    Handler handler_;
    std::string path_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex mu_;
    std::list<std::thread> workers_;
    std::vector<int> fds_;
    std::vector<std::thread::id> finished_;
};

// Sends one command to a control socket and reads its reply up to the status line. False when
// the socket cannot be reached or breaks (`reply` then says why).
bool SendControl(const std::string& path, const std::string& command, std::string* reply);
// Whether a reply ends in the status line "ok".
bool ControlReplyOk(const std::string& reply);

}  // namespace tqsim
