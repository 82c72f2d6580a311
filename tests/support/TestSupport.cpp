#include "support/TestSupport.h"

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>

namespace testsupport {

namespace {
std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}
}  // namespace

int Run(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    const int status = pclose(pipe);
    if (output) *output = text;
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadBytes(const std::string& path, std::size_t maxBytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);  // a disk's end is its size
    std::string bytes(
        std::min(maxBytes, static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0))),
        '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

std::string MakeImage(const std::string& dir, const std::string& name, std::size_t size,
                      const std::string& compressor, std::string* rawBytes, bool partitioned) {
    static std::atomic<unsigned> images{0};
    std::independent_bits_engine<std::mt19937, 8, unsigned> random(++images);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    const char table[] = "\0\0\0\0\x83\0\0\0\0\x08\0\0\0\x08\0\0";  // type, first, count
    if (partitioned && size >= 512)
        bytes.replace(446, 66, std::string(table, 16) + std::string(48, '\0') + "\x55\xaa");
    const std::string path = dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
    const std::string raw = compressor.empty() ? path : path + ".raw";
    const bool made =
        WriteBytes(raw, bytes) &&
        (compressor.empty() || Run(compressor + " <" + Quote(raw) + " >" + Quote(path)) == 0);
    if (!compressor.empty()) std::remove(raw.c_str());
    if (!made) return {};
    if (rawBytes) *rawBytes = std::move(bytes);
    return path;
}

CaptureFd::CaptureFd(int fd) : m_fd(fd) {
    std::fflush(nullptr);
    char name[] = "/tmp/capture-XXXXXX";
    m_file = mkstemp(name);
    unlink(name);
    m_saved = dup(fd);
    dup2(m_file, fd);
}

std::string CaptureFd::Text() {
    if (m_file < 0) return m_text;
    std::fflush(nullptr);
    std::string text(static_cast<std::size_t>(lseek(m_file, 0, SEEK_END)), '\0');
    if (pread(m_file, text.data(), text.size(), 0) < 0) text.clear();
    return text;
}

void CaptureFd::Restore() {
    if (m_saved < 0) return;
    m_text = Text();
    dup2(m_saved, m_fd);
    close(m_saved);
    close(m_file);
    m_saved = m_file = -1;
    if (write(m_fd, m_text.data(), m_text.size()) < 0) std::perror("capture");
}

bool LoopDevice::Attach(const std::string& backingFile, const std::string& options,
                        std::string* why) {
    Detach();
    std::string out;
    const int status =
        Run("losetup -f --show " + options + " " + Quote(backingFile) + " 2>&1", &out);
    out.erase(out.find_last_not_of("\n ") + 1);
    if (status != 0 || out.rfind("/dev/loop", 0) != 0) {
        if (why) *why = "losetup failed: " + out;
        return false;
    }
    m_path = out;
    return true;
}

void LoopDevice::Detach() {
    if (!m_path.empty()) Run("losetup -d " + Quote(m_path) + " 2>/dev/null");
    m_path.clear();
}

}  // namespace testsupport
