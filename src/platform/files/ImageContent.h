#pragma once
// What an image holds, found with libblkid (the library the desktop itself
// uses to name disks): its partition tables, the file system over the whole
// image or in each partition with its label, whether its first sector ends in
// the MBR boot signature, and its size once written.
//
// A raw image is probed where it is. A compressed one is decompressed by its
// own tool (no shell) only as far as kProbeBytes, into a memfd as long as the
// image once written (sparse past what was read, so that a table describing
// the whole disk still holds), and probed there; its partitions that start
// beyond what was read are listed without a file system.
//
// Threads: ProbeImageContent reads a user's file and runs a decompressor:
// worker threads only. ImageContentProbe is made, used and destroyed on the
// window's thread; it probes on a worker thread of its own and reports
// through changed(), on the window's thread.

#include <QObject>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "writer/BlockMap.h"
#include "writer/ImageFormat.h"

namespace platform {

// How much of a compressed image's decompressed stream is probed: the tables,
// an ISO 9660's descriptors and the first partitions' superblocks, read in
// well under a second.
constexpr std::int64_t kProbeBytes = std::int64_t(16) << 20;

struct FoundPartition {
    int number = 0;                    // as its table numbers it
    std::int64_t start = 0, size = 0;  // bytes
    bool read = false;                 // false: it starts beyond the bytes probed
    std::string type{}, label{};       // libblkid's file system name ("vfat"); "" for none
};

struct ImageContent {
    // Why the content could not be read; None when it was.
    enum class Problem { None, CannotOpen, NotAFile, Misnamed, TooShort, Decompression };
    Problem problem = Problem::None;
    int error = 0;         // CannotOpen: the errno
    std::string detail{};  // Decompression: "xz exited with status 1"

    ImageFormat format = ImageFormat::Raw;  // by its content (Damaged: Misnamed)
    std::int64_t writtenSize = -1;          // bytes the stick takes; -1: unknown
    std::int64_t probedBytes = 0;           // bytes of the image as written that were read
    bool bootSignature = false;             // 55 AA at byte 510
    // libblkid's names: the table it reads first ("dos" for a hybrid's MBR),
    // then "gpt" when a GPT is there as well.
    std::vector<std::string> tables{};
    std::string fileSystem{}, label{};         // over the whole image (an ISO 9660); "" for none
    std::vector<FoundPartition> partitions{};  // of the first table, extended ones left out
    BlockMapInfo blockMap{};                   // the block map beside the image, if any
};

// Probes the image at `path`; returns early (with no findings) once `cancel`
// is set.
ImageContent ProbeImageContent(const std::string& path, const std::atomic<bool>& cancel);

class ImageContentProbe : public QObject {
    Q_OBJECT
  public:
    enum class State { None, Probing, Done };

    ImageContentProbe() = default;
    ~ImageContentProbe() override;
    ImageContentProbe(const ImageContentProbe&) = delete;
    ImageContentProbe& operator=(const ImageContentProbe&) = delete;

    // Starts the probe of a newly chosen image; ends the one before.
    void Start(const std::string& imagePath);
    // Ends a probe in progress (Quit, another image), waits for its thread
    // (at most a poll interval once the decompressor runs) and leaves the
    // state None, without changed().
    void Cancel();

    State state() const { return m_state; }
    // Done: what the image holds.
    const ImageContent& content() const { return m_content; }

  signals:
    void changed();

  private:
    void Run(std::string imagePath, unsigned generation);
    void Finish(unsigned generation, ImageContent content);

    std::thread m_thread;
    std::atomic<bool> m_cancel{false};
    unsigned m_generation = 0;
    State m_state = State::None;
    ImageContent m_content;
};

}  // namespace platform
