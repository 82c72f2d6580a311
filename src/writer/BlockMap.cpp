#include "writer/BlockMap.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QXmlStreamReader>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "DeviceImageWriter.h"
#include "platform/kernel/DeviceAccess.h"

struct Digest::State {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const EVP_MD* algorithm = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

namespace {

const EVP_MD* Algorithm(ChecksumKind kind) {
    switch (kind) {
        case ChecksumKind::Md5:
            return EVP_md5();
        case ChecksumKind::Sha1:
            return EVP_sha1();
        case ChecksumKind::Sha256:
            return EVP_sha256();
        case ChecksumKind::None:
            break;
    }
    return nullptr;
}

std::size_t DigestBytes(ChecksumKind kind) {
    return kind == ChecksumKind::Md5 ? 16 : kind == ChecksumKind::Sha1 ? 20 : 32;
}

}  // namespace

Digest::Digest(ChecksumKind kind) : m_state(std::make_unique<State>()) {
    m_state->algorithm = Algorithm(kind);
    if (m_state->algorithm) EVP_DigestInit_ex(m_state->context, m_state->algorithm, nullptr);
}

Digest::~Digest() = default;

void Digest::Add(const void* data, std::size_t size) {
    if (m_state->algorithm) EVP_DigestUpdate(m_state->context, data, size);
}

Digest::Value Digest::Finish() {
    Value value{};
    unsigned int size = 0;
    if (!m_state->algorithm) return value;
    EVP_DigestFinal_ex(m_state->context, value.data(), &size);
    EVP_DigestInit_ex(m_state->context, m_state->algorithm, nullptr);
    return value;
}

namespace {

// Limits that keep every count and product far from overflowing.
constexpr std::int64_t kMaxImageBytes = std::int64_t(1) << 56;
constexpr std::int64_t kMaxBlockBytes = 64 << 20;

std::int64_t Number(QStringView text) {
    const QByteArray digits = text.trimmed().toLatin1();
    std::int64_t value = -1;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc{} && end == digits.data() + digits.size() && value >= 0 ? value : -1;
}

// Hex digits into `value`: false unless they are exactly `bytes` bytes.
bool ParseHex(QStringView text, std::size_t bytes, Digest::Value* value) {
    const QByteArray hex = text.trimmed().toLatin1();
    if (hex.size() != qsizetype(2 * bytes)) return false;
    *value = {};
    for (std::size_t i = 0; i < bytes; ++i) {
        const auto [end, error] =
            std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, (*value)[i], 16);
        if (error != std::errc{} || end != hex.data() + 2 * i + 2) return false;
    }
    return true;
}

ChecksumKind KindNamed(QStringView name) {
    const QString type = name.trimmed().toString().toLower();
    if (type == u"sha256") return ChecksumKind::Sha256;
    if (type == u"sha1") return ChecksumKind::Sha1;
    if (type == u"md5") return ChecksumKind::Md5;
    return ChecksumKind::None;
}

// What the map's elements said, before any of it is checked.
struct Fields {
    int major = -1, minor = -1;
    std::int64_t imageBytes = -1, blockBytes = -1, blocks = -1, mappedBlocks = -1;
    QString type, ownChecksum, ownChecksumElement;
    struct Range {
        std::int64_t first, last;
        QString checksum;
    };
    std::vector<Range> ranges;
    bool rangesMalformed = false;
};

// The map's own checksum: that of the file with its value replaced by as many "0"s.
bool OwnChecksumMatches(std::string_view text, const Fields& f, ChecksumKind kind) {
    Digest::Value recorded;
    if (!ParseHex(f.ownChecksum, DigestBytes(kind), &recorded)) return false;
    const std::string value = f.ownChecksum.trimmed().toStdString();
    const std::size_t element = text.find("<" + f.ownChecksumElement.toStdString());
    const std::size_t at = text.find(value, element);
    if (element == std::string_view::npos || at == std::string_view::npos) return false;
    Digest digest(kind);
    digest.Add(text.data(), at);
    digest.Add(std::string(value.size(), '0').data(), value.size());
    digest.Add(text.data() + at + value.size(), text.size() - at - value.size());
    return digest.Finish() == recorded;
}

void ReadRanges(QXmlStreamReader& xml, const QString& checksumAttribute, Fields* f) {
    while (xml.readNextStartElement()) {
        if (xml.name() != u"Range") {
            f->rangesMalformed = true;
            xml.skipCurrentElement();
            continue;
        }
        const QString checksum = xml.attributes().value(checksumAttribute).toString();
        const QString text = xml.readElementText();
        const qsizetype dash = text.indexOf(u'-');
        const std::int64_t first = Number(QStringView(text).left(dash < 0 ? text.size() : dash));
        const std::int64_t last = dash < 0 ? first : Number(QStringView(text).mid(dash + 1));
        if (first < 0 || last < 0) f->rangesMalformed = true;
        f->ranges.push_back({first, last, checksum});
    }
}

// The elements of the map; "" or why it is not one.
std::string ReadFields(std::string_view text, Fields* f) {
    QXmlStreamReader xml(QByteArray::fromRawData(text.data(), qsizetype(text.size())));
    // A DTD is the only place entities can be declared: without one, nothing
    // can expand, and a reference to anything but XML's own five is an error.
    while (!xml.atEnd() && xml.readNext() != QXmlStreamReader::StartElement)
        if (xml.tokenType() == QXmlStreamReader::DTD)
            return "The block map declares a DTD, which a block map never needs.";
    if (xml.hasError()) return "The block map is not well-formed XML.";
    if (xml.name() != u"bmap") return "The file beside the image is not a block map.";
    const QString version = xml.attributes().value(QLatin1String("version")).toString();
    const qsizetype dot = version.indexOf(u'.');
    f->major = int(Number(QStringView(version).left(dot)));
    f->minor = dot < 0 ? -1 : int(Number(QStringView(version).mid(dot + 1)));
    if (f->major < 1 || f->major > 2 || f->minor < 0)
        return "Block map version " + version.left(20).toStdString() + " is not supported.";
    const bool newer = f->major == 2 || f->minor >= 4;
    while (xml.readNextStartElement()) {
        const QStringView name = xml.name();
        if (name == u"BlockMap") {
            ReadRanges(xml, newer ? QStringLiteral("chksum") : QStringLiteral("sha1"), f);
            continue;
        }
        std::int64_t* number = name == u"ImageSize"           ? &f->imageBytes
                               : name == u"BlockSize"         ? &f->blockBytes
                               : name == u"BlocksCount"       ? &f->blocks
                               : name == u"MappedBlocksCount" ? &f->mappedBlocks
                                                              : nullptr;
        const bool own = name == u"BmapFileChecksum" || name == u"BmapFileSHA1";
        if (own) f->ownChecksumElement = name.toString();
        if (!number && !own && name != u"ChecksumType") {
            xml.skipCurrentElement();  // later minor versions may add elements
            continue;
        }
        const QString value = xml.readElementText();
        if (number) *number = Number(value);
        if (own) f->ownChecksum = value;
        if (name == u"ChecksumType") f->type = value;
    }
    while (!xml.atEnd()) xml.readNext();  // the rest must be well-formed too
    if (xml.hasError()) return "The block map is not well-formed XML.";
    return "";
}

}  // namespace

std::string ParseBlockMap(std::string_view text, BlockMap* map) {
    *map = BlockMap{};
    if (std::int64_t(text.size()) > kMaxBlockMapBytes) return "The block map is too large.";
    Fields f;
    if (std::string problem = ReadFields(text, &f); !problem.empty()) return problem;
    const bool newer = f.major == 2 || f.minor >= 4;
    const ChecksumKind kind = newer ? KindNamed(f.type) : ChecksumKind::Sha1;
    if (kind == ChecksumKind::None) return "The block map's checksum type is not supported.";
    // Versions 1.3 and later record the map's own checksum.
    if (f.major == 2 || f.minor >= 3) {
        if (f.ownChecksum.isEmpty()) return "The block map lacks its own checksum.";
        if (!OwnChecksumMatches(text, f, newer ? kind : ChecksumKind::Sha1))
            return "The block map's own checksum does not match: it was changed or damaged.";
    }
    const std::int64_t block = f.blockBytes;
    if (f.imageBytes <= 0 || f.imageBytes > kMaxImageBytes || block < 512 ||
        block > kMaxBlockBytes || (block & (block - 1)) != 0 ||
        f.blocks != (f.imageBytes + block - 1) / block || f.mappedBlocks < 0 ||
        f.mappedBlocks > f.blocks || f.rangesMalformed)
        return "The block map's sizes and counts do not add up.";
    std::int64_t mappedBlocks = 0, next = 0;
    map->ranges.reserve(f.ranges.size());
    for (const Fields::Range& r : f.ranges) {
        if (r.first < next || r.last < r.first)
            return "The block map's ranges are out of order or overlap.";
        if (r.last >= f.blocks) return "The block map has a range beyond the image's end.";
        MappedRange range;
        range.offset = r.first * block;
        range.bytes = std::min((r.last + 1) * block, f.imageBytes) - range.offset;
        range.checked = !r.checksum.isEmpty();
        if (range.checked && !ParseHex(r.checksum, DigestBytes(kind), &range.checksum))
            return "The block map holds a range checksum that is not one.";
        map->ranges.push_back(range);
        map->mappedBytes += range.bytes;
        mappedBlocks += r.last - r.first + 1;
        next = r.last + 1;
    }
    if (mappedBlocks != f.mappedBlocks) return "The block map's sizes and counts do not add up.";
    if (mappedBlocks == 0) return "The block map maps none of the image.";
    map->imageBytes = f.imageBytes;
    map->blockBytes = block;
    map->kind = kind;
    return "";
}

std::string ImageSizeProblem(const BlockMap& map, std::int64_t imageBytes) {
    if (map.imageBytes == imageBytes) return "";
    return "The block map is for an image of " + std::to_string(map.imageBytes) +
           " bytes, not of " + std::to_string(imageBytes) + ".";
}

std::vector<std::string> BlockMapNames(const std::string& imagePath) {
    std::vector<std::string> names{imagePath + ".bmap"};
    if (FormatOfName(imagePath) != ImageFormat::Raw)
        names.push_back(imagePath.substr(0, imagePath.rfind('.')) + ".bmap");
    return names;
}

BlockMapInfo FindBlockMap(const std::string& imagePath) {
    BlockMapInfo info;
    for (const std::string& name : BlockMapNames(imagePath)) {
        // O_NONBLOCK: a FIFO in its place must not keep us waiting.
        const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) continue;
        info.path = name;
        struct stat st;
        std::string text;
        if (fd < 0 || fstat(fd, &st) != 0) {
            info.problem =
                std::string("The block map cannot be read: ") + std::strerror(errno) + ".";
        } else if (!S_ISREG(st.st_mode)) {
            info.problem = "The block map is not a regular file.";
        } else if (st.st_size > kMaxBlockMapBytes) {
            info.problem = "The block map is too large.";
        } else {
            text.resize(std::size_t(st.st_size));
            if (platform::ReadFull(fd, text.data(), text.size()) != (long long)text.size())
                info.problem = "The block map cannot be read.";
        }
        if (fd >= 0) close(fd);
        if (info.problem.empty()) info.problem = ParseBlockMap(text, &info.map);
        ImageFormat format = ImageFormat::Damaged;
        std::int64_t size = 0;
        if (info.problem.empty() && InspectImage(imagePath.c_str(), &format, &size) &&
            format == ImageFormat::Raw)
            info.problem = ImageSizeProblem(info.map, size);
        if (!info.problem.empty()) info.map = BlockMap{};
        return info;
    }
    return info;
}
