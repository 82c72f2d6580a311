#include "workflow/WriteJob.h"

#include <sys/stat.h>

#include <QPointer>
#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/disks/DiskService.h"

namespace {

// Nothing moving this long: the stick is said not to answer. A cancel not
// taken this long: the job is given up.
constexpr std::chrono::seconds kNotAnswering{30}, kGiveUp{5};

}  // namespace

bool WriteJob::Start(DeviceImageWriter& writer, const std::string& image, const ImageFacts& look,
                     const std::string& device, bool verify, bool useBlockMap,
                     FinishedCallback finished, ProgressCallback progress) {
    m_writer = &writer;
    m_asked = false;
    m_image = look;
    m_cancelRequested = false;
    m_started = m_moved = std::chrono::steady_clock::now();
    m_moving = 0;
    m_phaseStarted = false;
    m_writer->SetImageFile(image.c_str());
    m_writer->SetVerify(verify);
    m_writer->SetUseBlockMap(useBlockMap);
    m_writer->SetDevice(device.c_str());
    return m_writer->WriteImage(finished, progress);
}

void WriteJob::Cancel() {
    m_cancelRequested = true;
    m_cancelled = std::chrono::steady_clock::now();
    m_writer->StopImageWriting();
}

bool WriteJob::NewQuestion(QString* text) {
    const auto question = m_writer->Question();
    if (!question || m_asked) return false;
    m_asked = true;
    *text = tr("The stick claims %1 but holds only about %2: it is counterfeit or broken. The "
               "image (%3) fits in what it holds, so it can still be written, but the rest of "
               "the stick cannot be used. Continue writes the image; Cancel stops.")
                .arg(SizeText(question->claimedBytes), SizeText(question->realBytes),
                     SizeText(question->imageBytes));
    return true;
}

void WriteJob::Answer(bool go) {
    m_writer->Answer(go);
}

bool WriteJob::GivenUp() const {
    return m_cancelRequested && std::chrono::steady_clock::now() - m_cancelled >= kGiveUp;
}

std::unique_ptr<DeviceImageWriter> WriteJob::GiveUp(std::unique_ptr<DeviceImageWriter> writer) {
    writer->GiveUp();
    // Kept where the program can always reach them, since a stuck thread may
    // outlive this job and the window; freed once their threads have ended.
    static auto* givenUp = new std::vector<std::unique_ptr<DeviceImageWriter>>;
    std::erase_if(*givenUp, [](const auto& old) { return !old->JobRunning(); });
    givenUp->push_back(std::move(writer));
    auto fresh = std::make_unique<DeviceImageWriter>();
    m_tempDirectory = m_base + std::to_string(++m_givenUp) + "/";
    mkdir(m_tempDirectory.c_str(), 0700);
    fresh->SetTempDirectory(m_tempDirectory.c_str());
    const QString outcome =
        tr("The stick stopped answering and was given up: it may be partly "
           "written.");
    emit line(outcome);
    emit finished(false, tr("Image could not be written!"), outcome);
    return fresh;
}

// The elapsed time always moves, so a long write visibly lives.
std::int32_t WriteJob::Poll(std::int32_t progressValue, QString* line) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    const std::int64_t elapsed = duration_cast<seconds>(now - m_started).count();
    const std::int32_t copyPercent = std::clamp<std::int32_t>(progressValue, 0, 100);
    std::error_code error;
    const std::int64_t decompressed = static_cast<std::int64_t>(
        std::filesystem::file_size(std::filesystem::path(m_tempDirectory) / kTempImageName, error));
    const std::int64_t moving = (error ? 0 : decompressed) + m_writer->WrittenBytes() +
                                std::max<std::int64_t>(m_writer->VerifiedBytes(), 0);
    // Only what the job does on the open stick can stall on it; an open that
    // waits on a password prompt, or a question to the user, does not.
    const bool waiting = !m_writer->DeviceOpen() || m_writer->Question().has_value();
    if (moving != m_moving || waiting) {
        m_moving = moving;
        m_moved = now;
    }
    if (m_writer->Question()) {
        *line = tr("The stick holds less than it claims: waiting for your answer\u2026");
        return copyPercent;
    }
    if (now - m_moved >= kNotAnswering) {
        *line = tr("The stick is not answering: nothing has moved for %1.")
                    .arg(DurationText(duration_cast<seconds>(now - m_moved).count()));
        return copyPercent;
    }
    if (m_cancelRequested) {
        *line = tr("Cancelling\u2026 (%1)").arg(DurationText(elapsed));
        return copyPercent;
    }
    // The writer knows the image's real size once decompression has ended
    // (a raw image's is known from the start); chunk numbers alone would
    // round small images up to whole chunks.
    std::int64_t imageBytes = m_writer->ImageBytes();
    if (imageBytes < 0 && m_image.format == ImageFormat::Raw) imageBytes = m_image.bytes;
    if (imageBytes < 0) {
        const std::int64_t size = decompressed;
        // An xz or zstd image streams once its index gives its size, which
        // takes a moment: until a temporary file shows it does not, it is
        // being written.
        const bool mayStream =
            m_image.format == ImageFormat::Xz || m_image.format == ImageFormat::Zstd;
        if (mayStream && error)
            *line = tr("Writing: (%1)").arg(DurationText(elapsed));
        else if (!error && size > 0)
            *line =
                tr("Decompressing image\u2026 %1 (%2)").arg(SizeText(size), DurationText(elapsed));
        else
            *line = tr("Decompressing image\u2026 (%1)").arg(DurationText(elapsed));
        return copyPercent;
    }
    // The bytes the stick has taken, not whole chunks: the percentage and
    // the rate follow them.
    const std::int64_t verified = m_writer->VerifiedBytes();
    const bool verifying = verified >= 0;
    const std::int64_t done = std::min(verifying ? verified : m_writer->WrittenBytes(), imageBytes);
    // Each phase has its own rate, measured from its first poll.
    if (!m_phaseStarted || verifying != m_phaseIsVerify) {
        m_phaseStarted = true;
        m_phaseIsVerify = verifying;
        m_rate.Restart(done, now);
    }
    m_rate.Sample(done, now);
    const auto percent =
        static_cast<std::int32_t>(done * 100 / std::max<std::int64_t>(imageBytes, 1));
    *line = ProgressInfoText(verifying ? tr("Verifying") : tr("Writing"), percent, done, imageBytes,
                             m_rate.BytesPerSecond(), elapsed);
    return percent;
}

void WriteJob::Finish(bool written, bool powerOff, const std::string& bsdName) {
    const QString outcome = Outcome(written);
    emit line(outcome);
    if (!written) return emit finished(false, tr("Image could not be written!"), outcome);
    if (!powerOff) return emit finished(true, tr("Image successfully written!"), QString());
    // Taken off the bus, it can be pulled out at once.
    emit line(tr("Powering the stick off\u2026"));
    platform::ActiveDiskService().PowerOffDrive(bsdName, [self = QPointer<WriteJob>(this), outcome](
                                                             bool off, const std::string& why) {
        if (!self) return;
        emit self->line(outcome);
        emit self->finished(
            true, tr("Image successfully written!"),
            off ? tr("The stick is powered off and can be removed.")
                : tr("The stick could not be powered off: %1").arg(QString::fromStdString(why)));
    });
}

QString WriteJob::Outcome(bool succeeded) const {
    if (!succeeded) return FailureText(m_writer->Failure());
    const bool verified =
        m_writer->VerifiedBytes() >= 0 && m_writer->VerifiedBytes() == m_writer->ImageBytes();
    return verified ? tr("Written and verified") : tr("Written");
}
