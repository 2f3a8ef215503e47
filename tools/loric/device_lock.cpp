#include "device_lock.h"

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "errors.h"
#include "interrupt.h"
#include "session.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#endif

namespace tool {
namespace {

namespace fs = std::filesystem;

// FNV-1a of the key, for a file or mutex name of fixed length whatever the path.
std::string KeyName(const std::string& key) {
    uint64_t hash = 14695981039346656037u;
    for (unsigned char c : key) hash = (hash ^ c) * 1099511628211u;
    char name[40];
    std::snprintf(name, sizeof name, "loric-%016llx", static_cast<unsigned long long>(hash));
    return name;
}

#if !defined(_WIN32)
// The path with its links resolved: /dev/serial/by-id/... and /dev/ttyUSB0 are one port.
std::string RealPath(const std::string& path) {
    std::error_code error;
    fs::path real = fs::weakly_canonical(fs::absolute(path, error), error);
    return error ? path : real.string();
}
#endif

void Pause() {
#if defined(_WIN32)
    Sleep(100);
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
#endif
}

long OwnPid() {
#if defined(_WIN32)
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}

}  // namespace

std::string HolderRecord(long pid, const std::string& commandLine) {
    std::string command;
    for (char c : commandLine) command += (c == '\n' || c == '\r') ? ' ' : c;
    return "pid " + std::to_string(pid) + "\ncommand " + command + "\n";
}

std::string HolderText(const std::string& record) {
    std::istringstream in(record);
    std::string pid, command, more;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("pid ", 0) == 0) {
            pid = line.substr(4);
        } else if (line.rfind("command ", 0) == 0) {
            command = line.substr(8);
        } else if (!line.empty()) {
            more += ", " + line;
        }
    }
    if (pid.empty()) return "another process";
    return "pid " + pid + (command.empty() ? "" : " (`" + command + "`)") + more;
}

LockTarget LockTargetOf(const TargetOptions& options) {
    if (options.sim) return {};
    if (!options.comPort.empty()) {
        std::string port = options.comPort;
#if defined(_WIN32)
        if (port.rfind("\\\\.\\", 0) == 0) port = port.substr(4);
        for (auto& c : port) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return {"serial " + port, "serial port " + port};
#else
        // COMn names /dev/ttyS<n-1>, as the library opens it.
        std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
        if (name.size() > 3 && (name[0] | 0x20) == 'c' && (name[1] | 0x20) == 'o' &&
            (name[2] | 0x20) == 'm') {
            char* end = nullptr;
            const long number = std::strtol(name.c_str() + 3, &end, 10);
            if (*end == '\0' && number > 0 && number < 100000)
                port = "/dev/ttyS" + std::to_string(number - 1);
        }
        const std::string real = RealPath(port);
        return {"serial " + real, "serial port " + real};
#endif
    }
#if defined(_WIN32)
    return {"driver", "1394 driver"};
#else
    if (KernelStackChosen()) return {"firewire", "1394 bus (the kernel's 1394 stack)"};
    const char* socket = std::getenv("BRENNOCK_SOCKET");
    const std::string real = RealPath(socket && *socket ? socket : "/tmp/brennock.sock");
    return {"driver " + real, "1394 driver (" + real + ")"};
#endif
}

// ---- The lock itself, one platform at a time ----------------------------------------------

#if defined(_WIN32)

struct DeviceLock::Impl {
    HANDLE mutex = nullptr;
    std::string holderFile;

    ~Impl() {
        if (!holderFile.empty()) DeleteFileA(holderFile.c_str());
        if (mutex) {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
    }
};

namespace {

// The common application data folder (every user may create files there), else the temp folder.
std::string HolderFolder() {
    const char* common = std::getenv("ProgramData");
    std::string folder = std::string(common && *common ? common : ".") + "\\loric-lock";
    if (const char* dir = std::getenv("LORIC_LOCK_DIR"); dir && *dir) folder = dir;
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

std::string ReadHolder(const std::string& path) {
    std::string text;
    if (FILE* in = std::fopen(path.c_str(), "rb")) {
        char buffer[1024];
        const size_t n = std::fread(buffer, 1, sizeof buffer, in);
        text.assign(buffer, n);
        std::fclose(in);
    }
    return text;
}

}  // namespace

void DeviceLock::Tell(const std::string& line) {
    if (FILE* out = std::fopen(impl_->holderFile.c_str(), "ab")) {
        std::fprintf(out, "%s\n", line.c_str());
        std::fclose(out);
    }
}

#else

struct DeviceLock::Impl {
    int fd = -1;
    std::string path;

    ~Impl() {
        if (fd < 0) return;
        // Removed while still held: a process that opened it meanwhile finds the file it locks
        // gone from the folder and starts again with a new one.
        ::unlink(path.c_str());
        ::close(fd);
    }
};

namespace {

std::string LockFolder() {
    if (const char* dir = std::getenv("LORIC_LOCK_DIR"); dir && *dir) {
        ::mkdir(dir, 0777);
        return dir;
    }
    const std::string folder = "/tmp/loric-lock";
    if (::mkdir(folder.c_str(), 01777) == 0) ::chmod(folder.c_str(), 01777);  // past the umask
    return folder;
}

std::string ReadHolder(int fd) {
    char buffer[1024];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Opens the lock file, made readable and writable for every user. An existing file is opened
// without O_CREAT: in a sticky folder such as /tmp the kernel may refuse O_CREAT on another
// user's file (fs.protected_regular).
int OpenLockFile(const std::string& path) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// Whether `fd` is still the file at `path` (its holder may have removed it as it let go).
bool StillThere(int fd, const std::string& path) {
    struct stat opened {
    }, named{};
    return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

void DeviceLock::Tell(const std::string& line) {
    const std::string text = line + "\n";
    const off_t end = ::lseek(impl_->fd, 0, SEEK_END);
    if (end >= 0) (void)!::pwrite(impl_->fd, text.data(), text.size(), end);
}

#endif

DeviceLock::DeviceLock(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DeviceLock::~DeviceLock() = default;

std::unique_ptr<DeviceLock> DeviceLock::Take(const LockTarget& target,
                                             const std::string& commandLine, double waitSeconds,
                                             void (*say)(const std::string& line)) {
    if (target.key.empty()) return nullptr;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(waitSeconds * 1000));
    const std::string record = HolderRecord(OwnPid(), commandLine);
    bool told = false;
    std::string holder;
    auto impl = std::make_unique<Impl>();
#if defined(_WIN32)
    const std::string holderFile = HolderFolder() + "\\" + KeyName(target.key) + ".txt";
    const std::string name = "Global\\" + KeyName(target.key);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    for (;;) {
        // Another user's mutex cannot be opened at all (its default security): that is a holder
        // too.
        if (mutex) {
            const DWORD got = WaitForSingleObject(mutex, 0);
            if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) {
                impl->mutex = mutex;
                impl->holderFile = holderFile;
                if (FILE* out = std::fopen(holderFile.c_str(), "wb")) {
                    std::fputs(record.c_str(), out);
                    std::fclose(out);
                }
                return std::unique_ptr<DeviceLock>(new DeviceLock(std::move(impl)));
            }
        } else if (GetLastError() != ERROR_ACCESS_DENIED) {
            throw ToolError(LORIC_ERR_FILE_OPEN,
                            "cannot make the lock of the " + target.shown + " (" + name + ")");
        }
        holder = HolderText(ReadHolder(holderFile));
        if (std::chrono::steady_clock::now() >= deadline) break;
        if (!told && waitSeconds > kDefaultLockWait && say) {
            say("Waiting for the " + target.shown + ": in use by " + holder + ".");
            told = true;
        }
        CheckCancelled();
        Pause();
        if (!mutex) mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    }
    if (mutex) CloseHandle(mutex);
#else
    const std::string path = LockFolder() + "/" + KeyName(target.key) + ".lock";
    for (;;) {
        const int fd = OpenLockFile(path);
        if (fd < 0) {
            throw ToolError(
                LORIC_ERR_FILE_OPEN,
                "cannot take the lock of the " + target.shown + ": " + path + ": " +
                    std::strerror(errno),
                "Make its folder writable for every user (chmod 1777), or name another with "
                "LORIC_LOCK_DIR.");
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (!StillThere(fd, path)) {
                ::close(fd);
                continue;
            }
            (void)!::ftruncate(fd, 0);
            (void)!::pwrite(fd, record.data(), record.size(), 0);
            impl->fd = fd;
            impl->path = path;
            return std::unique_ptr<DeviceLock>(new DeviceLock(std::move(impl)));
        }
        holder = HolderText(ReadHolder(fd));
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) break;
        if (!told && waitSeconds > kDefaultLockWait && say) {
            say("Waiting for the " + target.shown + ": in use by " + holder + ".");
            told = true;
        }
        CheckCancelled();
        Pause();
    }
#endif
    throw ToolError(
        kExitDeviceBusy,
        "the " + target.shown + " is in use by another job: " + holder +
            "; nothing was done, so as not to disturb it",
        "Wait for that job to end and run the command again, or add --wait-lock SECONDS to wait "
        "for it.");
}

}  // namespace tool
