#include "window/ImageSummary.h"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <cstring>

#include "window/SafeText.h"
#include "window/WriteInfoText.h"

namespace {

using platform::ImageContent;

// Longer labels are cut: ISO 9660's are at most 32 characters, UDF's 126.
constexpr qsizetype kMaxLabel = 40;

// The context of these texts' translations.
class ImageSummary {
    Q_DECLARE_TR_FUNCTIONS(ImageSummary)
};

QString Label(const std::string& raw) {
    const QList<uint> text = QString::fromStdString(CleanText(raw)).simplified().toUcs4();
    if (text.size() <= kMaxLabel)
        return QString::fromUcs4(reinterpret_cast<const char32_t*>(text.constData()), text.size());
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(text.constData()), kMaxLabel - 1) +
           QStringLiteral("…");
}

QString FileSystemName(const std::string& type) {
    if (type == "iso9660") return QStringLiteral("ISO 9660");
    if (type == "udf") return QStringLiteral("UDF");
    if (type == "crypto_LUKS") return QStringLiteral("LUKS");
    return QString::fromStdString(CleanText(type));
}

QString TableName(const std::string& type) {
    if (type == "dos") return QStringLiteral("MBR");
    if (type == "gpt") return QStringLiteral("GPT");
    return QString::fromStdString(CleanText(type));
}

// `ext4 “rootfs”`, or the type alone when it has no label.
QString FileSystemText(const std::string& type, const std::string& label) {
    const QString shown = Label(label);
    if (shown.isEmpty()) return FileSystemName(type);
    return ImageSummary::tr("%1 “%2”").arg(FileSystemName(type), shown);
}

QString PartitionText(const platform::FoundPartition& p, std::int64_t probedBytes) {
    if (!p.read)
        return ImageSummary::tr("partition %1 (beyond the %2 read)")
            .arg(QString::number(p.number), SizeText(probedBytes));
    if (p.type.empty())
        return ImageSummary::tr("partition %1 (no file system recognised)").arg(p.number);
    return FileSystemText(p.type, p.label);
}

bool HasGpt(const ImageContent& c) {
    return std::find(c.tables.begin(), c.tables.end(), "gpt") != c.tables.end();
}

}  // namespace

ImageFlag FlagOf(const ImageContent& c) {
    if (c.problem != ImageContent::Problem::None) return ImageFlag::Unreadable;
    if ((c.fileSystem == "iso9660" || c.fileSystem == "udf") && !c.bootSignature && !HasGpt(c))
        return ImageFlag::NotBootable;
    if (c.fileSystem.empty() && c.tables.empty()) return ImageFlag::Unrecognised;
    return ImageFlag::None;
}

QString ImageSummaryText(const ImageContent& c, std::optional<std::int64_t> stickBytes) {
    if (c.problem != ImageContent::Problem::None) return {};
    QStringList tables;
    for (const std::string& table : c.tables) tables << TableName(table);
    QStringList parts;
    if (!c.fileSystem.empty()) {
        // A file system over the whole image: its partitions (a hybrid ISO's
        // boot partitions) lie inside it.
        parts << FileSystemText(c.fileSystem, c.label);
        if (!tables.isEmpty()) parts << tables.join(QStringLiteral(" + "));
    } else if (!tables.isEmpty()) {
        QStringList items;
        for (const platform::FoundPartition& p : c.partitions)
            items << PartitionText(p, c.probedBytes);
        const QString table = tables.join(QStringLiteral(" + "));
        parts << (items.isEmpty() ? ImageSummary::tr("%1, no partitions").arg(table)
                                  : ImageSummary::tr("%1: %2").arg(table, items.join(", ")));
    }
    if (c.writtenSize < 0)
        parts << ImageSummary::tr("size once written unknown");
    else if (stickBytes)
        parts << ImageSummary::tr("%1 once written (stick: %2)")
                     .arg(SizeText(c.writtenSize), SizeText(*stickBytes));
    else
        parts << ImageSummary::tr("%1 once written").arg(SizeText(c.writtenSize));
    return parts.join(QStringLiteral(" · "));
}

QString FlagSentence(const ImageContent& c) {
    using Problem = ImageContent::Problem;
    switch (FlagOf(c)) {
        case ImageFlag::None:
            return {};
        case ImageFlag::NotBootable:
            return ImageSummary::tr(
                "This image is made for optical discs: a stick written with it will most likely "
                "not start a computer.");
        case ImageFlag::Unrecognised:
            return ImageSummary::tr(
                "The image holds no partition table or file system the system recognises.");
        case ImageFlag::Unreadable:
            break;
    }
    switch (c.problem) {
        case Problem::CannotOpen:
            return ImageSummary::tr("The image's content could not be read (%1).")
                .arg(QString::fromLocal8Bit(std::strerror(c.error)));
        case Problem::NotAFile:
            return ImageSummary::tr("The image's content could not be read: it is not a file.");
        case Problem::Misnamed:
            return ImageSummary::tr(
                "The image's content could not be read: its name promises a compression its "
                "content lacks.");
        case Problem::TooShort:
            return ImageSummary::tr(
                "The image's content could not be read: it is shorter than one sector (512 "
                "bytes).");
        case Problem::Decompression:
            return ImageSummary::tr(
                       "The image's content could not be read: it is damaged or cut short (%1).")
                .arg(QString::fromStdString(c.detail));
        case Problem::None:
            break;
    }
    return {};
}

QString FlagConfirmationText(ImageFlag flag) {
    if (flag == ImageFlag::NotBootable)
        return ImageSummary::tr(
            "This image is made for optical discs: it has neither the boot record nor the "
            "partition table a computer looks for on a stick, so a stick written with it will most "
            "likely not start a computer. It is written as it is only if you confirm.");
    if (flag == ImageFlag::Unrecognised)
        return ImageSummary::tr(
            "This image holds no partition table or file system the system recognises, so a stick "
            "written with it will most likely not start a computer, nor show files. It is written "
            "as it is only if you confirm.");
    return {};
}

QString BlockMapText(const BlockMapInfo& info) {
    if (info.path.empty()) return {};
    const QString name =
        QString::fromStdString(CleanText(info.path.substr(info.path.rfind('/') + 1)));
    if (!info.Usable())
        return ImageSummary::tr("Block map %1 ignored: %2 The whole image is written.")
            .arg(name, QString::fromStdString(info.problem));
    return ImageSummary::tr("Block map %1: %2 of %3 hold data.")
        .arg(name, SizeText(info.map.mappedBytes), SizeText(info.map.imageBytes));
}
