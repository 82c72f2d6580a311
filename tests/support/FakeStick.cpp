#include "support/FakeStick.h"

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>

namespace testsupport {

bool FakeStick::Start(const Options& o, std::string* why) {
    Stop();
    char dir[] = "/tmp/fake-stick-XXXXXX";
    if (!mkdtemp(dir)) return false;
    m_dir = dir;
    std::filesystem::create_directory(m_dir + "/mnt");
    std::filesystem::create_directory(m_dir + "/control");
    const std::string command =
        "truncate -s " + std::to_string(o.realBytes ? o.realBytes : o.claimedBytes) + " " +
        StorePath() + " && exec /usr/bin/python3 " TEST_SOURCE_DIR "/support/fake_stick.py " +
        m_dir + "/mnt " + StorePath() + " " + m_dir +
        "/control claimed=" + std::to_string(o.claimedBytes) + " mode=" + o.mode +
        " eio-at=" + std::to_string(o.eioAt) + " fail-after=" + std::to_string(o.failAfter) +
        " flip-at=" + std::to_string(o.flipAt) + " stall-at=" + std::to_string(o.stallAt) +
        " latency=" + std::to_string(o.latencyMs) + " cache=" + std::to_string(o.cacheBytes) +
        " >/dev/null";
    if ((m_pid = fork()) == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        _exit(127);
    }
    Run("for i in $(seq 200); do [ -e " + m_dir + "/mnt/stick ] && break; sleep 0.025; done");
    if (!std::filesystem::exists(m_dir + "/mnt/stick")) {
        if (why) *why = "the fake stick did not mount";
    } else if (m_loop.Attach(m_dir + "/mnt/stick", o.loopOptions, why)) {
        return true;
    }
    Stop();
    return false;
}

bool FakeStick::WaitStalled(int ms) const {
    for (int i = 0; i < ms / 20; ++i, usleep(20 * 1000))
        if (std::filesystem::exists(m_dir + "/control/stalled")) return true;
    return false;
}

void FakeStick::Release() {
    if (!m_dir.empty()) WriteBytes(m_dir + "/control/release", "");
}

void FakeStick::Stop() {
    if (m_dir.empty()) return;
    Release();
    m_loop.Detach();
    if (Run("fusermount -u " + m_dir + "/mnt 2>/dev/null") != 0) Run("umount -l " + m_dir + "/mnt");
    // A daemon that does not end with its mount is killed.
    for (int i = 0; m_pid > 0 && waitpid(m_pid, nullptr, i < 100 ? WNOHANG : 0) == 0;
         ++i, usleep(50 * 1000))
        if (i == 99) kill(m_pid, SIGKILL);
    m_pid = -1;
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
    m_dir.clear();
}

}  // namespace testsupport
