// GetNodeInfo and FindNode against the driver stand-in: the node list, the blank-device
// probe, the target node and the trace.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "api/context.h"
#include "link/driver_link.h"
#include "link/registers.h"
#include "loric.h"
#include "support/api_fixture.h"
#include "support/bus_expect.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

NODE_INFO Node(uint16_t bus, uint16_t number, uint32_t idHigh, uint32_t idLow) {
    NODE_INFO node{};
    node.busNumber = bus;
    node.nodeNumber = number;
    node.idHigh = idHigh;
    node.idLow = idLow;
    return node;
}

// Quadlet writes to FLASH_PORT_CTRL succeed only at the nodes in `answering`.
RequestRecorder::Handler FlashPortAt(std::set<uint16_t> answering) {
    return [answering](const RecordedRequest& request) -> std::optional<ScriptedReply> {
        auto t = RequestRecorder::Decode(request);
        if (!t || !t->write || t->offsetLow != FLASH_PORT_CTRL) return std::nullopt;
        if (answering.count(t->nodeId)) return std::nullopt;
        return ScriptedReply::Failure(platform::kErrorIoDevice);
    };
}

class DiscoveryTest : public ApiTest {
protected:
    void Open(uint32_t flags) { ASSERT_EQ(OpenLORIC(flags), 0u); debug_.Clear(); }
    RequestRecorder driver_;
};

struct FindCase {
    const char* name;
    std::vector<NODE_INFO> listed;
    std::set<uint16_t> flashPorts;  // nodes whose flash port answers
    uint32_t blankIn;
    uint32_t result;
    uint16_t nodeOut;
    uint32_t blankOut;
    std::vector<Quadlet> quadlets;
    std::string trace;  // under TRACE_API | TRACE_API_VERBOSE
};

const std::string kEnter = "API_TRACE: Enter FindNode\n";
const std::string kList = "API_TRACEV: Enter GetNodeInfo\nAPI_TRACEV: Exit GetNodeInfo (ret 0)\nAPI_TRACEV: Node list:\n";
const std::string kListEnd = "API_TRACEV: \n\n";

std::string Probe(uint16_t node) { return "API_TRACE: Looking for flash port on node " + ([&] {
    char text[8];
    std::snprintf(text, sizeof text, "%x", node);
    return std::string(text);
})() + "\n"; }

std::string Target(const char* node) {
    return std::string("API_TRACE: Enter SetTargetNode ") + node + "\nAPI_TRACE: Exit SetTargetNode (ret 0)\n";
}

TEST_F(DiscoveryTest, FindNodeDecidesBetweenListedAndBlankDevices) {
    const FindCase cases[] = {
        {"one listed node", {Node(0x3FF, 2, 0x00112233, 0x44556677)}, {}, 0, 0, 0xFFC2, 0, {},
         kEnter + kList + "API_TRACEV: 0 (FFC2)\t00112233-44556677\n" + kListEnd +
             "API_TRACE: Non-Blank device detected\n" + Target("FFC2") + "API_TRACE: Exit FindNode (ret 0)\n\n"},
        {"two listed nodes",
         {Node(0x3FF, 0, 1, 2), Node(0x001, 5, 0xA0B0C0D0, 0x0E0F1011)}, {0xFFC0}, 0, 11, 0x0045, 0, {},
         kEnter + kList + "API_TRACEV: 0 (FFC0)\t00000001-00000002\n" +
             "API_TRACEV: 1 (0045)\tA0B0C0D0-0E0F1011\n" + kListEnd + "API_TRACE: Exit FindNode (ret 11)\n\n"},
        {"blank at the second probe node", {}, {0xFFC1}, 0, 0, 0xFFC1, 1,
         {W(0xFFC0, FLASH_PORT_CTRL, 0), W(0xFFC1, FLASH_PORT_CTRL, 0)},
         kEnter + kList + kListEnd + Probe(0xFFC0) + Probe(0xFFC1) + "API_TRACE: Blank device detected\n" +
             Target("FFC1") + "API_TRACE: Exit FindNode (ret 0)\n\n"},
        {"blank asked for: no list", {Node(0x3FF, 2, 0, 0)}, {0xFFC0, 0xFFC1}, 1, 0, 0xFFC0, 1,
         {W(0xFFC0, FLASH_PORT_CTRL, 0)},
         kEnter + Probe(0xFFC0) + "API_TRACE: Blank device detected\n" + Target("FFC0") +
             "API_TRACE: Exit FindNode (ret 0)\n\n"},
        {"nothing anywhere", {}, {}, 7, 11, 0x1234, 7,
         {W(0xFFC0, FLASH_PORT_CTRL, 0), W(0xFFC1, FLASH_PORT_CTRL, 0), W(0xFFC2, FLASH_PORT_CTRL, 0)},
         kEnter + Probe(0xFFC0) + Probe(0xFFC1) + Probe(0xFFC2) + "API_TRACE: Exit FindNode (ret 11)\n\n"},
    };
    for (const FindCase& c : cases) {
        SCOPED_TRACE(c.name);
        Open(TRACE_API | TRACE_API_VERBOSE);
        driver_.ClearScript();
        driver_.ClearRequests();
        driver_.SetDefault(IOCTL_GET_NODE_LIST, ScriptedReply::NodeList(c.listed));
        driver_.SetHandler(FlashPortAt(c.flashPorts));
        uint16_t node = 0x1234;
        uint32_t blank = c.blankIn;
        EXPECT_EQ(FindNode(&node, &blank), c.result);
        EXPECT_EQ(node, c.nodeOut);
        EXPECT_EQ(blank, c.blankOut);
        EXPECT_EQ(Quadlets(driver_), c.quadlets);
        EXPECT_EQ(debug_.Text(), c.trace);
        // The list is asked for with room for exactly ten records plus the count.
        const auto lists = driver_.RequestsWithCode(IOCTL_GET_NODE_LIST);
        ASSERT_EQ(lists.size(), c.blankIn == 0 ? 1u : 0u);
        if (!lists.empty()) {
            EXPECT_EQ(lists[0].outLength, 204u);
        }
        const auto targets = driver_.RequestsWithCode(IOCTL_SET_TARGET_NODE);
        if (c.result == 0) {
            ASSERT_EQ(targets.size(), 1u);
            EXPECT_EQ(targets[0].input, (std::vector<uint8_t>{uint8_t(c.nodeOut), uint8_t(c.nodeOut >> 8)}));
        } else {
            EXPECT_TRUE(targets.empty());
        }
        CloseLORIC();
    }
}

TEST_F(DiscoveryTest, ALongerListIsCutToTheTenRecordsOfTheBuffer) {
    Open(TRACE_API_VERBOSE);
    std::vector<NODE_INFO> nodes;
    for (uint16_t i = 0; i < 14; ++i) nodes.push_back(Node(0x3FF, i, i, 0));
    driver_.SetDefault(IOCTL_GET_NODE_LIST, ScriptedReply::NodeList(nodes));
    uint16_t node = 0;
    uint32_t blank = 0;
    EXPECT_EQ(FindNode(&node, &blank), 11u);
    EXPECT_EQ(node, 0xFFC9);  // the tenth record
    const std::string text = debug_.Text();
    EXPECT_NE(text.find("API_TRACEV: 9 (FFC9)\t00000009-00000000\n"), std::string::npos);
    EXPECT_EQ(text.find("API_TRACEV: 10 ("), std::string::npos);
    EXPECT_TRUE(Quadlets(driver_).empty());
}

TEST_F(DiscoveryTest, FailedProbesReportTheirOwnErrorLinesOnly) {
    Open(TRACE_ERROR);
    driver_.FailAlways(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice);
    uint16_t node = 0;
    uint32_t blank = 1;
    EXPECT_EQ(FindNode(&node, &blank), 11u);
    const std::string line = "ERROR INFO: AsynWrite Error = 0x45d\r\n"
                             "LORIC ERROR: 1394 Quadlet write of address offset 0xF0080000 failed\n";
    EXPECT_EQ(debug_.Text(), line + line + line);
    char text[128];
    ASSERT_EQ(GetErrorText(10, text), 0u);
    EXPECT_STREQ(text, "1394 Quadlet write of address offset 0xF0080000 failed");
}

TEST_F(DiscoveryTest, ClosedApiStillProbesAndFindsNothing) {
    Open(TRACE_ERROR);
    CloseLORIC();
    debug_.Clear();
    uint16_t node = 0;
    uint32_t blank = 0;
    EXPECT_EQ(FindNode(&node, &blank), 11u);
    const std::string denied = "LORIC ERROR: Access to the 1394 device driver was denied\n";
    EXPECT_EQ(debug_.Text(), denied + denied + denied + denied);  // node list, then three probes
    EXPECT_TRUE(driver_.Requests().empty());
}

TEST_F(DiscoveryTest, ARefusedTargetNodeDoesNotUndoTheFind) {
    Open(TRACE_ERROR);
    driver_.SetDefault(IOCTL_GET_NODE_LIST, ScriptedReply::NodeList({Node(0x3FF, 4, 0, 0)}));
    driver_.FailNext(IOCTL_SET_TARGET_NODE, platform::kErrorBusy);
    uint16_t node = 0;
    uint32_t blank = 0;
    EXPECT_EQ(FindNode(&node, &blank), 0u);
    EXPECT_EQ(node, 0xFFC4);
    EXPECT_EQ(debug_.Text(), "LORIC ERROR: Internal driver error (GetLastError = 170)\n");
}

TEST_F(DiscoveryTest, FindNodeRejectsMissingOutputs) {
    Open(TRACE_ERROR);
    uint16_t node = 0;
    uint32_t blank = 0;
    EXPECT_EQ(FindNode(nullptr, &blank), 5u);
    EXPECT_EQ(FindNode(&node, nullptr), 5u);
    EXPECT_TRUE(driver_.Requests().empty());
}

TEST_F(DiscoveryTest, GetNodeInfoReturnsTheLinksListAndReportsItsFailures) {
    Open(TRACE_ERROR | TRACE_API_VERBOSE);
    NODE_INFO records[3] = {};
    uint32_t count = 99;
    driver_.Queue(IOCTL_GET_NODE_LIST, ScriptedReply::NodeList({Node(0x3FF, 1, 5, 6), Node(0x3FF, 3, 7, 8)}));
    EXPECT_EQ(GetNodeInfo(&count, records, sizeof records), 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(records[1].nodeNumber, 3);
    EXPECT_EQ(records[1].idLow, 8u);
    EXPECT_EQ(debug_.Text(), "API_TRACEV: Enter GetNodeInfo\nAPI_TRACEV: Exit GetNodeInfo (ret 0)\n");

    debug_.Clear();
    driver_.FailNext(IOCTL_GET_NODE_LIST, platform::kErrorGenFailure);
    count = 99;
    EXPECT_EQ(GetNodeInfo(&count, records, sizeof records), 4u);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(debug_.Text(), "API_TRACEV: Enter GetNodeInfo\n"
                             "LORIC ERROR: Internal driver error (GetLastError = 31)\n"
                             "API_TRACEV: Exit GetNodeInfo (ret 4)\n");

    // No reply buffer of this size plus the count can exist: status 8 names the size + 4,
    // which wraps.
    debug_.Clear();
    EXPECT_EQ(GetNodeInfo(&count, records, 0xFFFFFFFFu), 8u);
    EXPECT_EQ(debug_.Text(), "API_TRACEV: Enter GetNodeInfo\n"
                             "LORIC ERROR: Unable to allocate 3 byte memory block\n"
                             "API_TRACEV: Exit GetNodeInfo (ret 8)\n");

    debug_.Clear();
    EXPECT_EQ(GetNodeInfo(nullptr, records, 20), 5u);
    EXPECT_EQ(GetNodeInfo(&count, nullptr, 20), 5u);
    CloseLORIC();
    EXPECT_EQ(GetNodeInfo(&count, records, 20), 3u);
    EXPECT_EQ(driver_.RequestsWithCode(IOCTL_GET_NODE_LIST).size(), 2u);
}

}  // namespace
}  // namespace loric::test
