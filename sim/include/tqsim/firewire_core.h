// The kernel's firewire-core, the Linux 1394 stack as user space sees it, on the simulator's
// bus: node files (fwN) only for the host's own node and the nodes that present a config ROM,
// numbered with the lowest free number as they appear, dead (ENODEV) once their node leaves or
// stops presenting its ROM; bus reset events and generations; transactions answered by the
// simulated nodes with the kernel's rcodes, and the host's topology map answered by the host's
// file. It speaks the firewire-cdev structures themselves, so the same object serves a client
// in process (through its kernel hooks) and under umockdev. Linux only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tqsim/system.h"

namespace tqsim {

class FirewireCore {
public:
    // The caller's memory that an ioctl argument points into: `field` is the offset of a
    // 64-bit pointer inside the argument.
    class Memory {
    public:
        virtual ~Memory() = default;
        virtual bool Get(void* argument, size_t field, void* out, size_t size) = 0;
        virtual bool Put(void* argument, size_t field, const void* in, size_t size) = 0;
    };
    // Pointers of this process.
    class DirectMemory : public Memory {
    public:
        bool Get(void* argument, size_t field, void* out, size_t size) override;
        bool Put(void* argument, size_t field, const void* in, size_t size) override;
    };

    // `local` names the bus node that is the host's own controller.
    explicit FirewireCore(System& sim, std::string local = "host");

    // File operations; negative errno on failure.
    int Open(const std::string& path);
    int Close(int fd);
    int Ioctl(int fd, unsigned long request, void* argument, Memory& memory);
    // One event a call, cut to `size`; -EAGAIN when none is queued (a real file would block),
    // -ENODEV once the node is gone and its events are read.
    long Read(int fd, void* buffer, size_t size);
    // The names of the node files present ("fw0", ...).
    std::vector<std::string> Names();

    // Catches up with the bus: files appear and die, bus reset events are queued.
    void Sync();

    // ---- Faults -------------------------------------------------------------------------
    void SetDenyAccess(bool deny) { denyAccess_ = deny; }  // every open fails with EACCES
    // The next `count` requests are answered with `rcode` without reaching the bus.
    void ForceRcode(uint32_t rcode, int count) {
        forcedRcode_ = rcode;
        forcedCount_ = count;
    }
    // The bus resets just before request number `n` (from now, 1 = the next) is sent, so it
    // carries a generation that is over.
    void ResetBusBeforeRequest(int n) {
        BeforeRequest(n, [this] { sim_.BusReset(); });
    }
    // Runs `action` (on the bus, without the core's knowledge) just before request number `n`.
    void BeforeRequest(int n, std::function<void()> action) {
        countdown_ = n;
        beforeRequest_ = std::move(action);
    }

    // Edits the events queued for the next request (its response last) before they are queued.
    void EditNextResponse(std::function<void(std::vector<std::vector<uint8_t>>& events)> edit) {
        editResponse_ = std::move(edit);
    }

    // One line per request and event: "fw1 read ffff.f0090008 x4 gen 3: rcode 0",
    // "fw1 write ffff.f0090010 x4 gen 3 = 45646974: rcode 0", "bus reset: generation 4", ...
    const std::vector<std::string>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }
    // Told when a file appears (true) or goes (false).
    void SetFileListener(std::function<void(const std::string& name, bool added)> listener) {
        listener_ = std::move(listener);
    }
    uint32_t Generation() const { return generation_; }

private:
    struct Device {
        std::string name;
        BusNode* node;
        bool local;
        bool gone = false;
        std::vector<uint32_t> rom;
    };
    struct File {
        std::shared_ptr<Device> device;
        bool wantsResets = false;
        std::deque<std::vector<uint8_t>> events;
    };

    std::vector<uint32_t> RomOf(BusNode* node, bool local) const;
    std::string FreeName() const;
    // The topology map of the bus now (CSR 0xFFFFF0001000), as the host's node serves it.
    std::vector<uint32_t> TopologyMap();
    void QueueBusReset(File& file);
    int GetInfo(File& file, void* argument, Memory& memory);
    int SendRequest(File& file, void* argument, Memory& memory);
    int BusReset(File& file, void* argument);

    System& sim_;
    std::string localName_;
    uint32_t generation_ = 0;
    bool synced_ = false;
    std::vector<std::shared_ptr<Device>> devices_;
    std::map<int, File> files_;
    int nextFd_ = 1000;
    bool denyAccess_ = false;
    uint32_t forcedRcode_ = 0;
    int forcedCount_ = 0;
    int countdown_ = 0;
    std::function<void()> beforeRequest_;
    std::function<void(std::vector<std::vector<uint8_t>>&)> editResponse_;
    std::vector<std::string> log_;
    std::function<void(const std::string&, bool)> listener_;
};

}  // namespace tqsim
