#include "platform/desktop/TempDirectory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace platform {

namespace {

constexpr const char* kFallbackBase = "/var/tmp";

std::string MakeUnder(const std::string& base) {
    std::string pattern = base;
    while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
    pattern += "/usb-image-writer.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    // mkdtemp creates the directory with mode 0700, whatever the umask allows
    // beyond that.
    if (mkdtemp(buffer.data()) == nullptr) {
        std::fprintf(stderr, "cannot create a temporary directory under %s: %s\n", base.c_str(),
                     std::strerror(errno));
        return {};
    }
    return std::string(buffer.data()) + "/";
}

}  // namespace

std::string TempDirectoryBase() {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && tmpdir[0] != '\0') return tmpdir;
    return kFallbackBase;
}

std::unique_ptr<TempDirectory> TempDirectory::Create() {
    const std::string base = TempDirectoryBase();
    std::string path = MakeUnder(base);
    // A $TMPDIR that cannot be used (missing, read-only) should not stop the
    // program from writing images.
    if (path.empty() && base != kFallbackBase) path = MakeUnder(kFallbackBase);
    if (path.empty()) return nullptr;
    return std::unique_ptr<TempDirectory>(new TempDirectory(std::move(path)));
}

TempDirectory::~TempDirectory() {
    Remove();
}

void TempDirectory::Remove() {
    if (m_path.empty()) return;
    // remove_all does not follow symbolic links, so a link planted inside
    // cannot make this remove anything outside the directory.
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
    if (error) {
        std::fprintf(stderr, "cannot remove the temporary directory %s: %s\n", m_path.c_str(),
                     error.message().c_str());
    }
    m_path.clear();
}

}  // namespace platform
