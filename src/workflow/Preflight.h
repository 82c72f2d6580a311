#pragma once
// Preflight: what is checked of the stick and the image once the user has
// confirmed an operation, and what the confirmation itself adds. Each check
// is a small function over plain data (PreflightFacts); the table runs them
// in order, and the first that does not let the operation go decides, with
// the sentence the user gets and the trace line. Checks at the confirmation
// only ask: each adds a paragraph to the data-loss sheet.
//
// What reads the disk service, the kernel's tables and the image file is
// passed in (PreflightSources), so the table needs no device.
//
// Threads: Decide is pure, for any thread. PreflightRun is made and used on
// the window's thread: it takes the stick's facts there (the disk service
// lives there), looks at the image and decides on a worker thread of its own,
// and reports on the window's thread. It owns that thread and joins it.

#include <QCoreApplication>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "StorageDeviceHandler.h"
#include "platform/files/ImageChecksum.h"
#include "window/ImageSummary.h"
#include "writer/ImageFormat.h"

// The operation a data-loss confirmation is for (the sheet's context).
enum OperationCode : int {
    OperationClear = 0,
    OperationWrite = 1,
    OperationFormat = 2,  // the stick made an everyday stick again
};

// The selected stick, as listed and as the disk service and the kernel
// describe it now.
struct StickFacts {
    std::string bsdName;
    std::string name;  // vendor and model
    std::uint64_t bytes = 0;
    bool removable = true, mediaRemovable = true;
    ConfirmedDevice now = ConfirmedDevice::Same;
};

// The chosen image, as a worker thread found it.
struct ImageFacts {
    bool readable = false;  // a regular file that can be read
    ImageFormat format = ImageFormat::Damaged;
    std::int64_t bytes = -1;           // the file's size
    bool onStick = false;              // on the stick itself, or on something stacked on it
    bool changed = false;              // since its checksum was checked
    ImageFlag flag = ImageFlag::None;  // what its content says, once known
};

struct PreflightFacts {
    int operation = OperationWrite;
    StickFacts stick;
    ImageFacts image;
    platform::ImageChecksum::State checksum = platform::ImageChecksum::State::None;
    QString checksumFile;  // the publisher's checksum file, for the sentences
};

struct Verdict {
    enum Kind { Go, Refuse, Wait, Ask } kind = Go;
    // Refuse: the message box's text; Wait: what the info line says while it
    // waits; Ask: the paragraphs the confirmation adds.
    QString message;
    QString reason;     // Refuse: the sentence below the message, if any
    std::string trace;  // Refuse: the line standard output gets, if any
};

class Preflight {
    Q_DECLARE_TR_FUNCTIONS(Preflight)
  public:
    enum Stage { AtConfirmation, BeforeUnmount };
    // AtConfirmation: Ask with every paragraph that applies, else Go.
    // BeforeUnmount: the first check that does not let the operation go.
    static Verdict Decide(Stage stage, const PreflightFacts& facts);
};

// What the checks read, passed in. `stick` runs on the window's thread,
// `image` (when there is an image to look at) on the worker thread.
struct PreflightSources {
    std::function<StickFacts()> stick;
    std::function<ImageFacts()> image;
};

class PreflightRun : public QObject {
    Q_OBJECT
  public:
    PreflightRun() = default;
    ~PreflightRun() override { Cancel(); }
    PreflightRun(const PreflightRun&) = delete;
    PreflightRun& operator=(const PreflightRun&) = delete;

    // Gathers the facts and decides (BeforeUnmount); decided() follows.
    // `facts` brings what the window knows already (operation, checksum).
    void Start(PreflightFacts facts, PreflightSources sources);
    // Drops the answer of a run still on its way; waits for its thread.
    void Cancel();

  signals:
    void decided(const Verdict& verdict, const PreflightFacts& facts);

  private:
    std::thread m_thread;
    unsigned m_generation = 0;
};
