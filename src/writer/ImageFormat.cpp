#include "writer/ImageFormat.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <initializer_list>

namespace {

// xz's decoding threads each hold a block; beyond this cap it runs fewer
// (one at the least, never refusing). It keeps xz near 10 MiB, so writer and
// decompressor stay within 32 MiB: files of small blocks still decode on
// several cores, those of xz -T0's default 24 MiB blocks on one (two threads
// would need about 90 MiB).
constexpr char kXzThreadMemory[] = "--memlimit-mt-decompress=20MiB";

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
    if (format == ImageFormat::Zstd) return {"zstd", "-lv", "--", path};
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
    if (format == ImageFormat::Zstd) {
        // "Decompressed Size: 2.86 MiB (3000000 B)", only when every frame records it.
        const std::string_view line = LineAfter(listing, "Decompressed Size:");
        const std::size_t open = line.rfind('(');
        if (open == std::string_view::npos || !line.ends_with(" B)")) return -1;
        return Number(line.substr(open + 1, line.size() - 3 - (open + 1)));
    }
    return -1;
}

std::vector<std::string> StreamArguments(ImageFormat format, const std::string& path) {
    if (format == ImageFormat::Xz) return {"xz", "-T0", kXzThreadMemory, "-dc", "--", path};
    if (format == ImageFormat::Zstd) return {"zstd", "-dcq", "--", path};
    return {};
}
