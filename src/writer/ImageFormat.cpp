#include "writer/ImageFormat.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader: the header's size and flags
#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <initializer_list>

namespace {

// xz's decoding threads each hold a block, its input and its output: about
// 45 MiB for the 24 MiB blocks of xz -T0 -6. Within this cap it runs as many
// as the machine has cores and the cap allows (on one, never refusing, when a
// single block needs more), so that xz stays under 192 MiB and, with the
// writer's 30 MiB or so, both stay under 256 MiB of resident memory.
constexpr char kXzThreadMemory[] = "--memlimit-mt-decompress=192MiB";

std::int64_t Number(std::string_view text) {
    std::int64_t value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end != text.data() && value >= 0 ? value : -1;
}

// The line of `text` that starts with `prefix`, without the prefix.
std::string_view LineAfter(std::string_view text, std::string_view prefix) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        if (line.substr(0, prefix.size()) == prefix) return line.substr(prefix.size());
        at = end + 1;
    }
    return {};
}

}  // namespace

ImageFormat FormatOfContent(const unsigned char* magic, std::size_t length) {
    const auto starts = [&](std::initializer_list<unsigned char> bytes) {
        return length >= bytes.size() && std::equal(bytes.begin(), bytes.end(), magic);
    };
    if (starts({0x1f, 0x8b})) return ImageFormat::Gzip;
    if (starts({0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00})) return ImageFormat::Xz;
    if (starts({0x28, 0xb5, 0x2f, 0xfd})) return ImageFormat::Zstd;
    if (starts({0x42, 0x5a, 0x68})) return ImageFormat::Bzip2;
    return ImageFormat::Raw;
}

ImageFormat FormatOfName(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return ImageFormat::Raw;
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "gz" || extension == "imgz") return ImageFormat::Gzip;
    if (extension == "xz") return ImageFormat::Xz;
    if (extension == "zst") return ImageFormat::Zstd;
    if (extension == "bz2") return ImageFormat::Bzip2;
    return ImageFormat::Raw;
}

const char* DecompressTool(ImageFormat format) {
    switch (format) {
        case ImageFormat::Gzip:
            return "gunzip -c";
        case ImageFormat::Xz:
            return "xz -dc";
        case ImageFormat::Zstd:
            return "zstd -dc";
        case ImageFormat::Bzip2:
            return "bzip2 -dc";
        default:
            return nullptr;
    }
}

// "--" ends the options, so a path that starts with "-" stays a path.
std::vector<std::string> SizeListArguments(ImageFormat format, const std::string& path) {
    if (format == ImageFormat::Xz) return {"xz", "--robot", "--list", "--", path};
    return {};
}

std::int64_t ListedSize(ImageFormat format, std::string_view listing) {
    if (format == ImageFormat::Xz) {
        // file<TAB>streams<TAB>blocks<TAB>compressed<TAB>uncompressed<TAB>...
        std::string_view fields = LineAfter(listing, "file\t");
        for (int skip = 0; skip < 3; ++skip) {
            const std::size_t tab = fields.find('\t');
            if (tab == std::string_view::npos) return -1;
            fields.remove_prefix(tab + 1);
        }
        return Number(fields.substr(0, fields.find('\t')));
    }
    return -1;
}

bool ZstdContentSize(const ReadAt& read, std::int64_t fileBytes, std::int64_t* size,
                     std::string* problem) {
    *size = 0;
    const auto damaged = [&](std::int64_t at) {
        *problem = "frames damaged or cut short at byte " + std::to_string(at);
        return false;
    };
    for (std::int64_t frame = 0; frame < fileBytes;) {
        unsigned char header[ZSTD_FRAMEHEADERSIZE_MAX];
        const long long got = read(frame, header, sizeof header);
        ZSTD_frameHeader fh;
        if (got <= 0 || ZSTD_getFrameHeader(&fh, header, static_cast<std::size_t>(got)) != 0)
            return damaged(frame);
        std::int64_t at = frame + fh.headerSize;
        if (fh.frameType == ZSTD_skippableFrame) {
            at += static_cast<std::int64_t>(fh.frameContentSize);
        } else {
            if (fh.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
                *size = -1;
                return true;
            }
            if (fh.frameContentSize > static_cast<unsigned long long>(INT64_MAX - *size))
                return damaged(frame);
            *size += static_cast<std::int64_t>(fh.frameContentSize);
            // Block header: last-block flag, type (raw, RLE, compressed,
            // reserved), size; an RLE block stores one byte.
            for (bool last = false; !last;) {
                unsigned char b[3];
                if (at + 3 > fileBytes || read(at, b, 3) != 3) return damaged(frame);
                const unsigned block = b[0] | b[1] << 8 | b[2] << 16;
                const unsigned type = (block >> 1) & 3;
                if (type == 3) return damaged(frame);
                last = block & 1;
                at += 3 + (type == 1 ? 1 : block >> 3);
            }
            if (fh.checksumFlag) at += 4;
        }
        if (at > fileBytes) return damaged(frame);
        frame = at;
    }
    return true;
}

std::vector<std::string> StreamArguments(ImageFormat format, const std::string& path) {
    if (format == ImageFormat::Xz) return {"xz", "-T0", kXzThreadMemory, "-dc", "--", path};
    if (format == ImageFormat::Zstd) return {"zstd", "-dcq", "--", path};
    return {};
}
