#include "platform/files/ImageChecksum.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QMetaObject>
#include <algorithm>
#include <cctype>
#include <optional>

namespace platform {

namespace {

constexpr std::int64_t kMaxChecksumFile = 1 << 20;  // a larger one is no checksum file
constexpr std::size_t kHashBlock = 1 << 20;

bool IsHex64(std::string_view text) {
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(uchar(c)); });
}

// Opens a regular file for reading without ever waiting (a FIFO's writer,
// say); -1 for anything else.
int OpenRegular(const std::string& path, struct stat* st) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::int64_t Nanoseconds(const struct timespec& t) {
    return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

std::vector<std::string> ChecksumFileNames(const std::string& imageName) {
    return {imageName + ".sha256", imageName + ".sha256sum", imageName + ".sha256.txt",
            "SHA256SUMS",          "SHA256SUMS.txt",         "sha256sum.txt"};
}

ChecksumEntry FindChecksum(std::string_view text, const std::string& imageName,
                           bool fileOfTheImage) {
    std::optional<std::string> found;
    bool unusable = false;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.ends_with('\r')) line.remove_suffix(1);
        std::string_view name, hex;
        if (line.starts_with("SHA256 (") && line.find(") = ") != std::string_view::npos) {
            const std::size_t close = line.rfind(") = ");  // BSD: SHA256 (NAME) = HEX
            name = line.substr(8, close - 8);
            hex = line.substr(close + 4);
        } else if (line.size() > 66 && line[64] == ' ' && (line[65] == ' ' || line[65] == '*')) {
            hex = line.substr(0, 64);  // GNU: HEX, a blank, ' ' or '*' (binary), NAME
            name = line.substr(66);
        } else if (fileOfTheImage && IsHex64(line)) {
            hex = line;
            name = imageName;
        } else {
            // A line that seems to name the image but is in no known shape.
            unusable = unusable || line.ends_with(" " + imageName) ||
                       line.ends_with("*" + imageName) || line.ends_with("(" + imageName + ")");
            continue;
        }
        if (name.starts_with("./")) name.remove_prefix(2);
        if (name != imageName) continue;
        std::string lower(hex);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return char(std::tolower(uchar(c))); });
        // Entries that disagree make the file unusable, as does a bad one.
        if (!IsHex64(lower) || (found && *found != lower)) unusable = true;
        found = lower;
    }
    if (unusable) return {ChecksumEntry::Unusable, {}};
    if (found) return {ChecksumEntry::Found, *found};
    return {};
}

std::pair<std::int64_t, std::int64_t> FileStamp(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return {-1, -1};
    return {st.st_size, Nanoseconds(st.st_mtim)};
}

ImageChecksum::~ImageChecksum() {
    Cancel();
}

void ImageChecksum::Cancel() {
    m_cancel = true;
    if (m_thread.joinable()) m_thread.join();
    ++m_generation;  // what the ended thread posted is not for the next check
}

void ImageChecksum::Start(const std::string& imagePath) {
    Cancel();
    m_cancel = false;
    m_percent = 0;
    m_state = State::None;
    m_fileName.clear();
    m_size = m_modified = -1;
    emit changed();
    m_thread = std::thread(&ImageChecksum::Run, this, imagePath, m_generation);
}

void ImageChecksum::Finish(unsigned generation, State state, QString fileName, std::int64_t size,
                           std::int64_t modified) {
    if (generation != m_generation) return;
    m_state = state;
    m_fileName = std::move(fileName);
    m_size = size;
    m_modified = modified;
    emit changed();
}

void ImageChecksum::Run(std::string imagePath, unsigned generation) {
    const auto post = [&](State state, const std::string& file, std::int64_t size = -1,
                          std::int64_t modified = -1) {
        QMetaObject::invokeMethod(
            this,
            [=, this] { Finish(generation, state, QString::fromStdString(file), size, modified); },
            Qt::QueuedConnection);
    };
    const std::size_t slash = imagePath.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : imagePath.substr(0, slash);
    const std::string name = imagePath.substr(slash + 1);
    for (const std::string& candidate : ChecksumFileNames(name)) {
        struct stat st;
        const int fd = OpenRegular(dir + "/" + candidate, &st);
        if (fd < 0) continue;
        std::string text(
            static_cast<std::size_t>(std::min<std::int64_t>(st.st_size, kMaxChecksumFile)), '\0');
        const bool whole = st.st_size <= kMaxChecksumFile &&
                           pread(fd, text.data(), text.size(), 0) == ssize_t(text.size());
        close(fd);
        const ChecksumEntry entry =
            whole ? FindChecksum(text, name, candidate.starts_with(name)) : ChecksumEntry{};
        if (entry.kind == ChecksumEntry::None) continue;
        if (entry.kind == ChecksumEntry::Unusable) return post(State::Unusable, candidate);

        post(State::Checking, candidate);
        const int image = OpenRegular(imagePath, &st);
        if (image < 0) return post(State::None, {});
        QCryptographicHash hash(QCryptographicHash::Sha256);
        std::vector<char> block(kHashBlock);
        std::int64_t done = 0;
        ssize_t n = 0;
        while (!m_cancel && (n = read(image, block.data(), block.size())) > 0) {
            hash.addData(QByteArrayView(block.data(), n));
            done += n;
            const int percent = int(done * 100 / std::max<std::int64_t>(st.st_size, 1));
            if (percent != m_percent.exchange(percent))
                QMetaObject::invokeMethod(
                    this, [this] { emit changed(); }, Qt::QueuedConnection);
        }
        close(image);
        if (m_cancel) return;
        if (n < 0) return post(State::Unusable, candidate);
        // An image that changed meanwhile keeps the stamp it had at the start:
        // the write's own look at it then refuses it.
        const bool same = hash.result().toHex().toStdString() == entry.hex;
        return post(same ? State::Matches : State::Mismatch, candidate, st.st_size,
                    Nanoseconds(st.st_mtim));
    }
}

}  // namespace platform
