#pragma once
// WriteJob: a write as the window runs and shows it, once the stick is
// unmounted. It starts the writer's job with the window's choices, tells at
// every status poll the progress bar's value and the line under it (how far
// decompression has come, then the copy's and the verification's
// percentage, bytes, rate and time left, with the time since the start),
// passes a cancel on, and once the job has ended says how, powering the
// stick off first when asked. A stick that stops answering (nothing moves
// for 30 s) is said to; when it does not take a cancel within 5 s, it is
// given up: the window need not wait for the kernel.
//
// A counterfeit stick that holds the image anyway makes the job ask the user
// (Question) before the image's first byte.
//
// Threads: the window's thread; the writer's job reports through its own
// plain callbacks. Ownership: the controller owns the writer and the
// WriteJob, which only points at the writer of the job it started.

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "DeviceImageWriter.h"
#include "window/WriteInfoText.h"
#include "workflow/Preflight.h"

class WriteJob : public QObject {
    Q_OBJECT
  public:
    // `tempDirectory` (ending in "/"): where the writers decompress.
    explicit WriteJob(std::string tempDirectory)
        : m_base(tempDirectory), m_tempDirectory(std::move(tempDirectory)) {}

    // Starts `writer`'s job on `image` (as the checks found it) onto
    // `device`; false when the writer refused to start.
    bool Start(DeviceImageWriter& writer, const std::string& image, const ImageFacts& look,
               const std::string& device, bool verify, bool useBlockMap, FinishedCallback finished,
               ProgressCallback progress);
    void Cancel();
    bool Cancelling() const { return m_cancelRequested; }
    // A cancel the job has not taken within 5 s: the stick does not answer.
    bool GivenUp() const;
    // A question the job has just begun to wait on: true once per question,
    // with the sheet's text; Answer lets the job go on, or stops it.
    bool NewQuestion(QString* text);
    void Answer(bool go);

    // The status poll: the progress bar's value (0-100) from the writer's
    // last progress report and the bytes the stick has taken; *line gets the
    // text under the bar.
    std::int32_t Poll(std::int32_t progressValue, QString* line);
    // The job has ended (`written`): the line says how ("Written and
    // verified", "Written", or why it failed); a written stick is powered
    // off first when `powerOff`, which a refusal does not undo. finished()
    // follows with the result box's message and the sentence below it.
    void Finish(bool written, bool powerOff, const std::string& bsdName);
    // Gives the stuck job up with its writer, which lives on as long as the
    // job's thread may use it, while a new writer, with a temporary
    // directory of its own, is returned for the jobs to come; then says it
    // may have written part of the stick.
    std::unique_ptr<DeviceImageWriter> GiveUp(std::unique_ptr<DeviceImageWriter> writer);

  signals:
    void line(const QString& text);
    void finished(bool written, const QString& message, const QString& reason);

  private:
    QString Outcome(bool written) const;

    DeviceImageWriter* m_writer = nullptr;
    int m_givenUp = 0;  // writers given up: each had a temporary directory of its own
    const std::string m_base;
    std::string m_tempDirectory;  // the current writer's
    bool m_asked = false;
    ImageFacts m_image;
    bool m_cancelRequested = false;
    std::chrono::steady_clock::time_point m_started, m_cancelled;
    // What moves while the job works (bytes decompressed, written,
    // verified), and when it last moved.
    std::int64_t m_moving = 0;
    std::chrono::steady_clock::time_point m_moved;
    // The running phase (copy or verification), once a poll has seen it,
    // and its rate.
    bool m_phaseStarted = false;
    bool m_phaseIsVerify = false;
    TransferRate m_rate;
};
