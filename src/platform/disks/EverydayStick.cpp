#include "platform/disks/EverydayStick.h"

#include <QString>
#include <QStringDecoder>
#include <algorithm>

namespace platform {

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::size_t kLongestLabel = 11;  // FAT: bytes; exFAT: UTF-16 units

bool Control(char32_t c) {
    return c < 0x20 || c == 0x7f;
}

PlanProblem CheckFatLabel(std::string& label) {
    for (char& c : label) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || Control(byte) ||
            std::string_view("*?.,;:/\\|+=<>[]\"").find(c) != std::string_view::npos)
            return PlanProblem::LabelUnsupported;
        // Lower-case FAT labels are not read alike everywhere.
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return label.size() > kLongestLabel ? PlanProblem::LabelTooLong : PlanProblem::None;
}

PlanProblem CheckExfatLabel(const std::string& label) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(QByteArrayView(label.data(), qsizetype(label.size())));
    if (decoder.hasError() ||
        std::any_of(text.begin(), text.end(), [](QChar c) { return Control(c.unicode()); }))
        return PlanProblem::LabelUnsupported;
    return std::size_t(text.size()) > kLongestLabel ? PlanProblem::LabelTooLong : PlanProblem::None;
}

}  // namespace

StickFileSystem FileSystemFor(std::uint64_t bytes) {
    return bytes <= kLargestFat32Bytes ? StickFileSystem::Fat32 : StickFileSystem::Exfat;
}

EverydayStick PlanEverydayStick(std::uint64_t stickBytes, std::uint64_t usableBytes,
                                std::string_view label) {
    EverydayStick plan;
    if (usableBytes != 0 && usableBytes < stickBytes) {
        plan.size = usableBytes / kMiB * kMiB - std::min(usableBytes / kMiB * kMiB, kMiB);
        if (plan.size < kMiB) plan.problem = PlanProblem::TooSmall;
    }
    plan.fileSystem = FileSystemFor(plan.size != 0 ? plan.size : stickBytes);
    if (label.find_first_not_of(' ') != std::string_view::npos) plan.label = label;
    const PlanProblem labelProblem = plan.fileSystem == StickFileSystem::Fat32
                                         ? CheckFatLabel(plan.label)
                                         : CheckExfatLabel(plan.label);
    if (plan.problem == PlanProblem::None) plan.problem = labelProblem;
    return plan;
}

}  // namespace platform
