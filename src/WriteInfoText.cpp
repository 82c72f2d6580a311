#include "WriteInfoText.h"

#include <algorithm>

namespace {
constexpr double kMB = 1024.0 * 1024.0;
}

QString SizeText(std::int64_t bytes) {
    return QStringLiteral("%1 MB").arg(std::max<std::int64_t>(bytes, 0) >> 20);
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
    const QString bytes = QStringLiteral("%1 of %2").arg(SizeText(done), SizeText(total));
    const QString elapsed = DurationText(elapsedSeconds);
    if (bytesPerSecond <= 0) return QStringLiteral("%1: %2 (%3)").arg(phase, bytes, elapsed);
    const auto left = static_cast<std::int64_t>(static_cast<double>(total - done) / bytesPerSecond);
    return QStringLiteral("%1: %2 %, %3 MB/s, %4 left (%5, %6)")
        .arg(phase)
        .arg(percent)
        .arg(bytesPerSecond / kMB, 0, 'f', 1)
        .arg(DurationText(left), bytes, elapsed);
}

QString TooLargeText(std::int64_t imageBytes, std::int64_t stickBytes) {
    // Whole MB alone could read "32 MB is larger than 32 MB".
    if (imageBytes >> 20 == stickBytes >> 20)
        return QStringLiteral("The image is larger than the stick by %1 bytes (both %2).")
            .arg(imageBytes - stickBytes)
            .arg(SizeText(imageBytes));
    return QStringLiteral("The image (%1) is larger than the stick (%2).")
        .arg(SizeText(imageBytes), SizeText(stickBytes));
}

QString MismatchText(std::int64_t offset) {
    return QStringLiteral(
               "Verification found a difference at byte %1: the stick may be failing or fake.")
        .arg(offset);
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
