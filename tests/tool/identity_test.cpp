// The board's EUI-64: kept by a running board, given by --guid exactly as asked, handed out
// once each from a counter shared by two stations, spent by a failed board, and refused
// before the board is touched when the source cannot give one.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include "identity.h"
#include "record.h"
#include "rom_decode.h"
#include "tool_folder.h"

namespace {

using tool_test::Folder;
using tool_test::json;
using tool_test::kDescription;
using tool_test::kImages;
using tool_test::With;

const std::string kFirmware = kImages + "firmware.bin", kLoader = kImages + "loader.bin";
const std::vector<std::string> kBlankProgram = {"program", kFirmware, kDescription, "--loader",
                                                kLoader};

// The configuration in the board's flash (examples/config.json makes 344 bytes), checked whole.
std::vector<uint8_t> FlashConfig(const Folder& f, const std::string& state = "state") {
    EXPECT_EQ(
        f.Tool({"--sim", "--state", f.dir + "/" + state, "dump", "0x10000", "344", "-o", "rom.bin"},
               false)
            .code,
        0);
    const std::string text = f.File("rom.bin");
    std::vector<uint8_t> bytes(text.begin(), text.end());
    const tool::RomReport report = tool::DecodeConfigImage(bytes);
    EXPECT_TRUE(report.valid && report.crcFailed == 0) << report.text;
    return bytes;
}

uint64_t FlashId(const Folder& f, const std::string& state = "state") {
    return tool::ImageEui64(FlashConfig(f, state)).value_or(0);
}

std::string Counter(const char* next, const char* last) {
    return std::string("{\"next\": \"") + next + "\", \"last\": \"" + last + "\", \"step\": 1}\n";
}

// A board that has its own id keeps it through a configuration upload and a program of the
// example description (which carries 0x00C0DE0000010203), each saying so; --guid writes exactly
// the bus information block asked for, the vendor coming from the description when only the
// unit part is given.
TEST(Identity, ARunningBoardKeepsItsIdAndGuidGivesExactlyTheBytesAsked) {
    Folder f;
    auto run = f.Tool(With(kBlankProgram, {"--guid", "0x0A0B0C1122334455"}));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("Board gets EUI-64 0x0A0B0C1122334455 (--guid).\n"), std::string::npos);
    const std::vector<uint8_t> rom = FlashConfig(f);
    EXPECT_EQ(std::vector<uint8_t>(rom.begin() + 116, rom.begin() + 124),
              (std::vector<uint8_t>{0x11, 0x0C, 0x0B, 0x0A, 0x55, 0x44, 0x33, 0x22}));

    for (const auto& job : {std::vector<std::string>{"config", "upload", kDescription},
                            std::vector<std::string>{"program", kFirmware, kDescription}}) {
        SCOPED_TRACE(job[0]);
        run = f.Tool(With(job, {"--no-backup"}));
        ASSERT_EQ(run.code, 0) << run.err;
        EXPECT_NE(run.out.find("Board keeps its EUI-64 0x0A0B0C1122334455.\n"), std::string::npos);
        EXPECT_EQ(FlashId(f), 0x0A0B0C1122334455u);
    }
    const json document =
        f.Document({"config", "upload", kDescription, "--no-backup", "--guid", "0x99AABBCCDD"});
    EXPECT_EQ(document["result"]["eui64"], "0x00C0DE99AABBCCDD");
    EXPECT_EQ(document["result"]["eui64_source"], "guid");
    EXPECT_EQ(document["eui64_before"], "0x0A0B0C1122334455");
    EXPECT_EQ(FlashId(f), 0x00C0DE99AABBCCDDu);
}

// Two stations, two tools at once, program five blank boards each from one counter file: ten
// boards, ten ids, each in the job record, and the counter advanced by ten.
TEST(Identity, TwoStationsSharingACounterGiveTenBoardsTenIds) {
    Folder f;
    f.Put("ids.json", Counter("0x0000000100", "0x00000001FF"));
    std::string stations;
    for (int station = 0; station < 2; ++station) {
        stations += "(";
        for (int board = 0; board < 5; ++board) {
            const std::string state = f.dir + "/board" + std::to_string(station * 5 + board);
            stations += f.Command(With({"--sim", "--state", state, "-q", "--report", "jobs.jsonl"},
                                       With(kBlankProgram, {"--guid-counter", "ids.json"})),
                                  false) +
                        " >/dev/null 2>&1; ";
        }
        stations += ") & ";
    }
    ASSERT_EQ(tool_test::Run(f.dir, stations + "wait").code, 0);
    std::set<std::string> ids;
    for (const json& job : f.Lines("jobs.jsonl")) {
        EXPECT_EQ(job["exit_code"], 0) << job.dump();
        EXPECT_EQ(job["result"]["eui64_source"], "counter");
        ids.insert(job["eui64_after"].get<std::string>());
    }
    std::set<std::string> expected;
    for (int i = 0; i < 10; ++i) expected.insert(tool::Eui64Text(0x00C0DE0000000100u + i));
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(expected.count(tool::Eui64Text(FlashId(f, "board7"))), 1u);
    EXPECT_EQ(json::parse(f.File("ids.json"))["next"], "0x000000010A");
}

// A board whose upload checksum fails spends its id: the counter records it and does not give
// it again; the next board gets the next id, the counter's last. The record of the failed job
// names the spent id.
TEST(Identity, AFailedBoardSpendsItsIdAndTheNextBoardGetsTheNext) {
    Folder f;
    f.Put("ids.json", Counter("0x0000000100", "0x0000000101"));
    const auto job = With({"--report", "jobs.jsonl"},
                          With(kBlankProgram, {"--guid-counter", "ids.json", "--no-verify"}));
    EXPECT_NE(f.Tool(With({"--sim-fault", "checksum:1"}, job)).code, 0);
    ASSERT_EQ(f.Tool(job).code, 0);
    const json counter = json::parse(f.File("ids.json"));
    EXPECT_EQ(counter["next"], "0x0000000102");
    ASSERT_EQ(counter["spent"].size(), 1u);
    EXPECT_EQ(counter["spent"][0]["id"], "0x0000000100");
    const std::vector<json> jobs = f.Lines("jobs.jsonl");
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0]["eui64_spent"], "0x00C0DE0000000100");
    EXPECT_FALSE(jobs[0].contains("eui64_after"));
    EXPECT_EQ(jobs[1]["eui64_after"], "0x00C0DE0000000101");
    EXPECT_EQ(FlashId(f), 0x00C0DE0000000101u);
}

// Taking an id waits for the lock beside the counter: a holder that rewrites the counter while
// it holds the lock is never overtaken, so the tool takes the id the holder left as next.
TEST(Identity, TakingAnIdWaitsForTheCountersLock) {
    Folder f;
    f.Put("ids.json", Counter("0x0000000100", "0x00000001FF"));
    f.Put("new.json", Counter("0x0000000300", "0x00000003FF"));
    const std::string tool =
        f.Command(With(kBlankProgram, {"--guid-counter", "ids.json", "--no-verify"}));
    ASSERT_EQ(tool_test::Run(f.dir,
                             "flock ids.json.lock sh -c 'sleep 1; cp new.json ids.json' & "
                             "sleep 0.2; " +
                                 tool + " >/dev/null 2>&1; wait")
                  .code,
              0);
    EXPECT_EQ(FlashId(f), 0x00C0DE0000000300u);
}

// A list hands out its lines in order, each once, marking it; a comment line stays.
TEST(Identity, AListGivesEachLineOnceAndMarksItUsed) {
    Folder f;
    f.Put("ids.txt", "# line 3\n0x00C0DE0000000042\n1122334455\n");
    const auto job = With(kBlankProgram, {"--guid-list", "ids.txt", "--no-verify"});
    ASSERT_EQ(f.Tool(job).code, 0);
    ASSERT_EQ(
        f.Tool({"config", "upload", kDescription, "--no-backup", "--guid-list", "ids.txt"}).code,
        0);
    EXPECT_EQ(FlashId(f), 0x00C0DE1122334455u);
    EXPECT_TRUE(std::regex_match(
        f.File("ids.txt"),
        std::regex(
            "# line 3\n0x00C0DE0000000042 used 2[-0-9T:.]+Z\n1122334455 used 2[-0-9T:.]+Z\n")));
}

// A blank board takes the description's own id when no option gives one; a second board given
// it is warned about when the job record shows it given already.
TEST(Identity, TheDescriptionsIdGivenTwiceIsWarnedAbout) {
    Folder f;
    const auto job = With({"--report", "jobs.jsonl"}, With(kBlankProgram, {"--no-verify"}));
    auto run = f.Tool(With({"--state", f.dir + "/a", "--sim"}, job), false);
    ASSERT_EQ(run.code, 0);
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
    run = f.Tool(With({"--state", f.dir + "/b", "--sim"}, job), false);
    ASSERT_EQ(run.code, 0);
    EXPECT_NE(run.err.find("loric: warning: the job record jobs.jsonl shows EUI-64 "
                           "0x00C0DE0000010203 given to a board already"),
              std::string::npos)
        << run.err;
}

// Sources that cannot give an id are refused before the board is touched: its flash and the
// source file stay as they were. Each refusal's message, in order, in one golden file.
TEST(Identity, SourcesThatCannotGiveAnIdAreRefusedBeforeTheBoard) {
    Folder f;
    ASSERT_EQ(f.Tool(kBlankProgram).code, 0);
    const std::string flash = f.File("state/flash.bin");
    const std::pair<std::string, std::string> files[] = {
        {"used-up.json", Counter("0x0000000200", "0x00000001FF")},
        {"not-json.json", "{\"next\": \"0x0000000100\",\n"},
        {"no-last.json", "{\"next\": \"0x0000000100\"}"},
        {"too-wide.json", Counter("0x10000000000", "0x10000000001")},
        {"step-zero.json", "{\"next\": \"0x01\", \"last\": \"0x02\", \"step\": 0}"},
        {"used.txt", "0x0000000001 used 2026-12-07T06:30:00.123Z\n"},
        {"bad-line.txt", "0x0000000001\n0x12345\n"},
    };
    std::string transcript;
    auto attempt = [&](const std::vector<std::string>& options) {
        const auto run = f.Tool(With({"config", "upload", kDescription}, options));
        std::string shown;
        for (const auto& option : options) shown += " " + option;
        transcript +=
            "==" + shown + "\nexit " + std::to_string(run.code) + "\n" + run.out + run.err;
    };
    for (const auto& [name, text] : files) {
        f.Put(name, text);
        attempt({name.find(".json") != std::string::npos ? "--guid-counter" : "--guid-list", name});
        EXPECT_EQ(f.File(name), text) << name;
    }
    attempt({"--guid", "0x123"});
    attempt({"--guid", "0x0000000001", "--guid-list", "used.txt"});
    EXPECT_EQ(f.File("state/flash.bin"), flash);
    loric::test::ExpectGolden("tool/identity/refused.txt", transcript);
}

}  // namespace
