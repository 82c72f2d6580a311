#include "Controller.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/desktop/DesktopNotification.h"
#include "platform/desktop/SleepInhibitor.h"
#include "platform/desktop/TempDirectory.h"
#include "platform/disks/DevicePaths.h"
#include "platform/disks/DiskService.h"
#include "platform/files/ImageChecksum.h"
#include "platform/kernel/DeviceAccess.h"
#include "platform/kernel/KernelView.h"
#include "ui_MainWindow.h"
#include "window/WriteInfoText.h"

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
const char* const kDeviceGone = QT_TRANSLATE_NOOP(
    "Controller",
    "The selected USB device is no longer available. Please press Refresh to rescan the USB "
    "devices and select the stick again.");
const char* const kRunningSystem = QT_TRANSLATE_NOOP(
    "Controller",
    "The selected USB device now holds part of the running system. It is not written or "
    "cleared.");
const char* const kWriteProtected = QT_TRANSLATE_NOOP(
    "Controller",
    "The selected USB device is write-protected. Release its write-protection switch, if it has "
    "one, plug it in again and press Refresh.");
const char* const kImageChanged = QT_TRANSLATE_NOOP(
    "Controller",
    "The image changed after its SHA-256 was checked. Choose it again to check it anew.");
const char* const kImageOnStick = QT_TRANSLATE_NOOP(
    "Controller", "The image file is on the selected USB device. Copy it to another disk first.");

}  // namespace

// ------------------------------------------------------------------ lifecycle

Controller::Controller() {
    InitDeviceHandling();
    m_deviceHandler = std::make_unique<StorageDeviceHandler>();
    m_deviceImageWriter = std::make_unique<DeviceImageWriter>();
    m_tempDirectory = platform::TempDirectory::Create();
    m_checksum = std::make_unique<platform::ImageChecksum>();
    m_sleepInhibitor = std::make_unique<platform::SleepInhibitor>();
    connect(m_checksum.get(), &platform::ImageChecksum::changed, this,
            &Controller::checksumChanged);
    // Without a private directory the writer gets none and refuses to write:
    // a shared directory would let others plant links at its file name.
    m_deviceImageWriter->SetTempDirectory(m_tempDirectory ? m_tempDirectory->Path().c_str() : "");
    imageFileName.clear();
    m_selectedDevice.reset();
    refreshStatusTimer = nullptr;
    refreshDeviceTimer = nullptr;
    setWriteProgress(0);
    setApplicationStatus(StatusIdle);
    g_controller = this;
}

Controller::~Controller() {
    teardown();
    Controller* self = this;
    g_controller.compare_exchange_strong(self, nullptr);
}

void Controller::connectOutlets(QMainWindow* mainWindow, Ui::MainWindow& ui) {
    korvelImageInfo = ui.korvelImageInfo;
    usbStickChooser = ui.usbStickChooser;
    usbStickInfo = ui.usbStickInfo;
    writeImageInfo = ui.writeImageInfo;
    writeImageProgress = ui.writeImageProgress;
    deviceUpdateProgress = ui.deviceUpdateProgress;
    writeImageButton = ui.writeImageButton;
    clearDeviceButton = ui.clearDeviceButton;
    refreshButton = ui.refreshButton;
    chooseImageButton = ui.chooseImageButton;
    verifyCheckBox = ui.verifyCheckBox;
    powerOffCheckBox = ui.powerOffCheckBox;
    window = mainWindow;
    quitMenuItem = ui.quitMenuItem;

    writeImageProgress->setRange(0, 100);
    m_writeImageButtonAction = &Controller::writeImage;
    connect(writeImageButton, &QPushButton::clicked, this, [this] {
        if (m_writeImageButtonAction) (this->*m_writeImageButtonAction)();
    });
    connect(clearDeviceButton, &QPushButton::clicked, this, &Controller::clearUSBDevice);
    connect(refreshButton, &QPushButton::clicked, this, &Controller::refreshDeviceList);
    connect(chooseImageButton, &QPushButton::clicked, this, &Controller::chooseImage);
    // Only a user's choice counts as a selection change; the list that this
    // controller rebuilds itself does not.
    connect(usbStickChooser, &QComboBox::activated, this, &Controller::comboBoxSelectionDidChange);
    connect(quitMenuItem, &QAction::triggered, this, &Controller::terminate);
    window->addAction(quitMenuItem);
    window->installEventFilter(this);
    // An image dropped on the window is chosen as with "Choose Image…".
    window->setAcceptDrops(true);
    // The check box belongs to the choice of image: it is enabled exactly
    // where "Choose Image…" is.
    chooseImageButton->installEventFilter(this);
    verifyCheckBox->setEnabled(chooseImageButton->isEnabled());
    powerOffCheckBox->setEnabled(chooseImageButton->isEnabled());
}

void Controller::awakeFromNib() {
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

void Controller::applicationWillTerminate() {
    if (m_terminated) return;
    teardown();
}

// The order matters: the handler lives between InitDeviceHandling and
// FinalizeDeviceHandling, and the writer's temporary files go with the
// directory only once the writer is gone.
void Controller::teardown() {
    if (m_terminated) return;
    m_terminated = true;
    releaseTimer(refreshDeviceTimer);
    releaseTimer(refreshStatusTimer);
    m_deviceHandler.reset();
    FinalizeDeviceHandling();
    if (m_clearThread.joinable()) m_clearThread.join();
    if (m_inspectThread.joinable()) m_inspectThread.join();
    m_checksum->Cancel();
    m_sleepInhibitor->Release();
    m_deviceImageWriter.reset();
    imageFileName.clear();
    m_tempDirectory.reset();
}

// A scan, a write or a clear on its way must finish first; quitting in the
// middle would leave a stick half written or the writer in use.
bool Controller::mayTerminateNow() const {
    return applicationOperationMode != ModeScanning && applicationOperationMode != ModeWriting &&
           !m_clearRunning;
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
    if (refreshStatusTimer != nullptr && !m_cancelRequested) {
        Trace("Cancel Write Image process.");
        startCancelWriteImage(nullptr);
    }
}

bool Controller::eventFilter(QObject* watched, QEvent* event) {
    if (watched == chooseImageButton && event->type() == QEvent::EnabledChange) {
        verifyCheckBox->setEnabled(chooseImageButton->isEnabled());
        powerOffCheckBox->setEnabled(chooseImageButton->isEnabled());
    } else if (watched == window && event->type() == QEvent::Close) {
        event->setAccepted(windowShouldClose());
        return true;
    } else if (watched == window &&
               (event->type() == QEvent::DragEnter || event->type() == QEvent::Drop)) {
        auto* drop = static_cast<QDropEvent*>(event);
        const QList<QUrl> urls = drop->mimeData()->urls();
        // One local file, and only where "Choose Image…" would take it.
        if (urls.size() != 1 || !urls.first().isLocalFile() || !chooseImageButton->isEnabled()) {
            drop->ignore();
            return true;
        }
        drop->acceptProposedAction();
        if (event->type() == QEvent::Drop) chooseImageFile(urls.first().toLocalFile());
        return true;
    }
    return QObject::eventFilter(watched, event);
}

// ---------------------------------------------------------- modes, messages

// A long name must not widen the window: each line is cut in the middle to
// the width the label has, and the whole text is its tooltip.
QString Controller::Elided(const QWidget* widget, const QString& text, int width) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = widget->fontMetrics().elidedText(line, Qt::ElideMiddle, width);
    return lines.join(QLatin1Char('\n'));
}

void Controller::setElidedText(QLabel* label, const QString& text) {
    label->setText(Elided(label, text, label->width()));
    label->setToolTip(text);
}

void Controller::setGuiSettings(std::int32_t mode) {
    struct Row {
        bool scanShown, refresh, choose, infoShown, progressShown, write, clear, quit;
    };
    Row row{};
    switch (mode) {
        case ModeStartup:
            row = {false, false, false, false, false, false, false, true};
            break;
        case ModeScanning:
            row = {true, false, false, false, false, false, false, false};
            break;
        case ModeNoDevice:
            row = {false, true, true, false, false, false, false, true};
            break;
        case ModeDeviceSelected:
            row = {false, true, true, false, false, false, true, true};
            break;
        case ModeReadyToWrite:
            row = {false, true, true, false, false, true, true, true};
            break;
        case ModeWriting:
            row = {false, false, false, true, true, false, false, false};
            break;
        default:
            applicationOperationMode = mode;
            return;
    }
    deviceUpdateProgress->setHidden(!row.scanShown);
    // A progress bar without a range is Qt's busy indicator: it animates.
    if (row.scanShown) {
        deviceUpdateProgress->setRange(0, 0);
    } else {
        deviceUpdateProgress->setRange(0, 1);
        deviceUpdateProgress->setValue(0);
    }
    refreshButton->setEnabled(row.refresh);
    chooseImageButton->setEnabled(row.choose);
    writeImageInfo->setHidden(!row.infoShown);
    writeImageProgress->setHidden(!row.progressShown);
    writeImageButton->setEnabled(row.write);
    clearDeviceButton->setEnabled(row.clear);
    quitMenuItem->setEnabled(row.quit);
    applicationOperationMode = mode;
}

void Controller::Message(const QString& message, bool asError, const QString& reason) {
    QMessageBox box(window);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(QApplication::applicationDisplayName());
    box.setIcon(asError ? QMessageBox::Critical : QMessageBox::Information);
    box.setText(asError ? tr("Error!") : tr("Notification!"));
    box.setInformativeText(reason.isEmpty() ? message : message + QStringLiteral("\n\n") + reason);
    box.addButton(tr("OK"), QMessageBox::AcceptRole);
    // Wide enough that the message, and a reason of up to 640 pixels, stay
    // on one line each.
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setMinimumWidth(std::min(std::max(label->fontMetrics().horizontalAdvance(message),
                                                 label->fontMetrics().horizontalAdvance(reason)) +
                                            8,
                                        640));
    box.exec();
}

void Controller::beginAlertSheet(const QString& title, const QString& defaultButton,
                                 const QString& alternateButton, bool escapeIsDefault,
                                 void (Controller::*endSelector)(int, int), int contextInfo,
                                 const QString& message) {
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    // Laid out like the sheet it stands for: the title as the headline, the
    // message below it.
    box->setWindowTitle(title);
    box->setIcon(QMessageBox::Warning);
    box->setText(title);
    box->setInformativeText(message);
    QPushButton* defaultPush = box->addButton(
        defaultButton, escapeIsDefault ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
    QPushButton* alternatePush = box->addButton(
        alternateButton, escapeIsDefault ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    box->setDefaultButton(defaultPush);
    QPushButton* escapePush = escapeIsDefault ? defaultPush : alternatePush;
    box->setEscapeButton(escapePush);
    connect(box, &QMessageBox::finished, this, [=, this](int) {
        // A sheet that went away without a button press counts as its
        // escape button, so it can never confirm anything.
        QAbstractButton* clicked = box->clickedButton();
        if (clicked == nullptr) clicked = escapePush;
        const int code = clicked == defaultPush ? kAlertDefaultReturn : kAlertAlternateReturn;
        if (!m_terminated) (this->*endSelector)(code, contextInfo);
    });
    box->open();
}

QTimer* Controller::scheduleTimer(int milliseconds, bool repeats, TimerSlot slot, bool kept) {
    auto* timer = new QTimer(this);
    timer->setSingleShot(!repeats);
    timer->setInterval(milliseconds);
    connect(timer, &QTimer::timeout, this, [this, timer, slot, kept] {
        (this->*slot)(timer);
        // Timers nobody keeps go once they have fired; kept ones are
        // released by their slot or at termination.
        if (!kept) timer->deleteLater();
    });
    timer->start();
    return timer;
}

void Controller::releaseTimer(QTimer*& timer) {
    if (timer == nullptr) return;
    timer->stop();
    timer->deleteLater();
    timer = nullptr;
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
    if (returnCode == kAlertDefaultReturn) {
        startUpdatingDeviceList();
    } else {
        terminate();
    }
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
    releaseTimer(refreshDeviceTimer);
    setGuiSettings(ModeNoDevice);
    usbStickChooser->clear();
    m_deviceHandler->UpdateDeviceList();
    const DeviceList& devices = m_deviceHandler->GetDeviceList();
    // The rebuilt list selects its placeholder, so no earlier stick may stay
    // selected behind it.
    m_selectedDevice.reset();
    usbStickInfo->setText(QString());
    m_selectedIndex = 0;
    if (devices.empty()) {
        usbStickChooser->addItem(tr("No USB device!"));
        usbStickChooser->setCurrentIndex(0);
        if (m_terminateWhenIdle) terminate();
        return;
    }
    usbStickChooser->addItem(tr("Select USB device!"));
    usbStickChooser->setCurrentIndex(0);
    for (const auto& entry : devices) {
        const QString name = QString::fromUtf8(entry->mediaName);
        usbStickChooser->addItem(Elided(usbStickChooser, name, usbStickChooser->width() - 40));
        usbStickChooser->setItemData(usbStickChooser->count() - 1, name, Qt::ToolTipRole);
    }
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
        setElidedText(usbStickInfo, info);
    }
    m_selectedIndex = index;
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
    // Its publisher's checksum, when one lies beside it, is checked at once.
    m_checksum->Start(imageFileName);
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
    const deviceEntryStruct* disk = m_selectedDevice.get();
    if (disk &&
        platform::LooksLikeHardDisk(disk->removable, disk->mediaRemovable, disk->mediaSize)) {
        message += QStringLiteral(
                       "\n\nThe selected disk, %1 (%2 MB), looks like a hard disk rather than a "
                       "USB stick. Make sure it holds nothing you need.")
                       .arg(QString::fromUtf8(disk->mediaName))
                       .arg(disk->mediaSize >> 20);
    }
    beginAlertSheet(tr("Warning - ") + operationName, tr("Cancel"), tr("Confirm"), true,
                    &Controller::sheetDidEndDataLoseWarning, operationCode, message);
}

void Controller::sheetDidEndDataLoseWarning(int returnCode, int contextInfo) {
    if (returnCode == kAlertDefaultReturn) return;  // Cancel
    if (contextInfo != OperationClear && contextInfo != OperationWrite) return;
    if (m_operationInProgress || !m_selectedDevice) return;
    lockForOperation();
    if (contextInfo == OperationClear) {
        Trace("start clearing the usb device");
        scheduleTimer(kStartMilliseconds, false, &Controller::startClearDevice, false);
    } else {
        Trace("start image writing");
        scheduleTimer(kStartMilliseconds, false, &Controller::startImageWriting, false);
    }
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
    showOperationInfo(reason.isEmpty() ? message : reason);
    reportResult(message, true, reason);
    releaseOperationLock();
}

void Controller::lockForOperation() {
    m_operationInProgress = true;
    m_operationConfirmed = std::chrono::steady_clock::now();
    m_savedControls = {refreshButton->isEnabled(), chooseImageButton->isEnabled(),
                       writeImageButton->isEnabled(), clearDeviceButton->isEnabled(),
                       quitMenuItem->isEnabled()};
    refreshButton->setEnabled(false);
    chooseImageButton->setEnabled(false);
    writeImageButton->setEnabled(false);
    clearDeviceButton->setEnabled(false);
    // The unmount may wait on a password prompt or a slow service: say so,
    // rather than leave only greyed buttons.
    showOperationInfo(tr("Unmounting the stick\u2026"));
}

void Controller::unmountRequested() {
    // A password prompt or a hung service may keep the answer away for long:
    // the user may give up waiting.
    m_unmountPending = true;
    setWriteImageButton(tr("Cancel"), &Controller::abandonWait);
}

void Controller::abandonWait() {
    if (m_unmountPending) {
        ++m_abandonedUnmounts;
        Trace("Unmount abandoned: nothing is written.");
    }
    m_writeAfterChecksum = false;
    releaseOperationLock();
}

bool Controller::unmountAnswered() {
    if (m_abandonedUnmounts > 0) {
        --m_abandonedUnmounts;
        Trace("Unmount answered after it was abandoned: nothing is written.");
        return false;
    }
    m_unmountPending = false;
    idleWriteButton();
    return true;
}

// Nothing left to cancel: the button is "Write Image" again, held off until
// the window is ready.
void Controller::idleWriteButton() {
    writeImageButton->setEnabled(false);
    writeImageButton->setText(tr("Write Image"));
    m_writeImageButtonAction = &Controller::writeImage;
}

void Controller::showOperationInfo(const QString& text) {
    writeImageInfo->setText(text);
    writeImageInfo->setHidden(false);
}

void Controller::releaseOperationLock() {
    if (!m_operationInProgress) return;
    m_operationInProgress = false;
    m_unmountPending = false;
    refreshButton->setEnabled(m_savedControls.refresh);
    chooseImageButton->setEnabled(m_savedControls.chooseImage);
    idleWriteButton();
    writeImageButton->setEnabled(m_savedControls.writeImage);
    clearDeviceButton->setEnabled(m_savedControls.clearDevice);
    quitMenuItem->setEnabled(m_savedControls.quit);
    writeImageInfo->setHidden(applicationOperationMode != ModeWriting);
}

// The stick about to be unmounted must be the one the user confirmed, still
// the same disk, and one that may be written. Otherwise nothing is unmounted,
// written or cleared.
bool Controller::confirmedDeviceStillPresent() {
    const ConfirmedDevice state =
        m_selectedDevice ? CheckConfirmedDevice(*m_selectedDevice) : ConfirmedDevice::Gone;
    if (state == ConfirmedDevice::Same) return true;
    if (state == ConfirmedDevice::WriteProtected) {
        Trace(("Device " + std::string(m_selectedDevice->bsdName) + " is write-protected").c_str());
    }
    reportFailure(state == ConfirmedDevice::WriteProtected  ? tr(kWriteProtected)
                  : state == ConfirmedDevice::RunningSystem ? tr(kRunningSystem)
                                                            : tr(kDeviceGone),
                  QString());
    return false;
}

void Controller::startImageWriting(QTimer* timer) {
    if (m_terminated) return;
    if (timer != nullptr) {
        beginImageWriting();
        return;
    }
    if (!m_selectedDevice) {  // cannot happen while the operation holds the selection
        releaseOperationLock();
        return;
    }
    // Mode 6 holds everything from here on.
    m_operationInProgress = false;
    setGuiSettings(ModeWriting);
    setApplicationStatus(StatusWriting);
    setWriteImageButton(tr("Cancel"), &Controller::cancelWriteImage);
    setWriteProgress(0);
    writeImageProgress->setValue(0);
    m_cancelRequested = false;
    m_writeStarted = std::chrono::steady_clock::now();
    m_phaseStarted = false;
    m_deviceImageWriter->SetImageFile(imageFileName.c_str());
    m_deviceImageWriter->SetVerify(verifyCheckBox->isChecked());
    m_deviceImageWriter->SetDevice(platform::RawNodePath(m_selectedDevice->bsdName).c_str());
    if (m_deviceImageWriter->WriteImage(FinishedWriteImage, WriteProgress)) {
        m_sleepInhibitor->Hold();  // a laptop must not sleep in the middle
        updateWriteInfo();
        refreshStatusTimer =
            scheduleTimer(kStatusMilliseconds, true, &Controller::updateWriteStatus, true);
        return;
    }
    Message(tr("Cannot write image!"), true);
    setGuiSettings(ModeReadyToWrite);
    setWriteImageButton(tr("Write Image"), &Controller::writeImage);
}

// The checks before the unmount: the same stick, the published checksum
// (waited for while it is computed), then a look at the image.
void Controller::beginImageWriting() {
    if (!confirmedDeviceStillPresent()) return;
    using State = platform::ImageChecksum::State;
    if (m_checksum->state() == State::Checking) {
        m_writeAfterChecksum = true;
        showOperationInfo(tr("Waiting for the SHA-256 check\u2026"));
        setWriteImageButton(tr("Cancel"), &Controller::abandonWait);
        return;
    }
    if (m_checksum->state() == State::Mismatch) {
        Trace("Image does not match its published SHA-256");
        reportFailure(tr("The image does not match the SHA-256 in %1: it is damaged, or "
                         "not the image that was published. Nothing was written.")
                          .arg(m_checksum->fileName()),
                      QString());
        return;
    }
    // Before anything is unmounted, the image is looked at: not a regular
    // file, or a raw image larger than the stick, ends here. Reading it may
    // block (a stalled network mount), so a worker thread does it.
    if (m_inspectThread.joinable()) m_inspectThread.join();
    const bool checked = m_checksum->state() == State::Matches;
    const std::pair<std::int64_t, std::int64_t> stamp{m_checksum->size(), m_checksum->modified()};
    m_inspectThread = std::thread([this, image = imageFileName, checked, stamp,
                                   disk = std::string(m_selectedDevice->bsdName)] {
        InspectedImage look;
        look.readable = InspectImage(image.c_str(), &look.format, &look.size);
        // An image on the stick itself would go with the unmount, or be
        // overwritten while it is read.
        look.onStick = look.readable && platform::FileOnDisk(platform::FileSystemOf(image), disk,
                                                             platform::ReadKernelView());
        look.changed = checked && platform::FileStamp(image) != stamp;
        QMetaObject::invokeMethod(
            this, [=, this] { imageInspected(look); }, Qt::QueuedConnection);
    });
}

void Controller::checksumChanged() {
    using State = platform::ImageChecksum::State;
    QString line = QFileInfo(QFile::decodeName(imageFileName.c_str())).fileName();
    const QString file = m_checksum->fileName();
    switch (m_checksum->state()) {
        case State::Checking:
            line +=
                QLatin1Char('\n') + tr("Checking SHA-256\u2026 %1 %").arg(m_checksum->percent());
            break;
        case State::Matches:
            line += QLatin1Char('\n') + tr("SHA-256 matches %1").arg(file);
            break;
        case State::Mismatch:
            line += QLatin1Char('\n') + tr("SHA-256 does not match %1!").arg(file);
            break;
        case State::Unusable:
            line += QLatin1Char('\n') + tr("%1 cannot be used to check the image").arg(file);
            break;
        case State::None:
            break;
    }
    setElidedText(korvelImageInfo, line);
    // A write confirmed while the check ran goes on once it has an answer.
    if (m_writeAfterChecksum && m_checksum->state() != State::Checking) {
        m_writeAfterChecksum = false;
        beginImageWriting();
    }
}

void Controller::imageInspected(const InspectedImage& look) {
    if (m_inspectThread.joinable()) m_inspectThread.join();
    const auto [readable, onStick, changed, format, size] = look;
    m_imageFormat = format;
    m_inspectedBytes = size;
    if (m_terminated) return;
    if (!m_selectedDevice) {
        releaseOperationLock();
        return;
    }
    const std::uint64_t stickBytes = m_selectedDevice->mediaSize;
    if (readable && format == ImageFormat::Raw && static_cast<std::uint64_t>(size) > stickBytes) {
        TraceImageTooLarge(size, static_cast<std::int64_t>(stickBytes));
        reportFailure(tr("Image could not be written!"),
                      TooLargeText(size, static_cast<std::int64_t>(stickBytes)));
        return;
    }
    // What the image's first bytes already tell ends here too, before the
    // unmount: unreadable, misnamed, or a raw image of no bytes.
    WriteFailure refused;
    refused.kind = !readable                                 ? WriteFailure::NotReadable
                   : format == ImageFormat::Damaged          ? WriteFailure::Misnamed
                   : format == ImageFormat::Raw && size == 0 ? WriteFailure::Empty
                                                             : WriteFailure::None;
    if (refused.kind != WriteFailure::None) {
        reportFailure(tr("Image could not be written!"), FailureText(refused));
        return;
    }
    if (changed) {
        reportFailure(tr(kImageChanged), QString());
        return;
    }
    if (onStick) {
        Trace(("Image file is on the device it would be written to: " +
               std::string(m_selectedDevice->bsdName))
                  .c_str());
        reportFailure(tr(kImageOnStick), QString());
        return;
    }
    const std::string path = platform::BlockNodePath(m_selectedDevice->bsdName);
    // Refused at once (the service does not know the disk): no callback
    // will come, so the controls are given back here.
    if (StorageDeviceHandler::UnMountBSDDevice(path.c_str(), FinishedUnMountImageWriting)) {
        unmountRequested();
    } else {
        releaseOperationLock();
    }
}

void Controller::setWriteImageButton(const QString& title, Action action) {
    writeImageButton->setEnabled(false);
    writeImageButton->setText(title);
    m_writeImageButtonAction = action;
    writeImageButton->setEnabled(true);
}

void Controller::updateWriteStatus(QTimer* /*timer*/) {
    writeImageProgress->setValue(updateWriteInfo());
    writeImageProgress->update();
    const std::int32_t status = applicationStatus;
    if (status != StatusWriteSucceeded && status != StatusWriteFailed) return;
    releaseTimer(refreshStatusTimer);
    if (m_terminateWhenIdle) {  // nobody is waiting for a message any more
        terminate();
        return;
    }
    m_sleepInhibitor->Release();
    // Behind the result box the window already shows the outcome, and no
    // longer offers to cancel.
    idleWriteButton();
    if (status != StatusWriteSucceeded) {
        const QString reason = writeFailureReason();
        writeImageInfo->setText(reason);
        reportResult(tr("Image could not be written!"), true, reason);
        endWrite();
        return;
    }
    const bool verified = m_deviceImageWriter->VerifiedBytes() >= 0 &&
                          m_deviceImageWriter->VerifiedBytes() == m_deviceImageWriter->ImageBytes();
    writeImageInfo->setText(verified ? tr("Written and verified") : tr("Written"));
    if (!powerOffCheckBox->isChecked()) {
        reportResult(tr("Image successfully written!"), false);
        endWrite();
        return;
    }
    // The stick is taken off the bus, so that it can be pulled out at once;
    // a refusal does not undo the write.
    const QString outcome = writeImageInfo->text();
    showOperationInfo(tr("Powering the stick off\u2026"));
    platform::ActiveDiskService().PowerOffDrive(
        m_selectedDevice->bsdName, [this, outcome](bool off, const std::string& why) {
            if (m_terminated) return;
            writeImageInfo->setText(outcome);
            reportResult(tr("Image successfully written!"), false,
                         off ? tr("The stick is powered off and can be removed.")
                             : tr("The stick could not be powered off: %1")
                                   .arg(QString::fromStdString(why)));
            endWrite();
        });
}

void Controller::endWrite() {
    setGuiSettings(ModeReadyToWrite);
    setWriteImageButton(tr("Write Image"), &Controller::writeImage);
    if (m_terminateWhenIdle) terminate();  // asked for while the message was open
}

// What the user sees of a running write: how far decompression has come,
// then percentage, bytes, rate and time left of the copy, then of the
// verification; the elapsed time always moves, so a long write visibly
// lives. Returns the progress bar's value: the copy's, then the
// verification's, each 0-100.
std::int32_t Controller::updateWriteInfo() {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    const std::int64_t elapsed = duration_cast<seconds>(now - m_writeStarted).count();
    const std::int32_t copyPercent = std::clamp<std::int32_t>(progressValue, 0, 100);
    if (m_cancelRequested) {
        writeImageInfo->setText(tr("Cancelling\u2026 (%1)").arg(DurationText(elapsed)));
        return copyPercent;
    }
    // The writer knows the image's real size once decompression has ended
    // (a raw image's is known from the start); chunk numbers alone would
    // round small images up to whole chunks.
    std::int64_t imageBytes = m_deviceImageWriter->ImageBytes();
    if (imageBytes < 0 && m_imageFormat == ImageFormat::Raw) imageBytes = m_inspectedBytes;
    if (imageBytes < 0) {
        std::error_code error;
        const auto tempFile = std::filesystem::path(tempDirectory()) / kTempImageName;
        const auto size = std::filesystem::file_size(tempFile, error);
        // An xz or zstd image streams once its index gives its size, which
        // takes a moment: until a temporary file shows it does not, it is
        // being written.
        const bool mayStream =
            m_imageFormat == ImageFormat::Xz || m_imageFormat == ImageFormat::Zstd;
        if (mayStream && error) {
            writeImageInfo->setText(tr("Writing: (%1)").arg(DurationText(elapsed)));
            return copyPercent;
        }
        writeImageInfo->setText(
            !error && size > 0
                ? tr("Decompressing image\u2026 %1 (%2)").arg(SizeText(size), DurationText(elapsed))
                : tr("Decompressing image\u2026 (%1)").arg(DurationText(elapsed)));
        return copyPercent;
    }
    // The bytes the stick has taken, not whole chunks: the percentage and
    // the rate follow them.
    const std::int64_t verified = m_deviceImageWriter->VerifiedBytes();
    const bool verifying = verified >= 0;
    const std::int64_t done =
        std::min(verifying ? verified : m_deviceImageWriter->WrittenBytes(), imageBytes);
    // Each phase has its own rate, measured from its first poll.
    if (!m_phaseStarted || verifying != m_phaseIsVerify) {
        m_phaseStarted = true;
        m_phaseIsVerify = verifying;
        m_rate.Restart(done, now);
    }
    m_rate.Sample(done, now);
    const auto percent =
        static_cast<std::int32_t>(done * 100 / std::max<std::int64_t>(imageBytes, 1));
    writeImageInfo->setText(ProgressInfoText(verifying ? tr("Verifying") : tr("Writing"), percent,
                                             done, imageBytes, m_rate.BytesPerSecond(), elapsed));
    return percent;
}

QString Controller::writeFailureReason() const {
    return FailureText(m_deviceImageWriter->Failure());
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
    m_cancelRequested = true;
    m_deviceImageWriter->StopImageWriting();
    updateWriteInfo();
}

void Controller::startClearDevice(QTimer* timer) {
    if (m_terminated) return;
    if (timer != nullptr) {
        if (!confirmedDeviceStillPresent()) return;
        const std::string path = platform::BlockNodePath(m_selectedDevice->bsdName);
        if (StorageDeviceHandler::UnMountBSDDevice(path.c_str(), FinishedUnMountClear)) {
            unmountRequested();
        } else {
            releaseOperationLock();
        }
        return;
    }
    if (!m_selectedDevice || m_clearRunning) {
        releaseOperationLock();
        return;
    }
    setApplicationStatus(StatusClearing);
    m_deviceImageWriter->SetDevice(platform::BlockNodePath(m_selectedDevice->bsdName).c_str());
    // Opening the device may wait on a password prompt (UDisks2 and polkit),
    // so the clear runs on a thread of its own and the window stays alive;
    // quitting waits until it is done.
    m_clearRunning = true;
    m_sleepInhibitor->Hold();
    quitMenuItem->setEnabled(false);
    showOperationInfo(tr("Clearing the stick\u2026"));
    // A password prompt nobody answers must not keep the window waiting.
    platform::AbandonOpens(false);
    setWriteImageButton(tr("Cancel"), &Controller::abandonClear);
    DeviceImageWriter* writer = m_deviceImageWriter.get();
    m_clearThread = std::thread([this, writer] {
        const bool cleared = writer->ClearDevice();
        QMetaObject::invokeMethod(
            this, [this, cleared] { finishClearDevice(cleared); }, Qt::QueuedConnection);
    });
}

void Controller::abandonClear() {
    Trace("Clear abandoned.");
    writeImageButton->setEnabled(false);
    platform::AbandonOpens(true);
}

void Controller::finishClearDevice(bool cleared) {
    if (m_clearThread.joinable()) m_clearThread.join();
    m_clearRunning = false;
    m_sleepInhibitor->Release();
    if (m_terminateWhenIdle) {
        setApplicationStatus(StatusIdle);
        terminate();
        return;
    }
    idleWriteButton();
    if (cleared) {
        showOperationInfo(tr("Cleared"));
        reportResult(tr("Device successfully cleared!"), false);
    } else {
        const QString reason = FailureText(m_deviceImageWriter->Failure());
        showOperationInfo(reason);
        reportResult(tr("Unable to clear device!"), true, reason);
    }
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
