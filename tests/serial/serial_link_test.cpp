// The serial link frame by frame, against an adapter whose answers each test scripts.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "bus/async.h"
#include "link/registers.h"
#include "link/serial_link.h"
#include "support/fake_clock.h"
#include "support/scripted_adapter.h"

namespace loric {

bool operator==(const CommandPair& a, const CommandPair& b) { return a.address == b.address && a.data == b.data; }
void PrintTo(const CommandPair& p, std::ostream* os) { *os << "(0x" << std::hex << p.address << ", 0x" << p.data << ")"; }

namespace {

using test::Bytes;
using test::FakeClock;
using test::ScriptedAdapter;

Bytes ReadReply(uint32_t value) {
    Bytes reply{0x05, 0x08, 0x00, 0x00};
    test::PutLe32(reply, value);
    return reply;
}

class SerialLinkTest : public ::testing::Test {
protected:
    std::unique_ptr<SerialLink> Open() {
        auto link = std::make_unique<SerialLink>(adapter.Path().c_str());
        adapter.ClearFrames();
        return link;
    }

    // A (address, data) command pair from the three flash port words of one write cycle.
    static std::vector<CommandPair> Cycles(const std::vector<uint32_t>& words) {
        std::vector<CommandPair> pairs;
        for (size_t i = 0; i + 2 < words.size(); i += 3) {
            EXPECT_EQ(words[i] & 0xFFF00000u, FLASH_PORT_ADDRESS_CYCLE) << "word " << i;
            EXPECT_EQ(words[i + 1] & 0xFFFF0000u, FLASH_PORT_DATA_CYCLE) << "word " << i + 1;
            EXPECT_EQ(words[i + 2] & 0xFFFF0000u, FLASH_PORT_DATA_END) << "word " << i + 2;
            EXPECT_EQ(words[i + 1] & 0xFFFF, words[i + 2] & 0xFFFF);
            pairs.push_back({words[i] & 0xFFFFF, words[i + 1] & 0xFFFF});
        }
        EXPECT_EQ(words.size() % 3, 0u);
        return pairs;
    }

    FakeClock clock;
    ScriptedAdapter adapter;
};

// ---- Construction ------------------------------------------------------------------------

TEST_F(SerialLinkTest, PortThatCannotBeOpenedOrSetUpOrFailsTheEchoThrows) {
    struct Case {
        const char* name;  // null: the scripted adapter, answering the echo with `reply`
        Bytes reply;
        const char* what;
    } cases[] = {
        {"", {}, "couldn't create file"},
        {"/nonexistent/port", {}, "couldn't create file"},
        {"/dev/null", {}, "couldn't get comm params"},                           // not a terminal
        {nullptr, {0x02, 0x07, 0x01, 0x02, 0x03, 0x04, 0x06}, "test failed"},  // last byte differs
        {nullptr, {0x02, 0x06, 0x01, 0x02, 0x03, 0x04}, "test failed"},        // one byte short
        {nullptr, {0x03, 0x07, 0x01, 0x02, 0x03, 0x04, 0x05}, "test failed"},  // other reply code
        {nullptr, {0xAA, 0x02}, "test failed"},                                // refused
    };
    for (const Case& c : cases) {
        if (!c.name) adapter.Queue(c.reply);
        try {
            SerialLink link(c.name ? c.name : adapter.Path().c_str());
            ADD_FAILURE() << (c.name ? c.name : "echo") << " " << c.reply.size();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.what) << (c.name ? c.name : "echo") << " " << c.reply.size();
        }
    }
}
TEST(SerialPortNames, ComNamesAreTheMachinesSerialPortsNotFiles) {
    // A file named like the port in the current directory must not be what is opened.
    const std::string dir = ::testing::TempDir();
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    for (const char* name : {"COM2", "com2", "\\\\.\\COM2"}) {
        { std::ofstream(name) << "not a port"; }
        platform::Handle port = platform::OpenSerialPort(name);
        if (port != platform::kInvalidHandle) {
            struct stat st {};
            ASSERT_EQ(::fstat(static_cast<int>(reinterpret_cast<intptr_t>(port)), &st), 0);
            EXPECT_TRUE(S_ISCHR(st.st_mode)) << name;  // /dev/ttyS1
            platform::CloseSerialPort(port);
        }
        std::filesystem::remove(name);
    }
    std::filesystem::current_path(cwd);
}

TEST_F(SerialLinkTest, FailedLocalNodeQueryRemapsNothing) {
    const Bytes replies[] = {{0xAA, 0x02}, {0x07, 0x02}, {0x06, 0x04, 0xFF, 0xC2}, {0x07, 0x03, 0xFF}};
    for (const Bytes& reply : replies) {
        adapter.Queue(Bytes{0x02, 0x07, 0x01, 0x02, 0x03, 0x04, 0x05});
        adapter.Queue(reply);
        SerialLink link(adapter.Path().c_str());
        EXPECT_FALSE(link.HasLocalNode());
        for (uint32_t node : {0x0000u, 0xFFC0u, 0xFFC2u, 0xFFFFu}) {
            link.SetTargetNode(static_cast<uint16_t>(node));
            EXPECT_EQ(link.TargetNode(), node);
        }
    }
}

// ---- Frames and replies ------------------------------------------------------------------

TEST_F(SerialLinkTest, ReadQuadletFrameAndValue) {
    auto link = Open();
    link->SetTargetNode(0x3FF << 6 | 5);
    adapter.Queue(Bytes{0x05, 0x08, 0x00, 0x00, 0x21, 0x6B, 0x4F, 0x41});
    uint32_t value = 0;
    ASSERT_TRUE(link->ReadQuadletCommand(0x1FFFF, FLASH_UPLOAD_CTRL, &value));  // offset high: 16 bits
    EXPECT_EQ(value, UPLOADER_READY);
    EXPECT_EQ(adapter.Frames().at(0),
              (Bytes{0x05, 0x10, 0x00, 0x00, 0xC5, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x08, 0x00, 0x09, 0xF0}));
}

TEST_F(SerialLinkTest, ResendRequestsRepeatTheSameFrame) {
    auto link = Open();
    link->SetTargetNode(0xFFC0);
    adapter.Queue(Bytes{0x00, 0x02});
    adapter.Queue(Bytes{0x00, 0x02});
    adapter.Queue(ReadReply(0xCAFEF00D));
    uint32_t value = 0;
    ASSERT_TRUE(link->ReadQuadletCommand(0xFFFF, FLASH_READ_CTRL, &value));
    EXPECT_EQ(value, 0xCAFEF00Du);
    const auto frames = adapter.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1], frames[0]);
    EXPECT_EQ(frames[2], frames[0]);
}

TEST_F(SerialLinkTest, FailingRepliesOfQuadletCommands) {
    struct Case {
        const char* what;
        Bytes reply;
    } cases[] = {
        {"refused", {0xAA, 0x02}},
        {"no data", {0x05, 0x02}},
        {"other code", {0x04, 0x08, 0, 0, 1, 2, 3, 4}},
        {"too short for a value", {0x05, 0x06, 0, 0, 1, 2}},
    };
    auto link = Open();
    for (const Case& c : cases) {
        adapter.Queue(c.reply);
        platform::SetLastErrorCode(0);
        const int64_t before = clock.NowMs();
        uint32_t value = 0x12345678;
        EXPECT_FALSE(link->ReadQuadletCommand(0xFFFF, FLASH_READ_CTRL, &value)) << c.what;
        EXPECT_EQ(value, 0x12345678u) << c.what;
        EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorBusy) << c.what;
        EXPECT_LT(clock.NowMs() - before, 1000) << c.what;  // at once, not at the time-out
    }
    for (const Bytes& reply : {Bytes{0xAA, 0x02}, Bytes{0x04, 0x02}}) {
        adapter.Queue(reply);
        platform::SetLastErrorCode(0);
        EXPECT_FALSE(link->WriteQuadletCommand(0xFFFF, CSR_MODE_CTRL, 1));
        EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorBusy);
    }
}

TEST_F(SerialLinkTest, SilenceTimesOutBetweenThreeAndFourSeconds) {
    auto link = Open();
    clock.SetStep(200);  // each poll moves the replaced clock on
    for (int startMs : {0, 999}) {
        clock.Advance((1000 - clock.NowMs() % 1000 + startMs) % 1000);
        adapter.Queue(ScriptedAdapter::Reply{});
        platform::SetLastErrorCode(0);
        const int64_t before = clock.NowMs();
        uint32_t value = 0;
        EXPECT_FALSE(link->ReadQuadletCommand(0xFFFF, FLASH_READ_CTRL, &value));
        const int64_t elapsed = clock.NowMs() - before;
        EXPECT_GT(elapsed, 3000) << "start at ms " << startMs;
        EXPECT_LE(elapsed, 4000 + 2 * 200) << "start at ms " << startMs;
        EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorBusy);
    }
    // The bare transaction tells a time-out apart.
    adapter.Queue(ScriptedAdapter::Reply{});
    const uint8_t frame[2] = {0x06, 0x02};
    EXPECT_FALSE(link->Transact(frame));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorTimeout);
}

TEST_F(SerialLinkTest, ReplyArrivingInPiecesIsAssembled) {
    auto link = Open();
    const Bytes reply = ReadReply(0x01020304);
    ScriptedAdapter::Reply pieces;
    for (uint8_t b : reply) pieces.push_back({{b}, 15});
    adapter.Queue(pieces);
    uint32_t value = 0;
    ASSERT_TRUE(link->ReadQuadletCommand(0xFFFF, FLASH_READ_CTRL, &value));
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_EQ(adapter.FrameCount(), 1u);
}

TEST_F(SerialLinkTest, ReplyLongerThanTheBufferFailsAtTheTimeOut) {
    auto link = Open();
    clock.SetStep(50);
    Bytes reply{0x05, 0xC8, 0x00, 0x00};
    reply.resize(200, 0x5A);
    adapter.Queue(reply);
    const int64_t before = clock.NowMs();
    uint32_t value = 0;
    EXPECT_FALSE(link->ReadQuadletCommand(0xFFFF, FLASH_READ_CTRL, &value));
    EXPECT_GT(clock.NowMs() - before, 3000);
    EXPECT_EQ(value, 0u);
}

TEST_F(SerialLinkTest, PortThatTakesNothingEndsAtTheTimeOut) {
    auto link = Open();
    adapter.StopLine(true);
    const int64_t before = clock.NowMs();
    EXPECT_FALSE(link->WriteQuadletCommand(0xFFFF, CSR_MODE_CTRL, MODE_EDIT));
    EXPECT_GT(clock.NowMs() - before, 3000);
    EXPECT_LE(clock.NowMs() - before, 4100);
    EXPECT_EQ(adapter.FrameCount(), 0u);

    adapter.StopLine(false);  // the next transaction goes through whole
    EXPECT_TRUE(link->WriteQuadletCommand(0xFFFF, CSR_MODE_CTRL, MODE_EDIT));
    EXPECT_EQ(adapter.WrittenValues(), (std::vector<uint32_t>{MODE_EDIT}));
}

TEST_F(SerialLinkTest, HungUpLineFailsWithoutWaitingForTheTimeOut) {
    auto link = Open();
    adapter.HangUp();
    const int64_t before = clock.NowMs();
    uint32_t value = 0;
    EXPECT_FALSE(link->ReadQuadletCommand(0xFFFF, FLASH_READ_CTRL, &value));
    EXPECT_LT(clock.NowMs() - before, 1000);
    EXPECT_NE(platform::GetLastErrorCode(), 0u);
}

// ---- Target node, node list ----------------------------------------------------------------

TEST_F(SerialLinkTest, LocalNodeIsAddressedAsFFC1) {
    auto link = Open();
    link->SetTargetNode(0xFFC0);
    EXPECT_EQ(link->TargetNode(), 0xFFC0);
    link->SetTargetNode(0xFFC2);
    EXPECT_EQ(link->TargetNode(), 0xFFC1);
    ASSERT_TRUE(link->WriteQuadletCommand(0xFFFF, FLASH_PORT_CTRL, 0));
    EXPECT_EQ(test::Le32(adapter.Frames().at(0), 4), 0xFFC1u);
}

Bytes NodeListReply(uint8_t claimed, const std::vector<std::array<uint32_t, 3>>& entries) {
    Bytes reply{0x03, 0, claimed, 0};
    for (const auto& e : entries) {
        reply.push_back(static_cast<uint8_t>(e[0]));
        reply.push_back(static_cast<uint8_t>(e[0] >> 8));
        reply.push_back(0xEE);
        reply.push_back(0xEE);
        test::PutLe32(reply, e[1]);
        test::PutLe32(reply, e[2]);
    }
    reply[1] = static_cast<uint8_t>(reply.size());
    return reply;
}

TEST_F(SerialLinkTest, NodeListEntriesBecomeRecords) {
    auto link = Open();
    adapter.Queue(NodeListReply(2, {{0xFFC0, 0x00112233, 0x44556677}, {0xFFC2, 0x8899AABB, 0xCCDDEEFF}}));
    NODE_INFO records[4];
    std::memset(records, 0x77, sizeof records);
    ASSERT_EQ(link->GetNodeList(records, sizeof records), 2u);
    EXPECT_EQ(adapter.Frames().at(0), (Bytes{0x03, 0x02}));
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(records[k].reserved[0], 0xDEADBEEFu);
        EXPECT_EQ(records[k].reserved[1], 0xDEADBEEFu);
        EXPECT_EQ(records[k].busNumber, 0x3FF);
    }
    EXPECT_EQ(records[0].nodeNumber, 0);
    EXPECT_EQ(records[1].nodeNumber, 2);
    EXPECT_EQ(records[0].idHigh, 0x00112233u);
    EXPECT_EQ(records[0].idLow, 0x44556677u);
    EXPECT_EQ(records[1].idHigh, 0x8899AABBu);
    EXPECT_EQ(records[1].idLow, 0xCCDDEEFFu);
    EXPECT_EQ(records[2].reserved[0], 0x77777777u);  // nothing past the list
}

TEST_F(SerialLinkTest, NodeListIsBoundedByTheReplyAndTheBuffer) {
    auto link = Open();
    const std::vector<std::array<uint32_t, 3>> two{{0xFFC0, 1, 2}, {0xFFC1, 3, 4}};
    struct Case {
        const char* what;
        Bytes reply;
        uint32_t bufferRecords;
        uint32_t count;
        uint32_t filled;
    } cases[] = {
        {"claims more than it carries", NodeListReply(9, two), 4, 2, 2},
        {"buffer for one record", NodeListReply(2, two), 1, 2, 1},
        {"buffer of 0 bytes", NodeListReply(2, two), 0, 2, 0},
        {"refused", {0xAA, 0x02}, 4, 0, 0},
        {"no data", {0x03, 0x02}, 4, 0, 0},
        {"length below the first entry", {0x03, 0x03, 0x05}, 4, 0, 0},
    };
    for (const Case& c : cases) {
        adapter.Queue(c.reply);
        NODE_INFO records[5];
        std::memset(records, 0x77, sizeof records);
        EXPECT_EQ(link->GetNodeList(records, c.bufferRecords * sizeof(NODE_INFO)), c.count) << c.what;
        for (uint32_t k = 0; k < 5; ++k)
            EXPECT_EQ(records[k].reserved[0] == 0xDEADBEEF, k < c.filled) << c.what << " record " << k;
    }
}

// ---- Resets, command set, erase, upload ----------------------------------------------------

TEST_F(SerialLinkTest, ResetKinds) {
    auto link = Open();
    link->SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 8));

    platform::SetLastErrorCode(0);
    EXPECT_FALSE(link->Reset(3));
    EXPECT_NE(platform::GetLastErrorCode(), 0u);
    EXPECT_EQ(adapter.FrameCount(), 0u);

    adapter.Queue(Bytes{0xAA, 0x02});
    EXPECT_TRUE(link->Reset(RESET_DEVICE));
    EXPECT_EQ(adapter.WrittenValues(), (std::vector<uint32_t>{FLASH_PORT_DEVICE_RESET}));
    EXPECT_EQ(test::Le32(adapter.Frames().at(0), 12), FLASH_PORT_CTRL);

    adapter.ClearFrames();
    EXPECT_TRUE(link->Reset(RESET_FLASH));
    EXPECT_EQ(Cycles(adapter.WrittenValues()), (std::vector<CommandPair>{{0, 0xF0}}));

    adapter.ClearFrames();
    const int64_t before = clock.NowMs();
    EXPECT_TRUE(link->Reset(RESET_BUS));
    EXPECT_EQ(adapter.Frames(), (std::vector<Bytes>{{0x06, 0x02}}));
    EXPECT_GE(clock.NowMs() - before, 1000);  // waits a second after the reset

    adapter.Queue(Bytes{0xAA, 0x02});
    platform::SetLastErrorCode(0);
    EXPECT_FALSE(link->Reset(RESET_BUS));
    EXPECT_NE(platform::GetLastErrorCode(), 0u);
}

TEST_F(SerialLinkTest, CommandSetWithBitsNineToFifteenIsRefused) {
    auto link = Open();
    EXPECT_TRUE(link->SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 16)));  // bit 8 is the bus width
    EXPECT_FALSE(link->SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(6, 8)));
    FLASH_COMMAND_SET custom = FLASH_COMMAND_SET::BuiltIn(1, 8);
    custom.words[0] = 0x64108010;  // bit 15
    EXPECT_FALSE(link->SetFlashCommandSet(custom));
    // The refused set is kept all the same: its (empty) program group sends nothing.
    custom = FLASH_COMMAND_SET::BuiltIn(6, 8);
    link->SetFlashCommandSet(custom);
    const uint8_t data[] = {1, 2};
    EXPECT_TRUE(link->UploadBlock(true, {0, 2, data, 0}));
    EXPECT_EQ(adapter.FrameCount(), 0u);
}

TEST_F(SerialLinkTest, SectorEraseThenChipErase) {
    auto link = Open();
    link->SetTargetNode(0xFFC0);
    ASSERT_TRUE(link->SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 8)));
    ASSERT_TRUE(link->EraseSector(0x8000));
    EXPECT_EQ(Cycles(adapter.WrittenValues()), (std::vector<CommandPair>{
                                                   {0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0x80},
                                                   {0x555, 0xAA}, {0x2AA, 0x55}, {0x8000, 0x30}}));
    for (const Bytes& f : adapter.Frames()) {
        EXPECT_EQ(test::Le32(f, 4), 0xFFC0u);
        EXPECT_EQ(test::Le32(f, 8), 0xFFFFu);
        EXPECT_EQ(test::Le32(f, 12), FLASH_PORT_CTRL);
    }
    adapter.ClearFrames();
    ASSERT_TRUE(link->EraseSector(ERASE_ALL));
    const auto chip = Cycles(adapter.WrittenValues());
    ASSERT_EQ(chip.size(), 6u);
    EXPECT_EQ(chip.back(), (CommandPair{0x555, 0x10}));

    adapter.ClearFrames();
    ASSERT_TRUE(link->EraseSector(0x123456));  // flash port addresses are 20 bits wide
    EXPECT_EQ(Cycles(adapter.WrittenValues()).back(), (CommandPair{0x23456, 0x30}));
}

TEST_F(SerialLinkTest, FlashPortSequenceStopsAtTheFirstFailedWrite) {
    auto link = Open();
    link->SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 8));
    adapter.Queue(Bytes{0x04, 0x04, 0, 0});
    adapter.Queue(Bytes{0xAA, 0x02});
    platform::SetLastErrorCode(0);
    EXPECT_FALSE(link->EraseSector(0x8000));
    EXPECT_EQ(adapter.FrameCount(), 2u);
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorBusy);

    const CommandPair none[1] = {};
    EXPECT_TRUE(link->FlashPortSequence(none, 0, 0x80001234));
    EXPECT_EQ(adapter.FrameCount(), 2u);
}

TEST_F(SerialLinkTest, FlashPortUploadOfSixteenBitWords) {
    auto link = Open();
    ASSERT_TRUE(link->SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 16)));
    ASSERT_TRUE(link->SetByteProgramDelay(2500));
    const uint8_t data[] = {0x11, 0x22, 0x33, 0x44};
    const uint64_t sleptBefore = clock.SleptMs();
    ASSERT_TRUE(link->UploadBlock(true, {0x100, 4, data, 0}));
    EXPECT_EQ(Cycles(adapter.WrittenValues()),
              (std::vector<CommandPair>{{0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0xA0}, {0x100, 0x2211},
                                        {0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0xA0}, {0x101, 0x4433}}));
    EXPECT_EQ(clock.SleptMs() - sleptBefore, 4u);  // 2 ms after each word
}

TEST_F(SerialLinkTest, FlashPortUploadOfBytesWithUnlockAndReset) {
    auto link = Open();
    ASSERT_TRUE(link->SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(0, 8)));
    const uint8_t data[] = {0xA5, 0x5A};
    const uint64_t sleptBefore = clock.SleptMs();
    ASSERT_TRUE(link->UploadBlock(true, {0xFFFFF, 2, data, 0}));
    EXPECT_EQ(Cycles(adapter.WrittenValues()),
              (std::vector<CommandPair>{{0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0x20},  // unlock once
                                        {0, 0xA0}, {0xFFFFF, 0xA5},                   // byte 0
                                        {0, 0xA0}, {0x00000, 0x5A},                   // byte 1: 20 bits
                                        {0, 0x90}, {0, 0x00}}));                      // reset
    EXPECT_EQ(clock.SleptMs() - sleptBefore, 2u);  // the default 1 ms per byte
}

TEST_F(SerialLinkTest, FlashPortUploadOfAnOddByteCountOnASixteenBitBus) {
    auto link = Open();
    link->SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 16));
    const uint8_t data[] = {0x11, 0x22, 0x33};
    ASSERT_TRUE(link->UploadBlock(true, {0x200, 3, data, 0}));
    const auto pairs = Cycles(adapter.WrittenValues());
    ASSERT_EQ(pairs.size(), 8u);
    EXPECT_EQ(pairs[3], (CommandPair{0x200, 0x2211}));
    EXPECT_EQ(pairs[7], (CommandPair{0x201, 0xFF33}));  // the missing byte stays erased
}

TEST_F(SerialLinkTest, UploadModeSendsWholeQuadletsToTheChecksumRegister) {
    auto link = Open();
    link->SetTargetNode(0xFFC0);
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    ASSERT_TRUE(link->UploadBlock(false, {0x1000, 11, data, 0}));
    EXPECT_EQ(adapter.WrittenValues(), (std::vector<uint32_t>{0x04030201, 0x08070605}));
    for (const Bytes& f : adapter.Frames()) EXPECT_EQ(test::Le32(f, 12), FLASH_UPLOAD_CHECKSUM);

    adapter.ClearFrames();
    EXPECT_TRUE(link->UploadBlock(false, {0x1000, 3, data, 0}));
    EXPECT_EQ(adapter.FrameCount(), 0u);

    adapter.Queue(Bytes{0x04, 0x04, 0, 0});
    adapter.Queue(Bytes{0xAA, 0x02});
    EXPECT_FALSE(link->UploadBlock(false, {0x1000, 11, data, 0}));
    EXPECT_EQ(adapter.FrameCount(), 2u);
}

// ---- Asynchronous requests ------------------------------------------------------------------

QuadletRequest MakeRequest(uint16_t node, uint16_t offsetHigh, uint32_t offsetLow) {
    QuadletRequest r{};
    r.header.bRawMode = 1;
    r.header.bGetGeneration = 1;
    r.header.destinationId = node;
    r.header.offsetHigh = offsetHigh;
    r.header.offsetLow = offsetLow;
    r.header.byteCount = 4;
    return r;
}

TEST_F(SerialLinkTest, AsyncReadPutsTheValueInBusOrderAndKeepsTheTarget) {
    auto link = Open();
    link->SetTargetNode(0xFFC0);
    adapter.SetRegister(FLASH_UPLOAD_CTRL, UPLOADER_READY);
    QuadletRequest r = MakeRequest(0xFFC2, 0xFFFF, FLASH_UPLOAD_CTRL);
    ASSERT_TRUE(link->AsyncRead(reinterpret_cast<uint8_t*>(&r), sizeof r));
    EXPECT_EQ(Bytes(r.data, r.data + 4), (Bytes{0x41, 0x4F, 0x6B, 0x21}));
    EXPECT_EQ(test::Le32(adapter.Frames().at(0), 4), 0xFFC1u);  // the adapter's own node
    EXPECT_EQ(link->TargetNode(), 0xFFC0);

    adapter.Queue(Bytes{0xAA, 0x02});
    platform::SetLastErrorCode(0);
    EXPECT_FALSE(link->AsyncRead(reinterpret_cast<uint8_t*>(&r), sizeof r));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorBusy);
    EXPECT_EQ(link->TargetNode(), 0xFFC0);

    adapter.ClearFrames();
    EXPECT_FALSE(link->AsyncRead(reinterpret_cast<uint8_t*>(&r), 39));  // no room for a quadlet
    EXPECT_EQ(adapter.FrameCount(), 0u);
}

TEST_F(SerialLinkTest, AsyncWriteTakesTheValueFromBusOrder) {
    auto link = Open();
    link->SetTargetNode(0x0001);
    QuadletRequest r = MakeRequest(0xFFC0, 0xFFFF, CSR_MODE_CTRL);
    const uint8_t bus[4] = {0x45, 0x64, 0x69, 0x74};
    std::memcpy(r.data, bus, 4);
    ASSERT_TRUE(link->AsyncWrite(reinterpret_cast<uint8_t*>(&r), sizeof r));
    EXPECT_EQ(adapter.Frames().at(0), (Bytes{0x04, 0x14, 0x00, 0x00, 0xC0, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00,
                                             0x10, 0x00, 0x09, 0xF0, 0x74, 0x69, 0x64, 0x45}));
    EXPECT_EQ(link->TargetNode(), 0x0001);
}

}  // namespace
}  // namespace loric
