#pragma once
// The checksum an image's publisher put beside it: a checksum file in the
// image's folder that names the image (IMAGE.sha256, IMAGE.sha256sum,
// IMAGE.sha256.txt, SHA256SUMS, SHA256SUMS.txt, sha256sum.txt; lines in the
// GNU sha256sum format, text or binary, or the BSD "SHA256 (name) = hex"
// format), and the check of the image's SHA-256 against it.
//
// Threads: ImageChecksum is made, used and destroyed on the window's
// thread; it looks for the file and hashes the image on a worker thread of
// its own and reports through changed(), on the window's thread. The
// parsing functions are pure, for any thread.

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace platform {

// The checksum files to look for, in the order they are tried.
std::vector<std::string> ChecksumFileNames(const std::string& imageName);

// What a checksum file's text says of `imageName`. A file made for this
// image alone (IMAGE.sha256...) may hold the bare hash.
struct ChecksumEntry {
    enum Kind { None, Found, Unusable } kind = None;
    std::string hex;  // Found: 64 lower-case hex digits
};
ChecksumEntry FindChecksum(std::string_view text, const std::string& imageName,
                           bool fileOfTheImage);

class ImageChecksum : public QObject {
    Q_OBJECT
  public:
    enum class State { None, Checking, Matches, Mismatch, Unusable };

    ImageChecksum() = default;
    ~ImageChecksum() override;
    ImageChecksum(const ImageChecksum&) = delete;
    ImageChecksum& operator=(const ImageChecksum&) = delete;

    // Starts the check of a newly chosen image; ends the one before.
    void Start(const std::string& imagePath);
    // Ends a check in progress (Quit, another image); waits for its thread.
    void Cancel();

    State state() const { return m_state; }
    QString fileName() const { return m_fileName; }  // the checksum file
    int percent() const { return m_percent.load(); }
    // The image as it was hashed: a write checks it again before it starts.
    std::int64_t size() const { return m_size; }
    std::int64_t modified() const { return m_modified; }  // nanoseconds

  signals:
    void changed();

  private:
    void Run(std::string imagePath, unsigned generation);
    void Finish(unsigned generation, State state, QString fileName, std::int64_t size,
                std::int64_t modified);

    std::thread m_thread;
    std::atomic<bool> m_cancel{false};
    std::atomic<int> m_percent{0};
    unsigned m_generation = 0;
    State m_state = State::None;
    QString m_fileName;
    std::int64_t m_size = -1, m_modified = -1;
};

// Size and modification time (nanoseconds) of a file, or -1 each. Looks at
// a user's file: worker threads only.
std::pair<std::int64_t, std::int64_t> FileStamp(const std::string& path);

}  // namespace platform
