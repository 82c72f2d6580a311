#pragma once
// Controller: the one application object. It answers the window, the stick
// list and the menu, owns the device handler and the image writer, holds the
// user's choice of stick and image, switches the window's controls between
// the operation modes, and conducts the write and clear workflows: the
// data-loss confirmation, then the stick's checks and unmount
// (StickOperation), the work (WriteJob, ClearJob), the result message. It
// shows what they report; what decides whether a disk or an image may be
// used lives in their rooms (Preflight, platform/disks/DriveSafety).
//
// Threads: every member runs on the Qt main thread, except setWriteProgress
// and setApplicationStatus, which the writer's thread also calls through
// g_controller (via FinishedWriteImage and WriteProgress); the fields they
// store are atomic and polled by the main thread every 0.2 s while writing.
//
// Ownership: the controller owns the device handler, the writer, the
// temporary directory, the workflows, its copy of the selected device entry,
// the image path and its timers. The widgets belong to the window; the
// controller only points at them (outlets) and must be destroyed before the
// window. ApplicationWindow makes the controller, then the window, connects
// them, and destroys the controller first.

#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "DeviceImageWriter.h"
#include "StorageDeviceHandler.h"
#include "platform/disks/EverydayStick.h"
#include "workflow/Preflight.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QTimer;
namespace Ui {
class MainWindow;
}
namespace platform {
class SleepInhibitor;
class TempDirectory;
}  // namespace platform
class ClearJob;
class FormatJob;
class StickJob;
class WindowControls;
class ImageChoice;
class StickOperation;
class WriteJob;

// Operation modes, applied by Controller::setGuiSettings.
enum OperationMode : std::int32_t {
    ModeStartup = 0,
    ModeScanning = 1,
    ModeNoDevice = 2,
    ModeDeviceSelected = 3,
    ModeReadyToWrite = 5,
    ModeWriting = 6,
};

// Application status codes, in Controller::applicationStatus.
enum ApplicationStatusCode : std::int32_t {
    StatusIdle = 0,
    StatusClearing = 1,
    StatusWriting = 2,
    StatusWriteSucceeded = 4,
    StatusWriteFailed = 8,
};

// Alert sheet return codes: the default button, the alternate button.
constexpr int kAlertDefaultReturn = 1;
constexpr int kAlertAlternateReturn = 0;

class Controller : public QObject {
    Q_OBJECT
    // The window's loader sets the outlets and connects the actions.
    friend class ApplicationWindow;

  public:
    // Initialises device handling, makes the handler, the writer and the
    // private temporary directory, and becomes g_controller.
    Controller();
    ~Controller() override;
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    void awakeFromNib();
    void applicationDidFinishLaunching();
    // Ends the program: applicationWillTerminate once, then the event loop
    // quits.
    void terminate();
    void applicationWillTerminate();
    bool windowShouldClose();
    // A request from outside (SIGTERM, SIGINT, SIGHUP): ends the program now
    // when closing the window would, else cancels a running write and ends
    // the program once the scan, write or clear in progress has finished.
    void terminationRequested();

    void setGuiSettings(std::int32_t mode);
    void setWriteProgress(std::int32_t value) { progressValue = value; }
    void setApplicationStatus(std::int32_t status) { applicationStatus = status; }
    // A modal message box with one "OK" button; returns when it is dismissed.
    // A reason, when given, stands below the message.
    void Message(const QString& message, bool asError, const QString& reason = QString());

    // Start-up and device list.
    void sheetDidEndForStartUpWarning(int returnCode, int contextInfo);
    void startUpdatingDeviceList();
    void refreshDeviceList();
    void stopUpdatingDeviceList(QTimer* timer);
    void comboBoxSelectionDidChange();
    void chooseImage();
    // What chooseImage does with the path the user picked in the dialog.
    void chooseImageFile(const QString& path);

    // Write and clear.
    void writeImage();
    void clearUSBDevice();
    void initiateWarningForDataLose(const QString& operationName, int operationCode);
    void sheetDidEndDataLoseWarning(int returnCode, int contextInfo);
    // With a timer: starts the unmount. Without: the unmount succeeded, work.
    void startImageWriting(QTimer* timer);
    void startClearDevice(QTimer* timer);
    // The stick made an everyday stick again: its name, the confirmation,
    // then as startClearDevice.
    void makeEverydayStick();
    void startFormatDevice(QTimer* timer);
    void updateWriteStatus(QTimer* timer);
    void cancelWriteImage();
    void startCancelWriteImage(QTimer* timer);
    // The second sheet of a counterfeit stick that holds the image: Continue
    // writes it, Cancel stops.
    void sheetDidEndCapacityWarning(int returnCode, int contextInfo);

    // State, for the plain callbacks and for tests.
    std::int32_t operationMode() const { return applicationOperationMode; }
    using Action = void (Controller::*)();
    bool hasTerminated() const { return m_terminated; }
    bool operationInProgress() const { return m_operationInProgress; }
    std::string tempDirectory() const;

    // Stores the writer's progress report (write thread).
    void reportProgress(std::int32_t total, std::int32_t current);
    // Gives back the controls held since a data-loss warning was confirmed,
    // as they were then (the operation failed or ended without a mode change).
    void releaseOperationLock();
    // An operation that ends before its work began: the reason in the info
    // line and in the error box, then the held controls back.
    void reportFailure(const QString& message, const QString& reason);
    // The unmount's answer came (main thread); false when its wait had been
    // abandoned and the answer is to be ignored.
    bool unmountAnswered();
    using TimerSlot = void (Controller::*)(QTimer*);

  private:
    QTimer* scheduleTimer(int milliseconds, bool repeats, TimerSlot slot, bool kept);
    void beginAlertSheet(const QString& title, const QString& defaultButton,
                         const QString& alternateButton, bool escapeIsDefault,
                         void (Controller::*endSelector)(int, int), int contextInfo,
                         const QString& message);
    void setWriteImageButton(const QString& title, Action action);
    void idleWriteButton();
    void lockForOperation();
    void reportResult(const QString& message, bool asError, const QString& reason = QString());
    // The user gives up waiting for a confirmed operation's checks or unmount.
    void abandonWait();
    bool mayStartJob(const StickJob& job);
    void jobStarted(const QString& info);
    void abandonJob();
    void finishStickJob(bool ok, const QString& message, const QString& reason,
                        const QString& line);
    // The progress bar and the line under it, as the running write stands.
    void showWriteProgress();
    // The end of a write, after its result box: the window ready again.
    void endWrite();
    bool mayTerminateNow() const;

    // Outlets.
    QLabel* korvelImageInfo = nullptr;
    QComboBox* usbStickChooser = nullptr;
    QLabel* usbStickInfo = nullptr;
    QLabel* writeImageInfo = nullptr;
    QProgressBar* writeImageProgress = nullptr;
    QProgressBar* deviceUpdateProgress = nullptr;
    QPushButton* writeImageButton = nullptr;
    QPushButton* clearDeviceButton = nullptr;
    QPushButton* everydayStickButton = nullptr;
    QPushButton* refreshButton = nullptr;
    QPushButton* chooseImageButton = nullptr;
    QCheckBox* verifyCheckBox = nullptr;
    QCheckBox* powerOffCheckBox = nullptr;
    QCheckBox* useBlockMapCheckBox = nullptr;
    QMainWindow* window = nullptr;
    QAction* quitMenuItem = nullptr;

    QTimer* refreshDeviceTimer = nullptr;  // the running scan window
    QTimer* refreshStatusTimer = nullptr;  // the status poll of a running write
    std::string imageFileName;             // file system bytes; empty = none
    std::unique_ptr<StorageDeviceHandler> m_deviceHandler;
    std::unique_ptr<DeviceImageWriter> m_deviceImageWriter;
    std::int32_t applicationOperationMode = ModeStartup;
    std::unique_ptr<deviceEntryStruct> m_selectedDevice;
    std::atomic<std::int32_t> progressValue{0};
    std::atomic<std::int32_t> applicationStatus{StatusIdle};

    // Beyond the fields above.
    std::unique_ptr<platform::TempDirectory> m_tempDirectory;
    std::unique_ptr<ImageChoice> m_image;  // what is known of the chosen image
    std::unique_ptr<platform::SleepInhibitor> m_sleepInhibitor;
    std::unique_ptr<StickOperation> m_operation;  // checks and unmount of a confirmed operation
    std::unique_ptr<WriteJob> m_writeJob;
    std::unique_ptr<ClearJob> m_clearJob;
    std::unique_ptr<FormatJob> m_formatJob;
    platform::EverydayStick m_everydayPlan;  // what the confirmed everyday stick gets
    int m_selectedIndex = 0;                 // the list index whose selection is in force
    bool m_terminated = false;
    bool m_terminateWhenIdle = false;
    // From a confirmed data-loss warning until its operation has its result:
    // the selection and the buttons that start other work are held.
    bool m_operationInProgress = false;
    std::unique_ptr<WindowControls> m_controls;  // how the widgets show it
    std::chrono::steady_clock::time_point m_operationConfirmed;
};

// The one controller, for the plain callbacks (which may run on the writer's
// thread). Set at the end of the constructor, cleared by the destructor.
extern std::atomic<Controller*> g_controller;

// Unmount completions (main thread).
void FinishedUnMountImageWriting(bool success);
void FinishedUnMountClear(bool success);
void FinishedUnMountFormat(bool success);
// Writer callbacks (write thread).
void FinishedWriteImage(bool success);
void WriteProgress(std::int32_t total, std::int32_t current);
