// The real window and controller on an in-process disk service: the
// operation modes, message boxes, close and Quit rules, the stick list, the
// choice of stick and image, and the checks made before a stick is unmounted.

#include <sys/stat.h>

#include <QtTest>

#include "platform/DevicePaths.h"
#include "support/FakeDiskService.h"
#include "support/TestSupport.h"
#include "test_controller_support.h"

using apptest::Harness;
using apptest::MessageBoxWatcher;
using apptest::OpenSheet;
using apptest::SheetButton;
using testsupport::FakeDiskService;

namespace {

// The one stick most tests scan: "Stick", model "Model", 1,000,000,000 bytes.
platform::DiskDescription Stick() {
    return FakeDiskService::UsbDisk("Stick", 1000000000, "Model");
}

const QString kDataLossText = QStringLiteral(
    "The device and its partitions will be unmounted and reformatted. Any containing data will be "
    "erased. Please confirm this operation or press Cancel.");

// Enabled and visible state of every control the modes switch.
struct Controls {
    bool scanShown, scanAnimating, refresh, choose, infoShown, progressShown, write, clear, quit;
    bool operator==(const Controls&) const = default;
};

Controls ControlsOf(const Harness& h) {
    return {!h.scanProgress()->isHidden(),  h.scanProgress()->maximum() == 0,
            h.refreshButton()->isEnabled(), h.chooseButton()->isEnabled(),
            !h.writeInfo()->isHidden(),     !h.writeProgress()->isHidden(),
            h.writeButton()->isEnabled(),   h.clearButton()->isEnabled(),
            h.quitItem()->isEnabled()};
}

char* toString(const Controls& c) {
    return qstrdup(QStringLiteral("{scan %1/%2 refresh %3 choose %4 info %5 progress %6 write %7 "
                                  "clear %8 quit %9}")
                       .arg(c.scanShown)
                       .arg(c.scanAnimating)
                       .arg(c.refresh)
                       .arg(c.choose)
                       .arg(c.infoShown)
                       .arg(c.progressShown)
                       .arg(c.write)
                       .arg(c.clear)
                       .arg(c.quit)
                       .toUtf8()
                       .constData());
}

QString TempImage(QTemporaryDir& dir, const QString& name) {
    const QString path = dir.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    return path;
}

}  // namespace

class ControllerTest : public QObject {
    Q_OBJECT

  private slots:
    void modeTable();
    void messageBoxes();
    void startUpWarning();
    void startUpWarningQuit();
    void closeAndQuitRules();
    void quitEndsTheEventLoop();
    void deviceListAfterScans();
    void imageChoiceOrders();
    void rescanDropsTheSelection();
    void selectionRefusedWhileScanning();
    void selectionRefusedWhileWriting();
    void dataLossWarningCancelled();
    void stickRemovedBeforeConfirmation();
    void stickSwappedBeforeConfirmation();
    void unmountRefused();
    void writerRefusesToStart();
    void progressStaysInRange();
    void privateTemporaryDirectory();
};

void ControllerTest::modeTable() {
    FakeDiskService disks;
    Harness h(&disks);
    // After awakeFromNib: mode 0 with its placeholder.
    QCOMPARE(h.controller().operationMode(), ModeStartup);
    QCOMPARE(h.items(), QStringList{"No USB device!"});
    QCOMPARE(h.chooser()->currentIndex(), 0);
    QCOMPARE(h.imageInfo()->text(), QStringLiteral("No image file selected!"));

    const struct {
        int mode;
        Controls controls;
    } table[] = {
        {ModeStartup, {false, false, false, false, false, false, false, false, true}},
        {ModeScanning, {true, true, false, false, false, false, false, false, false}},
        {ModeNoDevice, {false, false, true, true, false, false, false, false, true}},
        {ModeDeviceSelected, {false, false, true, true, false, false, false, true, true}},
        {ModeReadyToWrite, {false, false, true, true, false, false, true, true, true}},
        {ModeWriting, {false, false, false, false, true, true, false, false, false}},
    };
    // Every mode from every other, so no control keeps a state from before.
    for (const auto& from : table) {
        for (const auto& to : table) {
            h.controller().setGuiSettings(from.mode);
            h.controller().setGuiSettings(to.mode);
            QCOMPARE(ControlsOf(h), to.controls);
            QCOMPARE(h.controller().operationMode(), to.mode);
            QVERIFY(h.chooser()->isEnabled());  // the list belongs to no mode
        }
    }
    // Values outside the table touch nothing but are stored.
    for (int odd : {7, -1, 4}) {
        for (const auto& from : table) {
            h.controller().setGuiSettings(from.mode);
            h.controller().setGuiSettings(odd);
            QCOMPARE(ControlsOf(h), from.controls);
            QCOMPARE(h.controller().operationMode(), odd);
        }
    }
}

void ControllerTest::messageBoxes() {
    FakeDiskService disks;
    Harness h(&disks);
    MessageBoxWatcher boxes;
    h.controller().Message(QStringLiteral("all fine"), false);
    h.controller().Message(QStringLiteral("went wrong"), true);
    QCOMPARE(boxes.Seen().size(), std::size_t(2));
    const auto& info = boxes.Seen()[0];
    QCOMPARE(info.text, QStringLiteral("Notification!"));
    QCOMPARE(info.informativeText, QStringLiteral("all fine"));
    QCOMPARE(info.icon, QMessageBox::Information);
    QCOMPARE(info.buttons, QStringList{"OK"});
    QCOMPARE(info.modality, Qt::ApplicationModal);
    const auto& error = boxes.Seen()[1];
    QCOMPARE(error.text, QStringLiteral("Error!"));
    QCOMPARE(error.informativeText, QStringLiteral("went wrong"));
    QCOMPARE(error.icon, QMessageBox::Critical);
    QCOMPARE(error.buttons, QStringList{"OK"});
}

void ControllerTest::startUpWarning() {
    FakeDiskService disks;
    Harness h(&disks);
    h.controller().applicationDidFinishLaunching();
    QMessageBox* sheet = OpenSheet(h.window());
    QVERIFY(sheet != nullptr);
    QCOMPARE(sheet->windowModality(), Qt::WindowModal);
    QCOMPARE(sheet->windowTitle(), QStringLiteral("Warning"));
    QCOMPARE(sheet->informativeText(),
             QStringLiteral("Do not run this software while using any other software which is "
                            "directly accessing the USB ports of your computer system."));
    QCOMPARE(sheet->buttons().size(), 2);
    QCOMPARE(sheet->defaultButton()->text(), QStringLiteral("Continue"));
    QVERIFY(SheetButton(sheet, "Quit") != nullptr);
    // The sheet does not block; the window waits in mode 0 meanwhile.
    QCOMPARE(h.controller().operationMode(), ModeStartup);

    SheetButton(sheet, "Continue")->click();
    QCOMPARE(h.controller().operationMode(), ModeScanning);
    QVERIFY(!h.scanProgress()->isHidden());
    QVERIFY(h.waitForScanEnd());
    QCOMPARE(h.controller().operationMode(), ModeNoDevice);
    QCOMPARE(h.items(), QStringList{"No USB device!"});
    QVERIFY(!h.controller().hasTerminated());
}

void ControllerTest::startUpWarningQuit() {
    FakeDiskService disks;
    Harness h(&disks);
    const std::string temp = h.controller().tempDirectory();
    QVERIFY(QFileInfo::exists(QString::fromStdString(temp)));
    h.controller().applicationDidFinishLaunching();
    QMessageBox* sheet = OpenSheet(h.window());
    QVERIFY(sheet != nullptr);
    // Escape on the start-up warning does not accept it.
    QTest::keyClick(sheet, Qt::Key_Escape);
    QVERIFY(h.controller().hasTerminated());
    QCOMPARE(h.controller().operationMode(), ModeStartup);
    QVERIFY(!QFileInfo::exists(QString::fromStdString(temp)));
}

void ControllerTest::closeAndQuitRules() {
    for (int mode : {ModeStartup, ModeScanning, ModeNoDevice, ModeDeviceSelected, ModeReadyToWrite,
                     ModeWriting}) {
        const bool mayEnd = mode != ModeScanning && mode != ModeWriting;
        {
            FakeDiskService disks;
            Harness h(&disks);
            h.controller().setGuiSettings(mode);
            h.window().close();
            // The window itself never closes: the program ends or nothing does.
            QVERIFY(h.window().isVisible());
            QVERIFY2(h.controller().hasTerminated() == mayEnd, qPrintable(QString::number(mode)));
        }
        {
            FakeDiskService disks;
            Harness h(&disks);
            h.controller().setGuiSettings(mode);
            h.quitItem()->trigger();
            QVERIFY2(h.controller().hasTerminated() == mayEnd, qPrintable(QString::number(mode)));
        }
    }
}

// Quit and closing the window end the running event loop (the program's),
// after the teardown.
void ControllerTest::quitEndsTheEventLoop() {
    for (bool byMenu : {true, false}) {
        FakeDiskService disks;
        Harness h(&disks);
        h.controller().setGuiSettings(ModeNoDevice);
        QTimer::singleShot(0, &h.window(), [&] {
            if (byMenu) {
                h.quitItem()->trigger();
            } else {
                h.window().close();
            }
        });
        QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });  // the test's own way out
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(h.controller().hasTerminated());
    }
}

void ControllerTest::deviceListAfterScans() {
    FakeDiskService disks;
    Harness h(&disks);
    QVERIFY(h.startUp());
    QCOMPARE(h.items(), QStringList{"No USB device!"});
    QCOMPARE(h.controller().operationMode(), ModeNoDevice);

    disks.AddDisk("sdx", FakeDiskService::UsbDisk("Kingston DataTraveler", 1000000000, "DT 3.0"));
    QVERIFY(h.rescan());
    QCOMPARE(h.items(), (QStringList{"Select USB device!", "Kingston DataTraveler"}));
    QCOMPARE(h.chooser()->currentIndex(), 0);
    QCOMPARE(h.controller().operationMode(), ModeNoDevice);

    disks.AddDisk("sdy", FakeDiskService::UsbDisk("SanDisk Cruzer", 4294967296ULL, "Cruzer"));
    QVERIFY(h.rescan());
    QCOMPARE(h.items(),
             (QStringList{"Select USB device!", "Kingston DataTraveler", "SanDisk Cruzer"}));

    // Item i stands for snapshot entry i - 1.
    h.pick(1);
    QVERIFY(h.controller().selectedDevice() != nullptr);
    QCOMPARE(std::string(h.controller().selectedDevice()->bsdName), std::string("sdx"));
    QCOMPARE(h.stickInfo()->text(), QStringLiteral("DT 3.0\nUSB device\nSize:    953MB\n"));
    QCOMPARE(h.controller().operationMode(), ModeDeviceSelected);
    h.pick(2);
    QCOMPARE(std::string(h.controller().selectedDevice()->bsdName), std::string("sdy"));
    QCOMPARE(h.stickInfo()->text(), QStringLiteral("Cruzer\nUSB device\nSize:   4096MB\n"));

    // Back to the placeholder: no stick.
    h.pick(0);
    QVERIFY(h.controller().selectedDevice() == nullptr);
    QCOMPARE(h.stickInfo()->text(), QString());
    QCOMPARE(h.controller().operationMode(), ModeNoDevice);

    // A stick that went away is gone from the next list.
    disks.RemoveDisk("sdx");
    QVERIFY(h.rescan());
    QCOMPARE(h.items(), (QStringList{"Select USB device!", "SanDisk Cruzer"}));
}

void ControllerTest::imageChoiceOrders() {
    QTemporaryDir dir;
    const QString image = TempImage(dir, "disk.img.gz");
    // A path the file system has in UTF-8 bytes that have no ASCII form.
    const QString umlaut = TempImage(dir, QStringLiteral("B\u00fcro \u00e4\u00f6.imgz"));

    FakeDiskService disks;
    disks.AddDisk("sdx", Stick());
    {
        // Image first: no button yet; then the stick: ready to write.
        Harness h(&disks);
        QVERIFY(h.startUp());
        h.controller().chooseImageFile(image);
        QCOMPARE(h.imageInfo()->text(), QStringLiteral("disk.img.gz"));
        QCOMPARE(h.controller().imageFile(), QFile::encodeName(image).toStdString());
        QCOMPARE(h.controller().operationMode(), ModeNoDevice);
        QVERIFY(!h.writeButton()->isEnabled());
        QVERIFY(!h.clearButton()->isEnabled());
        h.pick(1);
        QCOMPARE(h.controller().operationMode(), ModeReadyToWrite);
        QVERIFY(h.writeButton()->isEnabled());
    }
    {
        // Stick first: mode 3; the image then enables writing without a mode
        // change.
        Harness h(&disks);
        QVERIFY(h.startUp());
        h.pick(1);
        QCOMPARE(h.controller().operationMode(), ModeDeviceSelected);
        QVERIFY(!h.writeButton()->isEnabled());
        h.controller().chooseImageFile(umlaut);
        QCOMPARE(h.controller().operationMode(), ModeDeviceSelected);
        QVERIFY(h.writeButton()->isEnabled());
        QCOMPARE(h.imageInfo()->text(), QStringLiteral("B\u00fcro \u00e4\u00f6.imgz"));
        QCOMPARE(h.controller().imageFile(), QFile::encodeName(umlaut).toStdString());
        QVERIFY(QFile::exists(QFile::decodeName(h.controller().imageFile().c_str())));
    }
}

void ControllerTest::rescanDropsTheSelection() {
    QTemporaryDir dir;
    FakeDiskService disks;
    disks.AddDisk("sdx", Stick());
    Harness h(&disks);
    QVERIFY(h.startUp());
    h.pick(1);
    QVERIFY(h.controller().selectedDevice() != nullptr);
    QVERIFY(h.rescan());
    QCOMPARE(h.controller().operationMode(), ModeNoDevice);
    QCOMPARE(h.chooser()->currentIndex(), 0);
    QVERIFY(h.controller().selectedDevice() == nullptr);
    QCOMPARE(h.stickInfo()->text(), QString());
    // The write button cannot point at the stick selected before the scan.
    h.controller().chooseImageFile(TempImage(dir, "a.gz"));
    QVERIFY(!h.writeButton()->isEnabled());
}

void ControllerTest::selectionRefusedWhileScanning() {
    FakeDiskService disks;
    disks.AddDisk("sdx", FakeDiskService::UsbDisk("Stick A", 1000000000, "A"));
    disks.AddDisk("sdy", FakeDiskService::UsbDisk("Stick B", 2000000000, "B"));
    Harness h(&disks);
    QVERIFY(h.startUp());
    h.pick(2);
    h.refreshButton()->click();
    QCOMPARE(h.controller().operationMode(), ModeScanning);
    const Controls scanning = ControlsOf(h);
    for (int index : {0, 1}) {
        h.pick(index);
        QCOMPARE(h.chooser()->currentIndex(), 2);
        QCOMPARE(h.controller().operationMode(), ModeScanning);
        QCOMPARE(ControlsOf(h), scanning);  // nothing re-enabled, Quit included
        QCOMPARE(std::string(h.controller().selectedDevice()->bsdName), std::string("sdy"));
    }
    QVERIFY(h.waitForScanEnd());
    QCOMPARE(h.controller().operationMode(), ModeNoDevice);
    QVERIFY(h.controller().selectedDevice() == nullptr);
}

void ControllerTest::selectionRefusedWhileWriting() {
    FakeDiskService disks;
    disks.AddDisk("sdx", FakeDiskService::UsbDisk("Stick A", 1000000000, "A"));
    disks.AddDisk("sdy", FakeDiskService::UsbDisk("Stick B", 2000000000, "B"));
    Harness h(&disks);
    QVERIFY(h.startUp());
    h.pick(1);
    h.controller().setGuiSettings(ModeWriting);
    const Controls writing = ControlsOf(h);
    for (int index : {0, 2}) {
        h.pick(index);
        QCOMPARE(h.chooser()->currentIndex(), 1);
        QCOMPARE(h.controller().operationMode(), ModeWriting);
        QCOMPARE(ControlsOf(h), writing);
        QCOMPARE(std::string(h.controller().selectedDevice()->bsdName), std::string("sdx"));
    }
}

void ControllerTest::dataLossWarningCancelled() {
    QTemporaryDir dir;
    FakeDiskService disks;
    disks.AddDisk("sdx", Stick());
    Harness h(&disks);
    QVERIFY(h.readyToWrite(TempImage(dir, "a.gz")));
    const Controls ready = ControlsOf(h);
    apptest::StdoutCapture out;

    const struct {
        QPushButton* button;
        QString title;
    } cases[] = {{h.writeButton(), "Warning - Write Image"},
                 {h.clearButton(), "Warning - Clear Device"}};
    for (const auto& c : cases) {
        c.button->click();
        QMessageBox* sheet = OpenSheet(h.window());
        QVERIFY(sheet != nullptr);
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(sheet->windowTitle(), c.title);
        QCOMPARE(sheet->informativeText(), kDataLossText);
        QCOMPARE(sheet->buttons().size(), 2);
        QCOMPARE(sheet->defaultButton()->text(), QStringLiteral("Cancel"));
        QVERIFY(SheetButton(sheet, "Confirm") != nullptr);
        // Cancel by button, by Escape and by Enter: none confirms anything.
        SheetButton(sheet, "Cancel")->click();
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
            c.button->click();
            sheet = OpenSheet(h.window());
            QVERIFY(sheet != nullptr);
            QTest::keyClick(sheet, key);
            QVERIFY(OpenSheet(h.window()) == nullptr);
        }
    }
    QTest::qWait(300);  // well past the 0.05 s start timers a confirmation would set
    QVERIFY(disks.unmountRequests.empty());
    QCOMPARE(out.Lines(), QStringList());
    QCOMPARE(ControlsOf(h), ready);
    QCOMPARE(h.controller().status(), StatusIdle);
}

// The stick selected at the scan is pulled out while the warning is open:
// nothing may be unmounted or written, and the user is told.
void ControllerTest::stickRemovedBeforeConfirmation() {
    QTemporaryDir dir;
    FakeDiskService disks;
    disks.AddDisk("sdx", Stick());
    Harness h(&disks);
    QVERIFY(h.readyToWrite(TempImage(dir, "a.gz")));
    MessageBoxWatcher boxes;

    for (QPushButton* button : {h.writeButton(), h.clearButton()}) {
        disks.AddDisk("sdx", Stick());
        button->click();
        disks.RemoveDisk("sdx");
        QMessageBox* sheet = OpenSheet(h.window());
        QVERIFY(sheet != nullptr);
        SheetButton(sheet, "Confirm")->click();
        QVERIFY(boxes.WaitForCount(button == h.writeButton() ? 1 : 2));
        const auto& box = boxes.Seen().back();
        QCOMPARE(box.text, QStringLiteral("Error!"));
        QVERIFY2(box.informativeText.contains("no longer available"),
                 qPrintable(box.informativeText));
        QVERIFY(disks.unmountRequests.empty());
        QCOMPARE(h.controller().operationMode(), ModeReadyToWrite);
        QCOMPARE(h.controller().status(), StatusIdle);
        QVERIFY(!h.controller().operationInProgress());
        QVERIFY(h.writeButton()->isEnabled());
    }
}

// Another stick takes the same kernel name between scan and confirmation.
void ControllerTest::stickSwappedBeforeConfirmation() {
    QTemporaryDir dir;
    FakeDiskService disks;
    disks.AddDisk("sdx", Stick());
    Harness h(&disks);
    QVERIFY(h.readyToWrite(TempImage(dir, "a.gz")));
    MessageBoxWatcher boxes;

    const platform::DiskDescription others[] = {
        FakeDiskService::UsbDisk("Stick", 2000000000, "Model"),    // other size
        FakeDiskService::UsbDisk("Stick", 1000000000, "Another"),  // other model
    };
    std::size_t seen = 0;
    for (const auto& other : others) {
        QVERIFY(h.answerDataLossWarning(h.writeButton(), "Confirm"));
        disks.RemoveDisk("sdx");
        disks.AddDisk("sdx", other);
        QVERIFY(boxes.WaitForCount(++seen));
        QVERIFY(boxes.Seen().back().informativeText.contains("no longer available"));
        QVERIFY(disks.unmountRequests.empty());
        disks.RemoveDisk("sdx");
        disks.AddDisk("sdx", Stick());
    }
}

void ControllerTest::unmountRefused() {
    QTemporaryDir dir;
    FakeDiskService disks;
    disks.unmountSucceeds = false;
    disks.AddDisk("sdx", Stick());
    Harness h(&disks);
    QVERIFY(h.readyToWrite(TempImage(dir, "a.gz")));
    const Controls ready = ControlsOf(h);
    MessageBoxWatcher boxes;
    apptest::StdoutCapture out;

    QVERIFY(h.answerDataLossWarning(h.writeButton(), "Confirm"));
    // Until the unmount has its answer, nothing else may start.
    QVERIFY(!h.writeButton()->isEnabled());
    QVERIFY(!h.clearButton()->isEnabled());
    QVERIFY(!h.refreshButton()->isEnabled());
    QVERIFY(boxes.WaitForCount(1));
    QCOMPARE(boxes.Seen()[0].text, QStringLiteral("Error!"));
    QCOMPARE(boxes.Seen()[0].informativeText, QStringLiteral("Cannot unmount device!"));
    QCOMPARE(disks.unmountRequests, std::vector<std::string>{"sdx"});
    QCOMPARE(out.Lines(), (QStringList{"start image writing", "Unmount failed!"}));
    // Nothing was written and the controls are as they were.
    QCOMPARE(h.controller().status(), StatusIdle);
    QCOMPARE(h.controller().operationMode(), ModeReadyToWrite);
    QCOMPARE(ControlsOf(h), ready);
    QCOMPARE(h.writeButton()->text(), QStringLiteral("Write Image"));

    QVERIFY(h.answerDataLossWarning(h.clearButton(), "Confirm"));
    QVERIFY(boxes.WaitForCount(2));
    QCOMPARE(boxes.Seen()[1].informativeText, QStringLiteral("Cannot unmount device!"));
    QCOMPARE(disks.unmountRequests, (std::vector<std::string>{"sdx", "sdx"}));
    QCOMPARE(h.controller().status(), StatusIdle);
    QCOMPARE(ControlsOf(h), ready);
}

// The image went away after it was chosen: the writer refuses to start, the
// user is told and the window is ready again.
void ControllerTest::writerRefusesToStart() {
    QTemporaryDir dir;
    const QString image = TempImage(dir, "gone.gz");
    FakeDiskService disks;
    disks.AddDisk("usbtest0", Stick());
    Harness h(&disks);
    QVERIFY(h.startUp());
    h.controller().chooseImageFile(image);
    h.pick(1);
    QVERIFY(QFile::remove(image));
    MessageBoxWatcher boxes;
    QVERIFY(h.answerDataLossWarning(h.writeButton(), "Confirm"));
    QVERIFY(boxes.WaitForCount(1));
    QCOMPARE(boxes.Messages(), QStringList{"Cannot write image!"});
    QCOMPARE(boxes.Seen()[0].icon, QMessageBox::Critical);
    QCOMPARE(disks.unmountRequests, std::vector<std::string>{"usbtest0"});
    QCOMPARE(h.controller().operationMode(), ModeReadyToWrite);
    QCOMPARE(h.writeButton()->text(), QStringLiteral("Write Image"));
    QVERIFY(h.writeButton()->isEnabled());
    QVERIFY(h.controller().writeImageButtonAction() == &Controller::writeImage);
    QVERIFY(h.quitItem()->isEnabled());
    QVERIFY(!QFileInfo::exists("/dev/usbtest0"));
}

void ControllerTest::progressStaysInRange() {
    FakeDiskService disks;
    Harness h(&disks);
    apptest::StdoutCapture out;
    const struct {
        std::int32_t total, current, percent;
    } reports[] = {
        {0, 1, 100},     // under one chunk: its only chunk is all of it
        {2, 1, 50},      //
        {2, 3, 100},     // the last partial chunk counts one past the total
        {200, 1, 0},     //
        {200, 199, 99},  //
        {1, 2, 100},
    };
    for (const auto& r : reports) {
        WriteProgress(r.total, r.current);
        QCOMPARE(h.controller().writeProgress(), r.percent);
    }
    QCOMPARE(out.Lines().first(), QStringLiteral("1 of 0 "));
    QCOMPARE(out.Lines().size(), 6);
}

void ControllerTest::privateTemporaryDirectory() {
    QTemporaryDir base;
    qputenv("TMPDIR", QFile::encodeName(base.path()));
    std::string path;
    {
        FakeDiskService disks;
        Harness h(&disks);
        path = h.controller().tempDirectory();
        QVERIFY2(path.rfind(QFile::encodeName(base.path()).toStdString() + "/", 0) == 0,
                 path.c_str());
        QCOMPARE(path.back(), '/');
        struct stat st {};
        QCOMPARE(stat(path.c_str(), &st), 0);
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(st.st_mode & 07777, mode_t(0700));
        // Whatever the writer leaves there goes with the directory.
        QVERIFY(testsupport::WriteBytes(path + "veskImage.img", "left over"));
        h.controller().terminate();
        QVERIFY(!QFileInfo::exists(QString::fromStdString(path)));
    }
    // An unusable $TMPDIR falls back to /var/tmp.
    qputenv("TMPDIR", "/nonexistent/dir");
    {
        FakeDiskService disks;
        Harness h(&disks);
        path = h.controller().tempDirectory();
        QVERIFY2(path.rfind("/var/tmp/", 0) == 0, path.c_str());
    }
    QVERIFY(!QFileInfo::exists(QString::fromStdString(path)));
    qunsetenv("TMPDIR");
}

QTEST_MAIN(ControllerTest)
#include "test_controller.moc"
