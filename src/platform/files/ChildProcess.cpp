#include "platform/files/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/kernel/DeviceAccess.h"

extern char** environ;

namespace platform {

namespace {

// A big pipe lets the decompressor run ahead of its reader by more than one
// page-sized write; 1 MiB is what an unprivileged process may ask for.
constexpr int kPipeBytes = 1 << 20;

}  // namespace

ChildProcess::~ChildProcess() {
    Kill();
    Wait();
    if (m_output >= 0) close(m_output);
}

int ChildProcess::Start(const std::vector<std::string>& argv, bool silenceErrors) {
    if (argv.empty() || m_pid > 0 || m_output >= 0) return EINVAL;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno;
    fcntl(fds[0], F_SETPIPE_SZ, kPipeBytes);

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // Both pipe ends are close-on-exec; dup2 gives the child its own copy of
    // the write end as standard output.
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (silenceErrors)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The child starts with nothing blocked and SIGPIPE at its default, whatever
    // the spawning thread had: a decompressor whose reader went away just ends.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int error = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);  // the reader sees the end once the child's copy is gone
    if (error != 0) {
        close(fds[0]);
        return error;
    }
    m_pid = pid;
    m_output = fds[0];
    return 0;
}

void ChildProcess::Kill() {
    // The pid stays ours until it is reaped, so it cannot name another process.
    if (m_pid > 0) kill(m_pid, SIGKILL);
}

int ChildProcess::Wait() {
    if (m_pid <= 0) return m_status;
    int status = 0;
    pid_t got;
    do {
        got = waitpid(m_pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    m_status = got == m_pid ? status : -1;
    m_pid = -1;
    return m_status;
}

std::string ExitProblem(int waitStatus) {
    if (waitStatus == -1) return "could not be waited for";
    if (WIFEXITED(waitStatus)) {
        if (WEXITSTATUS(waitStatus) == 0) return "";
        return "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
    }
    if (WIFSIGNALED(waitStatus))
        return "was killed by signal " + std::to_string(WTERMSIG(waitStatus));
    return "ended with wait status " + std::to_string(waitStatus);
}

bool RunForOutput(const std::vector<std::string>& argv, std::string* output, std::string* problem) {
    ChildProcess child;
    if (const int error = child.Start(argv, true); error != 0) {
        *problem = std::string("could not be started: ") + std::strerror(error);
        return false;
    }
    output->clear();
    char buffer[4096];
    for (long long n; (n = ReadFull(child.Output(), buffer, sizeof buffer)) > 0;)
        output->append(buffer, static_cast<std::size_t>(n));
    *problem = ExitProblem(child.Wait());
    return problem->empty();
}

}  // namespace platform
