// The serial adapter: a node of its own on the 1394 bus that carries out six framed commands
// received on a serial line (here a pseudo-terminal). Frames: byte 0 command, byte 1 length of
// the whole frame, fields little-endian. Replies repeat the command code on success, 0xAA when
// refused, 0x00 to ask for the frame again.
//
//   02 echo        02 07 01 02 03 04 05          -> the same 7 bytes
//   03 node list   03 02                         -> 03 len n 00, n x (id16, 00 00, idHigh, idLow)
//   04 write       04 14 00 00 node offHi offLo value -> 04 04 00 00
//   05 read        05 10 00 00 node offHi offLo  -> 05 08 00 00 value
//   06 bus reset   06 02                         -> 06 02
//   07 local node  07 02                         -> 07 04 idHi idLo (most significant first)
// Refusals are AA 04 <command> <reason>: 1 no node answered, 2 the node refused the access,
// 3 malformed frame, 4 unknown command.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tqsim/bus.h"

namespace tqsim {

// Misbehaviour on request. Counters apply to the next commands whose code is `onlyCommand`
// (0: any command) and count down as they are used; silence, resend and refusal are tried in
// that order, one per frame.
struct AdapterFaults {
    uint8_t onlyCommand = 0;
    uint32_t resendReplies = 0;  // answer 00 02 (send again)
    uint32_t refuseReplies = 0;  // answer AA 02
    uint32_t silentReplies = 0;  // answer nothing
    uint32_t oversizeReplies =
        0;                      // a genuine reply with length byte 0xC8 (above 128), body as usual
    bool splitReplies = false;  // every reply goes out in pieces with pauses between them
    uint32_t splitPauseMs = 20;
};

struct AdapterOptions {
    bool paced = false;    // take frames in and deliver replies at 115200 baud 8N1 (10 bits a byte)
    std::string linkPath;  // if set, a symlink to the terminal is made here
};

class SerialAdapter : public BusNode {
public:
    // `lock` (may be null) is held while a frame is carried out, so that the adapter's thread
    // and the rest of the simulation do not touch the bus at the same time.
    SerialAdapter(Bus& bus, std::mutex* lock);
    ~SerialAdapter() override;

    // One frame in, the reply bytes out (empty: no reply). No terminal involved.
    std::vector<uint8_t> HandleFrame(const std::vector<uint8_t>& frame);

    // Opens a pseudo-terminal, joins the bus and serves it on a thread. Returns the terminal's
    // path, or "" with `error` set.
    std::string Start(const AdapterOptions& options, std::string* error = nullptr);
    void Stop();
    const std::string& TerminalPath() const { return slavePath_; }

    void SetFaults(const AdapterFaults& faults) { faults_ = faults; }
    AdapterFaults& Faults() { return faults_; }
    uint64_t FramesHandled() const { return frames_; }
    // Bytes of every frame taken in and every reply sent while no chip was busy: the line
    // time that adds to a job's time (polls during an erase overlap the erase).
    uint64_t LineBytes() const { return lineBytes_; }
    // Tells whether a flash chip is busy; called under `lock`.
    void SetChipBusyProbe(std::function<bool()> probe) { chipBusy_ = std::move(probe); }
    void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

    // BusNode: the adapter's link answers no register of its own.
    std::string Name() const override { return "adapter"; }
    uint32_t ReadQuadlet(uint16_t, uint32_t, uint32_t*) override;
    uint32_t WriteQuadlet(uint16_t, uint32_t, uint32_t) override;
    uint32_t IdHigh() const override { return 0x0ABCDE00; }
    uint32_t IdLow() const override { return 0x00000A01; }

private:
    void Loop();
    // Sends a reply; on a paced line not before `due` (steady clock), the moment its last
    // byte would have left the adapter.
    void Send(const std::vector<uint8_t>& reply, std::chrono::steady_clock::time_point due);
    bool Take(uint32_t& counter, uint8_t command);

    Bus& bus_;
    std::mutex* lock_;
    AdapterFaults faults_;
    AdapterOptions options_;
    std::function<void(const std::string&)> log_;
    std::atomic<uint64_t> frames_{0};
    std::atomic<uint64_t> lineBytes_{0};
    std::function<bool()> chipBusy_;
    int master_ = -1;
    int slaveKeep_ = -1;
    std::string slavePath_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace tqsim
