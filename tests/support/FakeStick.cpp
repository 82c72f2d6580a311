#include "support/FakeStick.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

namespace testsupport {

bool FakeStick::Start(const Options& options, std::string* why) {
    Stop();
    char dir[] = "/tmp/fake-stick-XXXXXX";
    if (!mkdtemp(dir)) return false;
    m_dir = dir;
    const std::string mount = m_dir + "/mnt", control = m_dir + "/control";
    std::filesystem::create_directory(mount);
    std::filesystem::create_directory(control);
    const std::int64_t real = options.realBytes ? options.realBytes : options.claimedBytes;
    if (!WriteBytes(StorePath(), "")) return false;
    std::filesystem::resize_file(StorePath(), static_cast<std::uintmax_t>(real));

    std::vector<std::string> args = {"/usr/bin/python3",
                                     TEST_SOURCE_DIR "/support/fake_stick.py",
                                     mount,
                                     StorePath(),
                                     control,
                                     "claimed=" + std::to_string(options.claimedBytes),
                                     "mode=" + options.mode,
                                     "eio-at=" + std::to_string(options.eioAt),
                                     "stall-at=" + std::to_string(options.stallAt),
                                     "latency=" + std::to_string(options.latencyMs),
                                     "cache=" + std::to_string(options.cacheBytes)};
    m_pid = fork();
    if (m_pid == 0) {
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // Mounted when the stick's file shows; a daemon that died will not mount.
    struct stat st {};
    for (int i = 0; i < 200 && stat((mount + "/stick").c_str(), &st) != 0; ++i) {
        if (m_pid < 0 || waitpid(m_pid, nullptr, WNOHANG) != 0) m_pid = -1;
        if (m_pid < 0) break;
        usleep(25 * 1000);
    }
    if (st.st_size != options.claimedBytes) {
        if (why) *why = "the fake stick did not mount";
        Stop();
        return false;
    }
    if (!m_loop.Attach(mount + "/stick", options.loopOptions, why)) {
        Stop();
        return false;
    }
    return true;
}

bool FakeStick::WaitStalled(int ms) const {
    for (int i = 0; i < ms / 20; ++i, usleep(20 * 1000))
        if (access((m_dir + "/control/stalled").c_str(), F_OK) == 0) return true;
    return false;
}

void FakeStick::Release() {
    if (!m_dir.empty()) WriteBytes(m_dir + "/control/release", "");
}

void FakeStick::Stop() {
    if (m_dir.empty()) return;
    Release();
    m_loop.Detach();
    const std::string mount = m_dir + "/mnt";
    if (Run("fusermount -u " + mount + " 2>/dev/null") != 0) Run("umount -l " + mount);
    // The daemon ends with its mount; one that hangs is killed.
    for (int i = 0; m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; ++i) {
        if (i == 100) kill(m_pid, SIGKILL);
        usleep(50 * 1000);
    }
    m_pid = -1;
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
    m_dir.clear();
}

}  // namespace testsupport
