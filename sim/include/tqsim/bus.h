// The simulated 1394 bus: nodes in the order they joined, node numbers given by position at
// each bus reset, quadlet transactions routed by node ID, and the node list the driver reports.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tqsim {

class BusNode {
public:
    virtual ~BusNode() = default;
    virtual std::string Name() const = 0;
    // One quadlet transaction addressed to this node. Return 0 on success or the Windows error
    // number the requester sees (1117 for an address or type error response).
    virtual uint32_t ReadQuadlet(uint16_t offsetHigh, uint32_t offsetLow, uint32_t* value) = 0;
    virtual uint32_t WriteQuadlet(uint16_t offsetHigh, uint32_t offsetLow, uint32_t value) = 0;
    // Listed by the driver: the node presents a configuration ROM with a unit directory.
    virtual bool Listed() const { return false; }
    // The node's 64-bit identifier as its bus information block gives it.
    virtual uint32_t IdHigh() const { return 0; }
    virtual uint32_t IdLow() const { return 0; }
    // Told after each bus reset (self-identification done).
    virtual void OnBusReset() {}
};

// A node that answers no address at all (the host's own 1394 controller, the adapter's link).
class PassiveNode : public BusNode {
public:
    PassiveNode(std::string name, uint32_t idHigh, uint32_t idLow)
        : name_(std::move(name)), idHigh_(idHigh), idLow_(idLow) {}
    std::string Name() const override { return name_; }
    uint32_t ReadQuadlet(uint16_t, uint32_t, uint32_t*) override;
    uint32_t WriteQuadlet(uint16_t, uint32_t, uint32_t) override;
    uint32_t IdHigh() const override { return idHigh_; }
    uint32_t IdLow() const override { return idLow_; }

private:
    std::string name_;
    uint32_t idHigh_, idLow_;
};

class Bus {
public:
    static constexpr uint16_t kNoNode = 0xFFFF;

    struct Entry {
        uint16_t nodeId;
        uint32_t idHigh, idLow;
        BusNode* node;
    };

    // A node appears on the bus (at the end of the numbering order); a bus reset follows.
    void Join(BusNode* node);
    // A node leaves the bus; a bus reset follows. No effect when it is not present.
    void Leave(BusNode* node);
    // Bus reset: nodes are renumbered by position (see SetRotateOnReset).
    void Reset();
    // When set, every bus reset also moves the first node to the end, so node IDs change even
    // when nobody joined or left.
    void SetRotateOnReset(bool on) { rotate_ = on; }

    bool Present(const BusNode* node) const;
    // The node's current ID, or kNoNode when it is not on the bus.
    uint16_t NodeIdOf(const BusNode* node) const;
    BusNode* NodeAt(uint16_t nodeId) const;
    uint32_t Generation() const { return generation_; }

    // Quadlet transactions. 0 on success, else the Windows error number: 121 when no node has
    // that ID (no acknowledge), or what the node answered.
    uint32_t Read(uint16_t nodeId, uint16_t offsetHigh, uint32_t offsetLow, uint32_t* value);
    uint32_t Write(uint16_t nodeId, uint16_t offsetHigh, uint32_t offsetLow, uint32_t value);

    std::vector<Entry> AllNodes() const;
    std::vector<Entry> ListedNodes() const;

    // Transaction log: one line per transaction and per bus reset.
    void SetTrace(std::function<void(const std::string&)> trace) { trace_ = std::move(trace); }
    void Note(const std::string& line) const {
        if (trace_) trace_(line);
    }
    bool Tracing() const { return static_cast<bool>(trace_); }

private:
    std::vector<BusNode*> nodes_;
    uint32_t generation_ = 0;
    bool rotate_ = false;
    std::function<void(const std::string&)> trace_;
};

}  // namespace tqsim
