#include "support/TestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

namespace testsupport {

bool IsRoot() {
    return geteuid() == 0;
}

bool IsCi() {
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

int Run(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    const int status = pclose(pipe);
    if (output) *output = text;
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string ReadBytes(const std::string& path, std::size_t maxBytes) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes;
    char buffer[65536];
    while (in && bytes.size() < maxBytes) {
        in.read(buffer,
                static_cast<std::streamsize>(std::min(sizeof buffer, maxBytes - bytes.size())));
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    return bytes;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

std::string MakeGzipImage(const std::string& dir, const std::string& name, std::size_t size,
                          std::string* rawBytes) {
    static std::atomic<unsigned> images{0};
    std::independent_bits_engine<std::mt19937, 8, unsigned> random(++images);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    const std::string path = dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
    const std::string raw = path + ".raw";
    const bool made = WriteBytes(raw, bytes) &&
                      Run("gzip -1 -n -c " + ShellQuote(raw) + " > " + ShellQuote(path)) == 0;
    std::remove(raw.c_str());
    if (!made) return {};
    if (rawBytes) *rawBytes = std::move(bytes);
    return path;
}

std::string MakeImage(const std::string& dir, const std::string& name, std::size_t size,
                      const std::string& compressor, std::string* rawBytes) {
    // Seeds apart from MakeGzipImage's, so no two images of a run are equal.
    static std::atomic<unsigned> images{1u << 16};
    std::independent_bits_engine<std::mt19937, 8, unsigned> random(++images);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    const std::string path = dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
    const std::string raw = compressor.empty() ? path : path + ".raw";
    const bool made = WriteBytes(raw, bytes) &&
                      (compressor.empty() ||
                       Run(compressor + " <" + ShellQuote(raw) + " >" + ShellQuote(path)) == 0);
    if (!compressor.empty()) std::remove(raw.c_str());
    if (!made) return {};
    if (rawBytes) *rawBytes = std::move(bytes);
    return path;
}

LoopDevice::~LoopDevice() {
    Detach();
}

bool LoopDevice::Attach(const std::string& backingFile, bool directIo, std::string* why) {
    Detach();
    std::string out;
    const std::string command = std::string("losetup -f --show ") +
                                (directIo ? "--direct-io=on " : "") + ShellQuote(backingFile) +
                                " 2>&1";
    const int status = Run(command, &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    if (status != 0 || out.rfind("/dev/loop", 0) != 0) {
        if (why) *why = "losetup failed: " + out;
        return false;
    }
    m_path = out;
    return true;
}

void LoopDevice::Detach() {
    if (m_path.empty()) return;
    Run("losetup -d " + ShellQuote(m_path) + " 2>/dev/null");
    m_path.clear();
}

std::string LoopDevice::BsdName() const {
    return m_path.size() > 5 ? m_path.substr(5) : std::string();
}

}  // namespace testsupport
