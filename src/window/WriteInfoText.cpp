#include "window/WriteInfoText.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr double kMB = 1024.0 * 1024.0;

// The context of these texts' translations.
class WriteInfoText {
    Q_DECLARE_TR_FUNCTIONS(WriteInfoText)
};

}  // namespace

QString SizeText(std::int64_t bytes) {
    return WriteInfoText::tr("%1 MB").arg(std::max<std::int64_t>(bytes, 0) >> 20);
}

QString DurationText(std::int64_t seconds) {
    seconds = std::max<std::int64_t>(seconds, 0);
    const std::int64_t h = seconds / 3600, m = (seconds / 60) % 60, s = seconds % 60;
    const QString ss = QStringLiteral("%1").arg(s, 2, 10, QLatin1Char('0'));
    if (h == 0) return QStringLiteral("%1:%2").arg(m).arg(ss);
    return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(ss);
}

QString ProgressInfoText(const QString& phase, std::int32_t percent, std::int64_t done,
                         std::int64_t total, double bytesPerSecond, std::int64_t elapsedSeconds) {
    const QString bytes = WriteInfoText::tr("%1 of %2").arg(SizeText(done), SizeText(total));
    const QString elapsed = DurationText(elapsedSeconds);
    if (bytesPerSecond <= 0) return QStringLiteral("%1: %2 (%3)").arg(phase, bytes, elapsed);
    const auto left = static_cast<std::int64_t>(static_cast<double>(total - done) / bytesPerSecond);
    return WriteInfoText::tr("%1: %2 %, %3 MB/s, %4 left (%5, %6)")
        .arg(phase)
        .arg(percent)
        .arg(bytesPerSecond / kMB, 0, 'f', 1)
        .arg(DurationText(left), bytes, elapsed);
}

QString TooLargeText(std::int64_t imageBytes, std::int64_t stickBytes) {
    // Whole MB alone could read "32 MB is larger than 32 MB".
    if (imageBytes >> 20 == stickBytes >> 20)
        return WriteInfoText::tr("The image is larger than the stick by %1 bytes (both %2).")
            .arg(imageBytes - stickBytes)
            .arg(SizeText(imageBytes));
    return WriteInfoText::tr("The image (%1) is larger than the stick (%2).")
        .arg(SizeText(imageBytes), SizeText(stickBytes));
}

namespace {

// Why the stick could not be opened, for the user.
QString OpenProblem(int error) {
    if (error == EACCES || error == EPERM)
        return WriteInfoText::tr("the password prompt was refused, or you may not write to it");
    if (error == EBUSY) return WriteInfoText::tr("another program is using it");
    return QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace

QString FailureText(const WriteFailure& f) {
    const QString error = QString::fromLocal8Bit(std::strerror(f.error));
    const QString detail = QString::fromStdString(f.detail);
    switch (f.kind) {
        case WriteFailure::NotReadable:
            return WriteInfoText::tr("The image is not a file that can be read.");
        case WriteFailure::Misnamed:
            return WriteInfoText::tr("The image's name promises a compression its content lacks.");
        case WriteFailure::Damaged:
            return WriteInfoText::tr("The image is damaged or cut short (%1).").arg(detail);
        case WriteFailure::ToolMissing:
            return WriteInfoText::tr("%1, which decompresses this image, is not installed.")
                .arg(detail);
        case WriteFailure::Empty:
            return WriteInfoText::tr("The image holds no bytes.");
        case WriteFailure::TooLarge:
            return TooLargeText(f.offset, f.deviceBytes);
        case WriteFailure::NoTempSpace:
            return WriteInfoText::tr("There is no room for the decompressed image in %1.")
                .arg(detail);
        case WriteFailure::CannotOpen:
            return WriteInfoText::tr("The stick could not be opened: %1.")
                .arg(OpenProblem(f.error));
        case WriteFailure::WriteStopped:
            return WriteInfoText::tr("The stick stopped accepting data at byte %1 (%2).")
                .arg(f.offset)
                .arg(error);
        case WriteFailure::FlushFailed:
            return WriteInfoText::tr("The stick did not confirm the data it took (%1).").arg(error);
        case WriteFailure::Mismatch:
            return WriteInfoText::tr(
                       "Verification found a difference at byte %1: a stick that gives back other "
                       "data than it took is failing (or fake).")
                .arg(f.offset);
        case WriteFailure::ReadBack:
            return WriteInfoText::tr("The stick could not be read back at byte %1.").arg(f.offset);
        case WriteFailure::Cancelled:
            return f.offset == 0
                       ? WriteInfoText::tr("Cancelled by you: nothing was written.")
                       : WriteInfoText::tr("Cancelled by you: the stick may be partly written.");
        case WriteFailure::NotCleared:
            return detail.isEmpty()
                       ? WriteInfoText::tr("The stick could not be read to check the clear (%1).")
                             .arg(error)
                       : WriteInfoText::tr(
                             "The stick still holds %1 after the clear: it may be failing or "
                             "ignore writes.")
                             .arg(detail);
        case WriteFailure::FakeStick:
            return WriteInfoText::tr(
                       "The stick holds only about %1 of the %2 it claims: it is counterfeit or "
                       "broken, and the image (%3) does not fit. Nothing was written.")
                .arg(SizeText(f.offset), SizeText(f.deviceBytes), SizeText(f.rangeBytes));
        case WriteFailure::ProbeFailed:
            return WriteInfoText::tr(
                       "The stick failed while its real size was checked (%1): it may be "
                       "failing. Nothing was written.")
                .arg(error);
        case WriteFailure::RangeDiffers:
            return WriteInfoText::tr(
                       "The image's bytes %1 to %2 differ from its block map: the image or the map "
                       "is damaged.")
                .arg(f.offset)
                .arg(f.offset + f.rangeBytes - 1);
        case WriteFailure::None:
        case WriteFailure::Other:
            break;
    }
    return WriteInfoText::tr("The write failed: standard output tells why.");
}

void TransferRate::Restart(std::int64_t bytes, Clock::time_point now) {
    m_samples.assign(1, {now, bytes});
    m_start = now;
    m_rate = 0;
}

void TransferRate::Sample(std::int64_t bytes, Clock::time_point now) {
    using Seconds = std::chrono::duration<double>;
    if (m_samples.empty()) Restart(bytes, now);
    // Only the moments the count moved tell the rate: between them a stick
    // that takes its data in pieces has not slowed down.
    if (bytes != m_samples.back().second) m_samples.emplace_back(now, bytes);
    // A longer window evens out how unevenly the pieces come.
    const Seconds window = std::clamp(Seconds(now - m_start) / 2, Seconds(3), Seconds(20));
    while (m_samples.size() > 2 && m_samples.back().first - m_samples[1].first >= window)
        m_samples.pop_front();
    const auto& [first, from] = m_samples.front();
    const auto& [last, to] = m_samples.back();
    double seconds = Seconds(last - first).count();
    if (seconds < 1.0 || to <= from) return;
    // No piece for twice as long as pieces took: the stick has slowed.
    const double sinceLast = Seconds(now - last).count();
    if (sinceLast > 2 * seconds / double(m_samples.size() - 1)) seconds += sinceLast;
    m_rate = static_cast<double>(to - from) / seconds;
}
