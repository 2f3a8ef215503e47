// A serial adapter stand-in on a pseudo-terminal whose answers a test scripts frame by frame.
// The library opens Path(); a thread reads each frame the library sends (by its length byte),
// records it, and answers with the next queued reply, else with the handler's answer, else
// by default: echo back, local node 0xFFC2, quadlet writes stored and acknowledged
// (04 04 00 00), reads answered from the stored values (05 08 00 00 value), an empty node list,
// bus reset acknowledged, anything else refused (AA 02).
#pragma once

#include <atomic>
#include <thread>

#include "request_recorder.h"

namespace loric::test {

class ScriptedAdapter : Guarded {
public:
    // One piece of an answer: bytes written to the line, then a pause in real milliseconds.
    struct Chunk {
        Bytes bytes;
        uint32_t pauseMs = 0;
    };
    using Reply = std::vector<Chunk>;  // empty: no answer at all
    using Handler = std::function<Reply(const Bytes& frame)>;

    ScriptedAdapter();
    ~ScriptedAdapter() { HangUp(); }

    const std::string& Path() const { return path_; }

    // Answers for the next frames, in order, before the handler is asked again.
    void Queue(Reply reply) { Locked(queue_)->push_back(std::move(reply)); }
    void Queue(const Bytes& bytes) { Queue(Reply{Chunk{bytes, 0}}); }
    void SetHandler(Handler handler) { *Locked(handler_) = std::move(handler); }
    void SetRegister(uint32_t offsetLow, uint32_t value) {
        Locked(registers_)->insert_or_assign(offsetLow, value);
    }

    // Frames received so far (each one whole frame as its length byte gives it).
    std::vector<Bytes> Frames() const { return *Locked(frames_); }
    void ClearFrames() { Locked(frames_)->clear(); }

    // Suspends (or resumes) output on the library's side of the line: its port then takes
    // no bytes at all.
    void StopLine(bool stop);
    // Closes the adapter's side of the line: the library's port sees a hang-up.
    void HangUp();

private:
    void Run();
    void Answer(const Bytes& frame);
    Reply DefaultReply(const Bytes& frame);

    std::string path_;
    int master_ = -1;
    int slave_ = -1;
    std::atomic<bool> stop_{false};
    std::deque<Reply> queue_;
    Handler handler_;
    std::vector<Bytes> frames_;
    std::map<uint32_t, uint32_t> registers_;
    std::thread thread_;
};

}  // namespace loric::test
