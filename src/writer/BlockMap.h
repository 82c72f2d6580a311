#pragma once
// BlockMap: the block map that may lie beside an image (bmaptool's XML, format
// versions 1.x and 2.x): which ranges of the image hold data, each with a
// checksum. With a usable map the writer copies those ranges alone and checks
// each one's checksum as it reads it; the rest of the stick keeps what it held.
//
// A map is used only when it is well formed and sane: a file of at most
// kMaxBlockMapBytes, no DTD (so no entity can expand), counts that add up,
// ranges in order, not overlapping and inside the image, its own checksum
// right (versions 1.3 and later record one; 2.x must), and the image's size.
// Otherwise it is ignored, the whole image is written, and `problem` says why
// in one short sentence.
//
// Threads: any. FindBlockMap reads the small map file (and the image's first
// bytes and size), so the window calls it off its own thread.
// Ownership: plain values; Digest owns its hashing state.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::int64_t kMaxBlockMapBytes = 16 << 20;

enum class ChecksumKind { None, Md5, Sha1, Sha256 };

// A running checksum of one kind (OpenSSL's libcrypto: SHA-256 runs on the
// CPU's SHA instructions, several times faster than a portable one).
class Digest {
  public:
    using Value = std::array<unsigned char, 32>;
    explicit Digest(ChecksumKind kind);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
    void Add(const void* data, std::size_t size);
    // The checksum of what was added since the last Finish; starts anew.
    Value Finish();

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

struct MappedRange {
    std::int64_t offset = 0;  // bytes into the image
    std::int64_t bytes = 0;   // the last block may end early, at the image's end
    bool checked = false;     // the map gives its checksum, in `checksum`
    Digest::Value checksum{};
};

struct BlockMap {
    std::int64_t imageBytes = 0;
    std::int64_t blockBytes = 0;
    std::int64_t mappedBytes = 0;  // the ranges' bytes together
    ChecksumKind kind = ChecksumKind::None;
    std::vector<MappedRange> ranges;
};

struct BlockMapInfo {
    std::string path;     // the map found beside the image; "" when there is none
    std::string problem;  // why it is ignored, one sentence; "" when it is used
    BlockMap map;         // what it says, when it is used
    bool Usable() const { return !path.empty() && problem.empty(); }
};

// Where a map of the image may lie, in the order they are looked at: IMAGE.bmap,
// then the image's name without its compression suffix plus ".bmap".
std::vector<std::string> BlockMapNames(const std::string& imagePath);

// The map in `text`, checked as above except for the image's size: "" and
// *map filled, or why it cannot be used.
std::string ParseBlockMap(std::string_view text, BlockMap* map);

// Why the map does not describe an image of `imageBytes`; "" when it does.
std::string ImageSizeProblem(const BlockMap& map, std::int64_t imageBytes);

// The map beside the image and whether it can be used. The image's size is
// checked here for a raw image only (its file size); the job checks it again
// once it knows the decompressed size.
BlockMapInfo FindBlockMap(const std::string& imagePath);
