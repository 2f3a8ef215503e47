// End to end under umockdev: the built `loric` and libloric.so run under umockdev-wrapper
// while the simulator's firewire-core answers the ioctls and reads of the mocked /dev/fwN
// files, so ioctl numbers, structures and event reading are checked as the kernel sees them.
// Only where umockdev is installed, and not under AddressSanitizer (its preload library).
#if defined(LORIC_HAVE_UMOCKDEV) && defined(LORIC_TOOL_PATH)

#include <sys/ioctl.h>
#include <sys/wait.h>
#include <umockdev.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "program/program_test_util.h"
#include "support/api_fixture.h"
#include "support/golden.h"
#include "tqsim/firewire_core.h"
#include "tqsim/images.h"
#include "tqsim/system.h"

#if defined(__SANITIZE_ADDRESS__)
#define LORIC_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LORIC_UNDER_ASAN 1
#endif
#endif

namespace loric::test {

namespace {

const std::string kDescription = std::string(LORIC_SOURCE_DIR) + "/examples/config.json";
// The EUI-64s of config.bin and of the description.
const char* const kConfigId = "0x0ABCDE0123456789";
const char* const kDescriptionId = "0x00C0DE0000010203";

// Pointers inside an ioctl argument, resolved in the client's memory.
class ClientMemory : public tqsim::FirewireCore::Memory {
public:
    explicit ClientMemory(UMockdevIoctlData* argument) : argument_(argument) {}
    bool Get(void*, size_t field, void* out, size_t size) override {
        return Copy(field, size, out, nullptr);
    }
    bool Put(void*, size_t field, const void* in, size_t size) override {
        return Copy(field, size, nullptr, in);
    }

private:
    bool Copy(size_t field, size_t size, void* out, const void* in) {
        GError* error = nullptr;
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(argument_, field, size, &error);
        if (error != nullptr) g_error_free(error);
        if (data == nullptr) return false;
        if (out != nullptr) std::memcpy(out, data->data, size);
        if (in != nullptr) std::memcpy(data->data, in, size);
        return true;
    }
    UMockdevIoctlData* argument_;
};

// A simulated bus with one board running its firmware and one blank board, served as /dev/fwN
// files of a umockdev test bed.
class UmockdevBench : public ApiTest {
protected:
    void SetUp() override {
#if defined(LORIC_UNDER_ASAN)
        GTEST_SKIP() << "umockdev's preload library does not run with AddressSanitizer";
#endif
        if (std::system("command -v umockdev-wrapper >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "no umockdev-wrapper";
        sim_ = Board(tqsim::image::ExampleFirmware(), config_);
        sim_->AddDevice();  // blank: it answers at its flash port only
        core_ = std::make_unique<tqsim::FirewireCore>(*sim_);
        testbed_ = umockdev_testbed_new();
        // The first catch-up makes the files of the nodes present.
        core_->SetFileListener(
            [this](const std::string& name, bool added) { added ? Add(name) : Remove(name); });
        core_->Sync();
    }
    void TearDown() override {
        while (!handlers_.empty()) Remove(handlers_.begin()->first);
        if (testbed_ != nullptr) g_object_unref(testbed_);
        unsetenv("UMOCKDEV_DIR");
    }

    void Add(const std::string& name) {
        const std::string record =
            "P: /devices/" + name + "\nN: " + name + "=00\nE: SUBSYSTEM=firewire\n\n";
        UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&UmockdevBench::OnIoctl), this);
        g_signal_connect(handler, "handle-read", G_CALLBACK(&UmockdevBench::OnRead), this);
        g_signal_connect(handler, "client-vanished", G_CALLBACK(&UmockdevBench::OnVanished), this);
        GError* error = nullptr;
        ASSERT_TRUE(
            umockdev_testbed_add_from_string(testbed_, record.c_str(), &error) &&
            umockdev_testbed_attach_ioctl(testbed_, ("/dev/" + name).c_str(), handler, &error))
            << error->message;
        handlers_[name] = handler;
    }
    void Remove(const std::string& name) {
        auto it = handlers_.find(name);
        if (it == handlers_.end()) return;
        umockdev_testbed_detach_ioctl(testbed_, ("/dev/" + name).c_str(), nullptr);
        g_object_unref(it->second);
        handlers_.erase(it);
        umockdev_testbed_remove_device(testbed_, ("/sys/devices/" + name).c_str());
    }

    // The core's descriptor of a client's open file (opened at its first call).
    int FileOf(UMockdevIoctlClient* client) {
        auto [it, added] = clients_.try_emplace(client, 0);
        if (added) it->second = core_->Open(umockdev_ioctl_client_get_devnode(client));
        return it->second;
    }
    static void Complete(UMockdevIoctlClient* client, long result) {
        umockdev_ioctl_client_complete(client, result < 0 ? -1 : result,
                                       result < 0 ? static_cast<int>(-result) : 0);
    }
    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* bench = static_cast<UmockdevBench*>(self);
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        GError* error = nullptr;
        UMockdevIoctlData* argument = umockdev_ioctl_data_resolve(
            umockdev_ioctl_client_get_arg(client), 0, _IOC_SIZE(request), &error);
        if (error != nullptr) g_error_free(error);
        const int fd = bench->FileOf(client);
        ClientMemory memory(argument);
        Complete(client, argument == nullptr ? -EFAULT
                         : fd < 0            ? fd
                                  : bench->core_->Ioctl(fd, request, argument->data, memory));
        return TRUE;
    }
    static gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* bench = static_cast<UmockdevBench*>(self);
        UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
        const int fd = bench->FileOf(client);
        Complete(client, fd < 0 ? fd : bench->core_->Read(fd, buffer->data, buffer->data_len));
        return TRUE;
    }
    static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* bench = static_cast<UmockdevBench*>(self);
        const auto file = bench->clients_.extract(client);
        if (!file.empty() && file.mapped() >= 0) bench->core_->Close(file.mapped());
    }

    // Runs the tool under umockdev-wrapper and expects it to succeed with `shows` in its output.
    void Tool(const std::vector<std::string>& args, const std::string& shows = "",
              int exitCode = 0) {
        // The tool with a lock folder of its own, reaching boards through the kernel's files.
        std::string command = "exec env -u BRENNOCK_SOCKET -u LORIC_LINK LORIC_LOCK_DIR=locks-" +
                              std::to_string(getpid()) + " umockdev-wrapper " + LORIC_TOOL_PATH +
                              " --flash-data " + kImages + "simchips.dat --chip 29F040B";
        for (const auto& arg : args) command += " '" + arg + "'";
        command += " </dev/null >out.txt 2>&1";
        // The clients of an earlier run are gone, though their going may not have been told:
        // a new client can come at the address of an old one.
        for (const auto& [client, fd] : clients_) core_->Close(fd);
        clients_.clear();
        char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), command.data(),
                        nullptr};
        GPid pid = 0;
        ASSERT_TRUE(g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                  nullptr, &pid, nullptr));
        // Serves the files until the tool exits; one that hangs is ended, and the test fails.
        int status = 0;
        const gint64 deadline = g_get_monotonic_time() + 90 * G_USEC_PER_SEC;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(200);
            if (g_get_monotonic_time() > deadline) kill(pid, SIGKILL);
        }
        while (g_main_context_iteration(nullptr, FALSE)) continue;
        const std::string out = ReadFileBytes("out.txt");
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == exitCode) << out;
        EXPECT_NE(out.find(shows), std::string::npos) << out;
    }
    // The flash now against what programming the firmware and `config` leaves on a board.
    void ExpectInstalled(const std::vector<uint8_t>& config) {
        EXPECT_TRUE(sim_->Flash() == Board(tqsim::image::ExampleFirmware(), config)->Flash());
        EXPECT_EQ(sim_->Mode(), tqsim::DeviceMode::Firmware) << sim_->BootNote();
    }
    void ExpectDumped(size_t from, size_t length) {
        const std::vector<uint8_t> flash = sim_->Flash();
        EXPECT_TRUE(ReadAll("dump.bin") ==
                    std::vector<uint8_t>(flash.begin() + from, flash.begin() + from + length));
    }

    std::unique_ptr<tqsim::System> sim_;
    std::unique_ptr<tqsim::FirewireCore> core_;
    UMockdevTestbed* testbed_ = nullptr;
    std::map<std::string, UMockdevIoctlBase*> handlers_;
    std::map<UMockdevIoctlClient*, int> clients_;
    const std::vector<uint8_t> config_ = tqsim::image::ExampleConfig();
};

TEST_F(UmockdevBench, NodesListsTheRunningBoard) {
    Tool({"nodes"}, "0x0ABCDE0123456789");  // only the kernel's files can tell
    Tool({"nodes"}, "read through the kernel's 1394 stack");
}

// The blank board has no file; the host's topology map names it, and the way to reach it.
TEST_F(UmockdevBench, NodesNamesTheBoardWithoutAConfigurationRom) {
    Tool({"nodes"},
         "Node 0xFFC2 has no configuration ROM the kernel could read (a blank board, or one "
         "that runs its bootstrap loader): reach it through a serial adapter (--com PORT).");
}

// A job for a blank board says that the kernel's stack cannot reach it, and what can.
TEST_F(UmockdevBench, LoaderJobOnTheBlankBoardNamesTheSerialAdapter) {
    Tool({"program-loader", kImages + "loader.bin", "--node", "0xFFC2", "--yes"},
         "needs a serial adapter", LORIC_ERR_DEVICE_NOT_FOUND);
}

TEST_F(UmockdevBench, TimestampOfTheRunningBoard) { Tool({"timestamp"}, "Firmware time stamp:"); }

TEST_F(UmockdevBench, ConfigShowDecodesTheBoardsConfiguration) {
    Tool({"config", "show"}, "Configuration of the device at node");
}

TEST_F(UmockdevBench, DumpReadsTheFlash) {
    Tool({"dump", "0", "256", "-o", "dump.bin"});
    ExpectDumped(0, 256);
}

// Bus reset events wait in the files while the tool reads; a request caught by the reset is
// sent again in the new generation.
TEST_F(UmockdevBench, DumpSurvivesABusResetOnTheWay) {
    const uint32_t generation = sim_->Generation();
    core_->ResetBusBeforeRequest(40);
    Tool({"dump", "0x100", "1024", "-o", "dump.bin"});
    EXPECT_EQ(sim_->Generation(), generation + 1);
    ExpectDumped(0x100, 1024);
    int retried = 0;
    for (const std::string& line : core_->Log())
        retried += line.find(": rcode 19") != std::string::npos;
    EXPECT_EQ(retried, 1);
}

// The board starts with another configuration; the job leaves exactly the firmware and the
// configuration given, and the board running them.
TEST_F(UmockdevBench, ProgramAndVerifyOnTheRunningBoard) {
    Tool({"config", "generate", kDescription, "other.bin"});
    ASSERT_NE(ReadAll("other.bin"), config_);
    ASSERT_TRUE(sim_->InstallFirmware(tqsim::image::ExampleFirmware(), ReadAll("other.bin")));
    sim_->Reboot();
    core_->Sync();
    // A running board keeps its id unless it is given one: here config.bin's own.
    Tool({"program", kImages + "firmware.bin", kImages + "config.bin", "--verify", "--yes",
          "--no-backup", "--guid", kConfigId});
    ExpectInstalled(config_);
}

TEST_F(UmockdevBench, ConfigUploadReplacesOnlyTheConfiguration) {
    Tool({"config", "generate", kDescription, "other.bin"});
    Tool({"config", "upload", "other.bin", "--verify", "--no-backup", "--guid", kDescriptionId});
    ExpectInstalled(ReadAll("other.bin"));
}

// program saves the board's firmware and configuration first; restore puts them back.
TEST_F(UmockdevBench, RestorePutsTheBackupsOfProgramBack) {
    const std::vector<uint8_t> before = sim_->Flash();
    Tool({"config", "generate", kDescription, "other.bin"});
    Tool({"program", kImages + "firmware.bin", "other.bin", "--yes", "--backup", "saved.bin",
          "--guid", kDescriptionId},
         "saved.bin --guid " + std::string(kConfigId) + "`");
    ExpectInstalled(ReadAll("other.bin"));
    std::vector<std::string> backups;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        if (const std::string name = entry.path().filename().string();
            name == "saved.bin" || name.rfind("firmware-backup-", 0) == 0)
            backups.push_back(name);
    ASSERT_EQ(backups.size(), 2u);
    // The board's old id goes back with it, as the command the tool printed says.
    Tool({"restore", backups[0], backups[1], "--verify", "--guid", kConfigId},
         "Board gets EUI-64 " + std::string(kConfigId) + " (--guid).");
    EXPECT_TRUE(sim_->Flash() == before);
    EXPECT_EQ(sim_->Mode(), tqsim::DeviceMode::Firmware) << sim_->BootNote();
}

}  // namespace
}  // namespace loric::test

#endif
