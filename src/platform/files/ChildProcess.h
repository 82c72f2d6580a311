#pragma once
// ChildProcess: one program that the writer runs without a shell (a
// decompressor, or the tool that lists an image's decompressed size). It is
// started with posix_spawnp from an argument vector, so no path is ever
// quoted; its standard output is the read end of a pipe that the owner reads,
// its standard input /dev/null, its standard error the program's own (or
// /dev/null when asked).
//
// Threads: one thread (the owner) starts, kills and waits; any one other
// thread may read Output() meanwhile, until the owner has joined it.
// Ownership: the object owns the pipe's read end and the child until it is
// reaped. The destructor kills and reaps a child not yet reaped, so neither a
// zombie nor an orphan outlives the object.

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0], found through PATH. Returns 0, or the errno that kept it
    // from starting (ENOENT: not in PATH).
    int Start(const std::vector<std::string>& argv, bool silenceErrors = false);
    // The read end of the child's standard output; -1 before Start.
    int Output() const { return m_output; }
    // Ends the child at once (SIGKILL, by its pid), if it is not yet reaped.
    void Kill();
    // Waits for the child's end and returns its wait status; -1 when there is
    // no child. Only the first call waits; later calls return the same.
    int Wait();

  private:
    pid_t m_pid = -1;
    int m_output = -1;
    int m_status = -1;
};

// What went wrong with a child, by its wait status: "" for a clean exit (0),
// else e.g. "exited with status 1", "was killed by signal 9".
std::string ExitProblem(int waitStatus);

// Runs argv to its end with standard error silenced and collects its standard
// output. true when it started and exited with 0; *problem says otherwise.
bool RunForOutput(const std::vector<std::string>& argv, std::string* output, std::string* problem);

}  // namespace platform
