#include "tqsim/bus.h"

#include <algorithm>
#include <cstdio>

#include "tqsim/registers.h"

namespace tqsim {

uint32_t PassiveNode::ReadQuadlet(uint16_t, uint32_t, uint32_t*) { return reg::kErrIoDevice; }
uint32_t PassiveNode::WriteQuadlet(uint16_t, uint32_t, uint32_t) { return reg::kErrIoDevice; }

void Bus::Join(BusNode* node) {
    if (Present(node)) return;
    nodes_.push_back(node);
    Reset();
}

void Bus::Leave(BusNode* node) {
    auto it = std::find(nodes_.begin(), nodes_.end(), node);
    if (it == nodes_.end()) return;
    nodes_.erase(it);
    Reset();
}

void Bus::Reset() {
    if (rotate_ && nodes_.size() > 1) std::rotate(nodes_.begin(), nodes_.begin() + 1, nodes_.end());
    ++generation_;
    if (trace_) {
        std::string line = "bus reset, generation " + std::to_string(generation_) + ":";
        for (size_t i = 0; i < nodes_.size(); ++i) {
            char buf[16];
            std::snprintf(buf, sizeof buf, " %04X=", reg::NodeIdOf(static_cast<unsigned>(i)));
            line += buf + nodes_[i]->Name();
        }
        trace_(line);
    }
    // Copy: a node may join or leave in its handler.
    std::vector<BusNode*> snapshot = nodes_;
    for (BusNode* n : snapshot) n->OnBusReset();
}

bool Bus::Present(const BusNode* node) const {
    return std::find(nodes_.begin(), nodes_.end(), node) != nodes_.end();
}

uint16_t Bus::NodeIdOf(const BusNode* node) const {
    auto it = std::find(nodes_.begin(), nodes_.end(), node);
    if (it == nodes_.end()) return kNoNode;
    return reg::NodeIdOf(static_cast<unsigned>(it - nodes_.begin()));
}

BusNode* Bus::NodeAt(uint16_t nodeId) const {
    if ((nodeId >> 6) != reg::kLocalBus) return nullptr;
    size_t number = nodeId & 0x3F;
    if (number == 63 || number >= nodes_.size()) return nullptr;
    return nodes_[number];
}

uint32_t Bus::Read(uint16_t nodeId, uint16_t offsetHigh, uint32_t offsetLow, uint32_t* value) {
    BusNode* node = NodeAt(nodeId);
    uint32_t error = node ? node->ReadQuadlet(offsetHigh, offsetLow, value) : reg::kErrSemTimeout;
    if (trace_) {
        char buf[96];
        if (error == 0)
            std::snprintf(buf, sizeof buf, "read  %04X %04X:%08X -> %08X", nodeId, offsetHigh,
                          offsetLow, *value);
        else
            std::snprintf(buf, sizeof buf, "read  %04X %04X:%08X failed (error %u)", nodeId,
                          offsetHigh, offsetLow, error);
        trace_(buf);
    }
    return error;
}

uint32_t Bus::Write(uint16_t nodeId, uint16_t offsetHigh, uint32_t offsetLow, uint32_t value) {
    if (trace_) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "write %04X %04X:%08X <- %08X", nodeId, offsetHigh,
                      offsetLow, value);
        trace_(buf);
    }
    BusNode* node = NodeAt(nodeId);
    uint32_t error = node ? node->WriteQuadlet(offsetHigh, offsetLow, value) : reg::kErrSemTimeout;
    if (trace_ && error) trace_("      failed (error " + std::to_string(error) + ")");
    return error;
}

std::vector<Bus::Entry> Bus::AllNodes() const {
    std::vector<Entry> out;
    for (size_t i = 0; i < nodes_.size(); ++i)
        out.push_back({reg::NodeIdOf(static_cast<unsigned>(i)), nodes_[i]->IdHigh(),
                       nodes_[i]->IdLow(), nodes_[i]});
    return out;
}

std::vector<Bus::Entry> Bus::ListedNodes() const {
    std::vector<Entry> out;
    for (const Entry& e : AllNodes())
        if (e.node->Listed()) out.push_back(e);
    return out;
}

}  // namespace tqsim
