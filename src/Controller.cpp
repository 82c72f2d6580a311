#include "Controller.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>

#include "platform/desktop/DesktopNotification.h"
#include "platform/desktop/SleepInhibitor.h"
#include "platform/desktop/TempDirectory.h"
#include "platform/disks/DevicePaths.h"
#include "platform/disks/DiskService.h"
#include "window/Alerts.h"
#include "window/ImageChoice.h"
#include "window/WindowControls.h"
#include "workflow/ClearJob.h"
#include "workflow/FormatJob.h"
#include "workflow/StickOperation.h"
#include "workflow/WriteJob.h"

std::atomic<Controller*> g_controller{nullptr};

namespace {

constexpr int kScanMilliseconds = 2500;
constexpr int kStartMilliseconds = 50;
constexpr int kStatusMilliseconds = 200;

// Translated where they are shown (the translator is installed after these
// are made).
const char* const kStartUpWarning = QT_TRANSLATE_NOOP(
    "Controller",
    "Do not run this software while using any other software which is directly accessing the "
    "USB ports of your computer system.");
const char* const kDataLossWarning = QT_TRANSLATE_NOOP(
    "Controller",
    "The device and its partitions will be unmounted and reformatted. Any containing data will be "
    "erased. Please confirm this operation or press Cancel.");
}  // namespace

// ------------------------------------------------------------------ lifecycle

Controller::Controller() {
    InitDeviceHandling();
    m_deviceHandler = std::make_unique<StorageDeviceHandler>();
    m_deviceImageWriter = std::make_unique<DeviceImageWriter>();
    m_tempDirectory = platform::TempDirectory::Create();
    m_image = std::make_unique<ImageChoice>();
    m_sleepInhibitor = std::make_unique<platform::SleepInhibitor>();
    connect(m_image.get(), &ImageChoice::changed, this, [this] {
        WindowControls::SetImageLine(korvelImageInfo, m_image->Line());
        useBlockMapCheckBox->setVisible(m_image->BlockMapUsable());
    });
    connect(m_image.get(), &ImageChoice::dropped, this, &Controller::chooseImageFile);
    // Without a private directory the writer gets none and refuses to write:
    // a shared directory would let others plant links at its file name.
    m_deviceImageWriter->SetTempDirectory(tempDirectory().c_str());
    m_operation = std::make_unique<StickOperation>(m_image->Checksum());
    connect(m_operation.get(), &StickOperation::waiting, this, [this](const QString& text) {
        if (!text.isEmpty()) m_controls->ShowInfo(text);
        setWriteImageButton(tr("Cancel"), &Controller::abandonWait);
    });
    connect(m_operation.get(), &StickOperation::refused, this, &Controller::reportFailure);
    connect(m_operation.get(), &StickOperation::unmountRefused, this,
            &Controller::releaseOperationLock);
    m_writeJob = std::make_unique<WriteJob>(tempDirectory());
    connect(m_writeJob.get(), &WriteJob::line, this,
            [this](const QString& text) { m_controls->ShowInfo(text); });
    connect(m_writeJob.get(), &WriteJob::finished, this,
            [this](bool written, const QString& message, const QString& reason) {
                if (m_terminated) return;
                reportResult(message, !written, reason);
                endWrite();
            });
    m_clearJob = std::make_unique<ClearJob>();
    m_formatJob = std::make_unique<FormatJob>();
    connect(m_clearJob.get(), &StickJob::finished, this, &Controller::finishStickJob);
    connect(m_formatJob.get(), &StickJob::finished, this, &Controller::finishStickJob);
    // No image, no stick, no timer yet: the fields start empty.
    setWriteProgress(0);
    setApplicationStatus(StatusIdle);
    g_controller = this;
}

Controller::~Controller() {
    applicationWillTerminate();
    Controller* self = this;
    g_controller.compare_exchange_strong(self, nullptr);
}

void Controller::awakeFromNib() {
    idleWriteButton();
    // An image dropped on the window is chosen as with "Choose Image…".
    m_image->AcceptDrops(window, chooseImageButton);
    korvelImageInfo->setText(tr("No image file selected!"));
    usbStickChooser->addItem(tr("No USB device!"));
    usbStickChooser->setCurrentIndex(0);
    m_selectedIndex = 0;
    setGuiSettings(ModeStartup);
}

void Controller::terminate() {
    if (m_terminated) return;
    applicationWillTerminate();
    // Not quit(): in Qt 6 that first asks every window to close, and this
    // window refuses (it never closes without the program ending).
    QCoreApplication::exit(0);
}

// The order matters: the handler lives between InitDeviceHandling and
// FinalizeDeviceHandling, and the writer's temporary files go with the
// directory only once the writer is gone.
void Controller::applicationWillTerminate() {
    if (m_terminated) return;
    m_terminated = true;
    ReleaseTimer(refreshDeviceTimer);
    ReleaseTimer(refreshStatusTimer);
    m_deviceHandler.reset();
    FinalizeDeviceHandling();
    m_clearJob.reset();  // waits for a clear's thread
    m_formatJob.reset();
    m_operation.reset();
    m_writeJob.reset();
    m_image->Cancel();
    m_sleepInhibitor->Release();
    m_deviceImageWriter.reset();
    imageFileName.clear();
    m_tempDirectory.reset();
}

// A scan, a write or a clear on its way must finish first; quitting in the
// middle would leave a stick half written or the writer in use.
bool Controller::mayTerminateNow() const {
    return applicationOperationMode != ModeScanning && applicationOperationMode != ModeWriting &&
           !m_clearJob->Running() && !m_formatJob->Running();
}

bool Controller::windowShouldClose() {
    if (mayTerminateNow()) terminate();
    return false;
}

void Controller::terminationRequested() {
    if (m_terminated) return;
    if (mayTerminateNow()) {
        terminate();
        return;
    }
    m_terminateWhenIdle = true;
    if (refreshStatusTimer != nullptr && !m_writeJob->Cancelling()) {
        Trace("Cancel Write Image process.");
        startCancelWriteImage(nullptr);
    }
}

// ---------------------------------------------------------- modes, messages

void Controller::setGuiSettings(std::int32_t mode) {
    // A mode outside the table changes no control.
    if (const auto row = WindowControls::ModeRow(mode)) m_controls->Apply(*row);
    applicationOperationMode = mode;
}

void Controller::Message(const QString& message, bool asError, const QString& reason) {
    RunAlert(window, asError, asError ? tr("Error!") : tr("Notification!"), message, reason,
             tr("OK"));
}

void Controller::beginAlertSheet(const QString& title, const QString& defaultButton,
                                 const QString& alternateButton, bool escapeIsDefault,
                                 void (Controller::*endSelector)(int, int), int contextInfo,
                                 const QString& message) {
    OpenSheet(window, title, defaultButton, alternateButton, escapeIsDefault, message,
              [=, this](int code) {
                  if (!m_terminated) (this->*endSelector)(code, contextInfo);
              });
}

QTimer* Controller::scheduleTimer(int milliseconds, bool repeats, TimerSlot slot, bool kept) {
    return StartTimer(this, milliseconds, repeats, kept,
                      [this, slot](QTimer* t) { (this->*slot)(t); });
}

std::string Controller::tempDirectory() const {
    return m_tempDirectory ? m_tempDirectory->Path() : std::string();
}

// ---------------------------------------------------- start-up, device list

void Controller::applicationDidFinishLaunching() {
    beginAlertSheet(tr("Warning"), tr("Continue"), tr("Quit"), false,
                    &Controller::sheetDidEndForStartUpWarning, 0, tr(kStartUpWarning));
}

void Controller::sheetDidEndForStartUpWarning(int returnCode, int /*contextInfo*/) {
    returnCode == kAlertDefaultReturn ? startUpdatingDeviceList() : terminate();
}

void Controller::startUpdatingDeviceList() {
    if (m_terminated || refreshDeviceTimer != nullptr) return;  // one scan at a time
    setGuiSettings(ModeScanning);
    m_deviceHandler->AddToRunLoop();
    refreshDeviceTimer =
        scheduleTimer(kScanMilliseconds, false, &Controller::stopUpdatingDeviceList, true);
}

void Controller::refreshDeviceList() {
    if (m_operationInProgress) return;
    startUpdatingDeviceList();
}

void Controller::stopUpdatingDeviceList(QTimer* /*timer*/) {
    m_deviceHandler->RemoveFromRunLoop();
    ReleaseTimer(refreshDeviceTimer);
    setGuiSettings(ModeNoDevice);
    usbStickChooser->clear();
    m_deviceHandler->UpdateDeviceList();
    const DeviceList& devices = m_deviceHandler->GetDeviceList();
    // The rebuilt list selects its placeholder, so no earlier stick may stay
    // selected behind it.
    m_selectedDevice.reset();
    usbStickInfo->setText(QString());
    m_image->SetStickBytes(std::nullopt);
    m_selectedIndex = 0;
    QStringList names;
    for (const auto& entry : devices) names << QString::fromUtf8(entry->mediaName);
    WindowControls::ListSticks(
        usbStickChooser, names.isEmpty() ? tr("No USB device!") : tr("Select USB device!"), names);
    if (m_terminateWhenIdle) terminate();
}

void Controller::comboBoxSelectionDidChange() {
    // A scan, a write, or a confirmed operation waiting for its unmount keeps
    // the selection it started with: the list goes back to it.
    if (applicationOperationMode == ModeScanning || applicationOperationMode == ModeWriting ||
        m_operationInProgress || m_terminated) {
        usbStickChooser->setCurrentIndex(m_selectedIndex);
        return;
    }
    m_selectedDevice.reset();
    const int index = usbStickChooser->currentIndex();
    const DeviceList& devices = m_deviceHandler->GetDeviceList();
    if (index < 1 || static_cast<std::size_t>(index - 1) >= devices.size()) {
        usbStickInfo->setText(QString());
    } else {
        m_selectedDevice = std::make_unique<deviceEntryStruct>(*devices[index - 1]);
        QString info = QString::fromUtf8(m_selectedDevice->infoText);
        if (DeviceWriteProtected(*m_selectedDevice))
            info += tr("Write-protected: it can be neither written nor cleared.");
        WindowControls::SetElided(usbStickInfo, info);
    }
    m_selectedIndex = index;
    m_image->SetStickBytes(
        m_selectedDevice ? std::optional<std::int64_t>(m_selectedDevice->mediaSize) : std::nullopt);
    if (!m_selectedDevice) {
        setGuiSettings(ModeNoDevice);
    } else if (!imageFileName.empty()) {
        setGuiSettings(ModeReadyToWrite);
    } else {
        setGuiSettings(ModeDeviceSelected);
    }
}

void Controller::chooseImage() {
    const QString path = QFileDialog::getOpenFileName(
        window, tr("Choose Image"), QString(),
        tr("Disk images (*.gz *.imgz *.img *.iso *.raw *.bin *.xz *.zst "
           "*.bz2);;All files (*)"));
    if (path.isEmpty()) return;  // cancelled
    chooseImageFile(path);
}

void Controller::chooseImageFile(const QString& path) {
    if (path.isEmpty() || m_terminated) return;
    if (applicationOperationMode == ModeWriting || m_operationInProgress) return;
    imageFileName = QFile::encodeName(path).toStdString();
    m_image->Choose(imageFileName);
    if (m_selectedDevice) writeImageButton->setEnabled(true);
}

// ------------------------------------------------------------ write, clear

void Controller::writeImage() {
    if (m_operationInProgress) return;
    initiateWarningForDataLose(tr("Write Image"), OperationWrite);
}

void Controller::clearUSBDevice() {
    if (m_operationInProgress) return;
    initiateWarningForDataLose(tr("Clear Device"), OperationClear);
}

void Controller::initiateWarningForDataLose(const QString& operationName, int operationCode) {
    QString message = tr(kDataLossWarning);
    // What the stick and the image ask the user to weigh, below the warning.
    PreflightFacts facts;
    facts.operation = operationCode;
    if (m_selectedDevice) facts.stick = ListedStick(*m_selectedDevice);
    facts.image.flag = m_image->Flag();
    const Verdict asked = Preflight::Decide(Preflight::AtConfirmation, facts);
    if (asked.kind == Verdict::Ask) message += QStringLiteral("\n\n") + asked.message;
    if (operationCode == OperationFormat)
        message += QStringLiteral("\n\n") + FormatJob::Describe(m_everydayPlan);
    beginAlertSheet(tr("Warning - ") + operationName, tr("Cancel"), tr("Confirm"), true,
                    &Controller::sheetDidEndDataLoseWarning, operationCode, message);
}

void Controller::sheetDidEndDataLoseWarning(int returnCode, int contextInfo) {
    if (returnCode == kAlertDefaultReturn) return;  // Cancel
    static const std::map<int, std::pair<const char*, TimerSlot>> kStarts{
        {OperationClear, {"start clearing the usb device", &Controller::startClearDevice}},
        {OperationWrite, {"start image writing", &Controller::startImageWriting}},
        {OperationFormat, {"start making an everyday stick", &Controller::startFormatDevice}}};
    const auto start = kStarts.find(contextInfo);
    if (start == kStarts.end() || m_operationInProgress || !m_selectedDevice) return;
    lockForOperation();
    Trace(start->second.first);
    scheduleTimer(kStartMilliseconds, false, start->second.second, false);
}

// The result of a confirmed write or clear. One that took long enough for the
// user to turn to something else is also sent to the desktop when the window
// is not the active one.
void Controller::reportResult(const QString& message, bool asError, const QString& reason) {
    const auto took = std::chrono::steady_clock::now() - m_operationConfirmed;
    if (took >= std::chrono::seconds(10) && !window->isActiveWindow()) {
        platform::NotifyDesktop(QApplication::applicationDisplayName(), message, asError);
    }
    Message(message, asError, reason);
}

void Controller::reportFailure(const QString& message, const QString& reason) {
    m_controls->ShowInfo(reason.isEmpty() ? message : reason);
    reportResult(message, true, reason);
    releaseOperationLock();
}

void Controller::lockForOperation() {
    m_operationInProgress = true;
    m_operationConfirmed = std::chrono::steady_clock::now();
    m_controls->Hold();
    // The unmount may wait on a password prompt or a slow service: say so,
    // rather than leave only greyed buttons.
    m_controls->ShowInfo(tr("Unmounting the stick\u2026"));
}

void Controller::abandonWait() {
    m_operation->Abandon();
    releaseOperationLock();
}

bool Controller::unmountAnswered() {
    if (!m_operation->UnmountAnswered()) return false;
    idleWriteButton();
    return true;
}

// Nothing left to cancel: the button is "Write Image" again, held off until
// the window is ready.
void Controller::idleWriteButton() {
    m_controls->SetWriteButton(
        tr("Write Image"), [this] { writeImage(); }, false);
}

void Controller::releaseOperationLock() {
    if (!m_operationInProgress) return;
    m_operationInProgress = false;
    idleWriteButton();
    m_controls->GiveBack(applicationOperationMode == ModeWriting);
}

void Controller::startImageWriting(QTimer* timer) {
    if (m_terminated) return;
    if (!m_selectedDevice) {  // cannot happen while the operation holds the selection
        releaseOperationLock();
        return;
    }
    if (timer != nullptr) {
        m_operation->Begin(OperationWrite, *m_selectedDevice, imageFileName,
                           FinishedUnMountImageWriting);
        return;
    }
    // Mode 6 holds everything from here on.
    m_operationInProgress = false;
    setGuiSettings(ModeWriting);
    setApplicationStatus(StatusWriting);
    setWriteImageButton(tr("Cancel"), &Controller::cancelWriteImage);
    setWriteProgress(0);
    writeImageProgress->setValue(0);
    if (m_writeJob->Start(*m_deviceImageWriter, imageFileName, m_operation->Facts().image,
                          platform::RawNodePath(m_selectedDevice->bsdName),
                          verifyCheckBox->isChecked(), useBlockMapCheckBox->isChecked(),
                          FinishedWriteImage, WriteProgress)) {
        m_sleepInhibitor->Hold();  // a laptop must not sleep in the middle
        showWriteProgress();
        refreshStatusTimer =
            scheduleTimer(kStatusMilliseconds, true, &Controller::updateWriteStatus, true);
        return;
    }
    Message(tr("Cannot write image!"), true);
    setGuiSettings(ModeReadyToWrite);
    setWriteImageButton(tr("Write Image"), &Controller::writeImage);
}

void Controller::setWriteImageButton(const QString& title, Action action) {
    m_controls->SetWriteButton(title, [this, action] { (this->*action)(); });
}

void Controller::showWriteProgress() {
    QString line;
    writeImageProgress->setValue(m_writeJob->Poll(progressValue, &line));
    writeImageProgress->update();
    writeImageInfo->setText(line);
}

void Controller::updateWriteStatus(QTimer* /*timer*/) {
    showWriteProgress();
    if (QString question; m_writeJob->NewQuestion(&question))
        beginAlertSheet(tr("Warning - Counterfeit Stick"), tr("Cancel"), tr("Continue"), true,
                        &Controller::sheetDidEndCapacityWarning, 0, question);
    const std::int32_t status = applicationStatus;
    // A stick that does not take a cancel has stopped answering: its job is
    // given up, with its writer, and the window goes on with a new one.
    const bool givenUp = m_writeJob->GivenUp();
    if (status != StatusWriteSucceeded && status != StatusWriteFailed && !givenUp) return;
    ReleaseTimer(refreshStatusTimer);
    if (m_terminateWhenIdle) {  // nobody is waiting for a message any more
        terminate();
        return;
    }
    m_sleepInhibitor->Release();
    // Behind the result box the window already shows the outcome, and no
    // longer offers to cancel.
    idleWriteButton();
    if (givenUp) {
        m_deviceImageWriter = m_writeJob->GiveUp(std::move(m_deviceImageWriter));
        return;
    }
    m_writeJob->Finish(status == StatusWriteSucceeded, powerOffCheckBox->isChecked(),
                       m_selectedDevice->bsdName);
}

void Controller::sheetDidEndCapacityWarning(int returnCode, int /*contextInfo*/) {
    m_writeJob->Answer(returnCode != kAlertDefaultReturn);
}

void Controller::endWrite() {
    setGuiSettings(ModeReadyToWrite);
    setWriteImageButton(tr("Write Image"), &Controller::writeImage);
    if (m_terminateWhenIdle) terminate();  // asked for while the message was open
}

void Controller::cancelWriteImage() {
    Trace("Cancel Write Image process.");
    scheduleTimer(kStartMilliseconds, false, &Controller::startCancelWriteImage, false);
}

void Controller::startCancelWriteImage(QTimer* /*timer*/) {
    // The write may have ended in the meantime; then there is nothing to
    // cancel and the "Write Image" button must stay usable.
    if (m_terminated || refreshStatusTimer == nullptr) return;
    writeImageButton->setEnabled(false);
    m_writeJob->Cancel();
    showWriteProgress();
}

void Controller::startClearDevice(QTimer* timer) {
    if (!mayStartJob(*m_clearJob)) return;
    if (timer != nullptr)
        return m_operation->Begin(OperationClear, *m_selectedDevice, {}, FinishedUnMountClear);
    setApplicationStatus(StatusClearing);
    m_deviceImageWriter->SetDevice(platform::BlockNodePath(m_selectedDevice->bsdName).c_str());
    m_clearJob->Start(*m_deviceImageWriter, m_selectedDevice->bsdName);
    jobStarted(tr("Clearing the stick\u2026"));
}

// Not an operation of the window's first design: the stick made an ordinary
// one again, with a name the user gives it.
void Controller::makeEverydayStick() {
    if (m_operationInProgress || !m_selectedDevice) return;
    FormatJob::AskName(window, m_selectedDevice->mediaSize,
                       [this](const platform::EverydayStick& plan) {
                           if (!m_selectedDevice || m_operationInProgress) return;
                           m_everydayPlan = plan;
                           initiateWarningForDataLose(tr("Make Everyday Stick"), OperationFormat);
                       });
}

void Controller::startFormatDevice(QTimer* timer) {
    if (!mayStartJob(*m_formatJob)) return;
    if (timer != nullptr)
        return m_operation->Begin(OperationFormat, *m_selectedDevice, imageFileName,
                                  FinishedUnMountFormat);
    m_formatJob->Start(m_selectedDevice->bsdName, m_selectedDevice->mediaSize,
                       m_everydayPlan.label);
    jobStarted(tr("Making an everyday stick\u2026"));
}

bool Controller::mayStartJob(const StickJob& job) {
    if (m_terminated) return false;
    if (m_selectedDevice && !job.Running()) return true;
    releaseOperationLock();
    return false;
}

// The job may wait on a password prompt on a thread of its own: the window
// stays alive, and quitting waits until it is done.
void Controller::jobStarted(const QString& info) {
    m_sleepInhibitor->Hold();
    quitMenuItem->setEnabled(false);
    m_controls->ShowInfo(info);
    setWriteImageButton(tr("Cancel"), &Controller::abandonJob);
}

void Controller::abandonJob() {
    writeImageButton->setEnabled(false);
    m_clearJob->Running() ? m_clearJob->Abandon() : m_formatJob->Abandon();
}

// The end of a clear or an everyday stick: the message, the window ready again.
void Controller::finishStickJob(bool ok, const QString& message, const QString& reason,
                                const QString& line) {
    m_sleepInhibitor->Release();
    if (m_terminateWhenIdle) {
        setApplicationStatus(StatusIdle);
        terminate();
        return;
    }
    idleWriteButton();
    m_controls->ShowInfo(line);
    reportResult(message, !ok, reason);
    setApplicationStatus(StatusIdle);
    releaseOperationLock();
    if (m_terminateWhenIdle) terminate();
}

void Controller::reportProgress(std::int32_t total, std::int32_t current) {
    // Images under one chunk have a total of 0: their one chunk is all of it.
    std::int64_t percent = total > 0 ? static_cast<std::int64_t>(current) * 100 / total : 100;
    setWriteProgress(static_cast<std::int32_t>(std::clamp<std::int64_t>(percent, 0, 100)));
}

// ----------------------------------------------------------- plain callbacks

namespace {

// Both unmount completions: on success the work phase of the operation, on
// failure the error, and the held controls come back as they were.
void UnmountFinished(bool success, Controller::TimerSlot work) {
    Controller* controller = g_controller;
    if (controller == nullptr || controller->hasTerminated()) return;
    if (!controller->unmountAnswered()) return;
    if (success) {
        Trace("Unmount finished!");
        (controller->*work)(nullptr);
    } else {
        Trace("Unmount failed!");
        controller->reportFailure(Controller::tr("Cannot unmount device!"),
                                  QString::fromStdString(UnmountFailureReason()));
    }
}

}  // namespace

void FinishedUnMountImageWriting(bool success) {
    UnmountFinished(success, &Controller::startImageWriting);
}

void FinishedUnMountClear(bool success) {
    UnmountFinished(success, &Controller::startClearDevice);
}

void FinishedUnMountFormat(bool success) {
    UnmountFinished(success, &Controller::startFormatDevice);
}

void FinishedWriteImage(bool success) {
    if (Controller* controller = g_controller) {
        controller->setApplicationStatus(success ? StatusWriteSucceeded : StatusWriteFailed);
    }
}

void WriteProgress(std::int32_t total, std::int32_t current) {
    char line[48];
    std::snprintf(line, sizeof line, "%d of %d ", current, total);
    Trace(line);
    if (Controller* controller = g_controller) controller->reportProgress(total, current);
}
