#pragma once
// What the window says of a write on the line under the progress bar: sizes
// in MB of 1,048,576 bytes (the unit of the stick's "Size:" line), durations,
// the progress of the copy and the verification with a smoothed rate, and
// the one-sentence reasons of a failure.
//
// Threads: the window's thread. TransferRate is a value its user owns.

#include <QString>
#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

#include "DeviceImageWriter.h"

// "48 MB": whole MB of 1,048,576 bytes, as the "Size:" line counts them.
QString SizeText(std::int64_t bytes);
// "0:07", "1:02:03".
QString DurationText(std::int64_t seconds);

// The phase ("Writing", "Verifying"), its percent, bytes done of the
// image's size, rate and time left, and the time since the write began.
// A rate of 0 (not measured yet) shows the bytes so far alone.
QString ProgressInfoText(const QString& phase, std::int32_t percent, std::int64_t done,
                         std::int64_t total, double bytesPerSecond, std::int64_t elapsedSeconds);

QString TooLargeText(std::int64_t imageBytes, std::int64_t stickBytes);
// Why a write or a clear failed, in one sentence.
QString FailureText(const WriteFailure& failure);

// The rate of one phase of a write, from the bytes done at each poll: the
// bytes between the moments the count moved over the last few seconds (a
// window that grows with the phase, up to 20 s), so that a stick that takes
// its data in pieces at a steady speed shows a steady rate and a time left
// that only falls; a stick that stops taking data shows its rate falling.
class TransferRate {
  public:
    using Clock = std::chrono::steady_clock;
    // A new phase starts with `bytes` done.
    void Restart(std::int64_t bytes, Clock::time_point now);
    void Sample(std::int64_t bytes, Clock::time_point now);
    // Bytes per second; 0 until a second has passed and bytes have moved.
    double BytesPerSecond() const { return m_rate; }

  private:
    std::deque<std::pair<Clock::time_point, std::int64_t>> m_samples;
    Clock::time_point m_start;
    double m_rate = 0;
};
