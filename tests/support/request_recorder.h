// Test stand-in for the kernel driver: serves the driver socket protocol on a temporary Unix
// socket (BRENNOCK_SOCKET points at it while the recorder lives), records every request and
// answers it with, first to apply: the handler's reply; the next reply queued for its code
// (Queue, FailNext); the standing one for its code (SetDefault, FailAlways); for a quadlet read
// of an offset given to SetReadValue, that value; else success with the input echoed (cut or
// zero-padded to outLength), so an asynchronous request comes back unchanged, a node list empty.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "loric.h"
#include "scoped_env.h"

namespace tqsim {
class DriverServer;
}

namespace loric::test {

using Bytes = std::vector<uint8_t>;

struct RecordedRequest {
    uint32_t code = 0;
    std::vector<uint8_t> input;       // the inLength input bytes, as sent
    std::vector<uint8_t> uploadData;  // the data bytes after an upload request
    uint32_t outLength = 0;
    int connection = 0;  // 1 for the first connection, 2 for the next...
};

struct ScriptedReply {
    bool ok = true;
    uint32_t error = 0;                            // sent when !ok
    std::optional<std::vector<uint8_t>> output{};  // unset: echo the input; shorter: zero-padded
    std::optional<uint32_t> bytesReturned{};       // unset: outLength
    bool disconnect = false;                       // close the connection instead of answering

    static ScriptedReply Failure(uint32_t error) { return {.ok = false, .error = error}; }
    static ScriptedReply Disconnect() { return {.disconnect = true}; }
    // A node list reply: the count, then the records.
    static ScriptedReply NodeList(const std::vector<NODE_INFO>& nodes);
    // An asynchronous read reply for `request` with `value` in the data area (bus order).
    static ScriptedReply QuadletRead(const RecordedRequest& request, uint32_t value);
};

// An asynchronous request decoded from its recorded bytes.
struct AsyncTransaction {
    bool write = false;
    uint16_t nodeId = 0;
    uint16_t offsetHigh = 0;
    uint32_t offsetLow = 0;
    uint32_t byteCount = 0;
    uint32_t value = 0;  // the first data quadlet as a host number (writes)
};

// What a server thread and the test share: Locked(member) holds the one lock while the
// expression that uses the member runs (*Locked(handler_) = ..., Locked(frames_)->clear()).
class Guarded {
protected:
    template <class T>
    struct Access {
        std::scoped_lock<std::mutex> lock;
        T& member;
        T& operator*() const { return member; }
        T* operator->() const { return &member; }
    };
    template <class T>
    Access<T> Locked(T& member) const {
        return {std::scoped_lock<std::mutex>(mutex_), member};
    }
    mutable std::mutex mutex_;
};

class RequestRecorder : Guarded {
public:
    RequestRecorder();
    ~RequestRecorder();

    using Handler = std::function<std::optional<ScriptedReply>(const RecordedRequest&)>;
    void SetHandler(Handler handler) { *Locked(handler_) = std::move(handler); }
    void Queue(uint32_t code, ScriptedReply reply) {
        (*Locked(queued_))[code].push_back(std::move(reply));
    }
    void FailNext(uint32_t code, uint32_t error) { Queue(code, ScriptedReply::Failure(error)); }
    void SetDefault(uint32_t code, ScriptedReply reply) {
        Locked(defaults_)->insert_or_assign(code, std::move(reply));
    }
    void FailAlways(uint32_t code, uint32_t error) {
        SetDefault(code, ScriptedReply::Failure(error));
    }
    void SetReadValue(uint32_t offsetLow, uint32_t value) {
        Locked(readValues_)->insert_or_assign(offsetLow, value);
    }
    void ClearScript() {
        std::scoped_lock lock(mutex_);
        handler_ = nullptr, queued_.clear(), defaults_.clear(), readValues_.clear();
    }

    std::vector<RecordedRequest> Requests() const { return *Locked(requests_); }
    void ClearRequests() { Locked(requests_)->clear(); }
    // Counted when the stand-in accepts them: reliable once a request has come over one.
    int OpenConnections() const;

    static std::optional<AsyncTransaction> Decode(const RecordedRequest& request);

private:
    ScriptedReply ReplyFor(const RecordedRequest& request);

    std::string socketPath_;
    ScopedEnv socketEnv_;
    std::unique_ptr<tqsim::DriverServer> server_;

    std::vector<RecordedRequest> requests_;
    Handler handler_;
    std::map<uint32_t, std::deque<ScriptedReply>> queued_;
    std::map<uint32_t, ScriptedReply> defaults_;
    std::map<uint32_t, uint32_t> readValues_;
};

// Little-endian helpers for building and checking request bytes.
std::vector<uint8_t> LittleEndianBytes(std::initializer_list<uint32_t> words);
uint32_t LittleEndianAt(const std::vector<uint8_t>& bytes, size_t offset);

}  // namespace loric::test
