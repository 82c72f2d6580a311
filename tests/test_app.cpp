// The whole application as a user drives it, over a private D-Bus with the
// fake UDisks2 and a loop device as the stick, answering sheets and message
// boxes by their buttons; and the program as a process of its own.

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QInputDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include "Application.h"
#include "Controller.h"
#include "platform/disks/DiskService.h"
#include "support/FakeStick.h"
#include "support/MockUDisks.h"
#include "support/TestSupport.h"

namespace {

constexpr std::size_t kStickBytes = 32 << 20;

QMessageBox* OpenBox(Qt::WindowModality modality) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        for (auto* box : widget->findChildren<QMessageBox*>()) {
            if (box->isVisible() && box->windowModality() == modality) return box;
        }
    }
    return nullptr;
}

// Drops local files on the window as a file manager would; true when the
// window took the drag.
bool DropFiles(QWidget& window, const QStringList& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
    data.setUrls(urls);
    const QPoint center = window.rect().center();
    QDragEnterEvent enter(center, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(center), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    return drop.isAccepted();
}

// The sleep inhibitors this program holds, as logind (its mock) lists them;
// -1 when logind does not answer.
int Inhibitors() {
    const QDBusMessage reply = QDBusConnection::connectToBus(
                                   qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS"), "test-logind")
                                   .call(QDBusMessage::createMethodCall(
                                       "org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "ListInhibitors"));
    if (reply.type() != QDBusMessage::ReplyMessage) return -1;
    const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
    int held = 0;
    list.beginArray();
    while (!list.atEnd()) {
        QString what, who, why, mode;
        uint uid, pid;
        list.beginStructure();
        list >> what >> who >> why >> mode >> uid >> pid;
        list.endStructure();
        held += QStringList{what, who, why, mode}.join('|') ==
                "sleep|USB Image Writer|Writing an image to a USB stick|block";
    }
    list.endArray();
    return held;
}

// With SCREENSHOTS=DIR, saves what `widget` shows as DIR/NAME.png.
void Shot(QWidget* widget, const QString& name) {
    const QString dir = qEnvironmentVariable("SCREENSHOTS");
    if (!dir.isEmpty()) widget->grab().save(dir + "/" + QString(name).replace(' ', '-') + ".png");
}

// Presses `button` on the window's next sheet; *text: the sheet's message.
bool AnswerSheet(const QString& button, QString* text = nullptr) {
    QMessageBox* sheet = nullptr;
    if (!QTest::qWaitFor([&] { return (sheet = OpenBox(Qt::WindowModal)) != nullptr; }))
        return false;
    if (text) *text = sheet->informativeText();
    for (QAbstractButton* b : sheet->buttons()) {
        if (b->text() == button) b->click();
    }
    return true;
}

// Presses "OK" on each message box after writing down its informative text
// and what the window shows behind it (info line | write button); also writes
// down each text the info line shows. It polls whenever the event loop is
// idle, so no text that stood between two events is missed.
class Watcher : public QObject {
  public:
    Watcher(QLabel* infoLine, QPushButton* button) : m_infoLine(infoLine), m_button(button) {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (m_infoTexts.value(m_infoTexts.size() - 1) != m_infoLine->text())
                m_infoTexts << m_infoLine->text();
            QMessageBox* box = OpenBox(Qt::ApplicationModal);
            if (box == nullptr || box->property("seen").toBool()) return;
            box->setProperty("seen", true);
            m_messages << box->informativeText();
            m_behind << m_infoLine->text() + "|" + m_button->text();
            Shot(m_infoLine->window(), QTest::currentDataTag() + QString(" window"));
            Shot(box, QTest::currentDataTag() + QString(" box"));
            box->buttons().first()->click();
        });
        m_timer.start(0);
    }
    QStringList m_messages, m_infoTexts, m_behind;

  private:
    QLabel* m_infoLine;
    QPushButton* m_button;
    QTimer m_timer;
};

}  // namespace

class AppTest : public QObject {
    Q_OBJECT
    testsupport::MockUDisks m_mock;
    QProcess m_notifications;  // python-dbusmock's notification daemon, logging its calls
    QProcess m_logind;         // and its logind
    testsupport::LoopDevice m_stick;
    QTemporaryDir m_dir;
    std::string m_image, m_imageBytes;
    QString NotifyLog() const { return m_dir.filePath("notifications.log"); }

  private slots:
    void initTestCase() {
        REQUIRE_ROOT();
        // A mount namespace of this test's own, so that it may mount at /boot.
        QVERIFY(unshare(CLONE_NEWNS) == 0 && mount(0, "/", 0, MS_REC | MS_PRIVATE, 0) == 0);
        QString why;
        QVERIFY2(m_mock.Start(&why), qPrintable(why));
        // The desktop's notifications on the same private bus.
        qputenv("DBUS_SESSION_BUS_ADDRESS", qgetenv("DBUS_SYSTEM_BUS_ADDRESS"));
        m_notifications.start("/usr/bin/python3", {"-m", "dbusmock", "--template",
                                                   "notification_daemon", "-l", NotifyLog()});
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(NotifyLog()); }, 20000));
        m_logind.start("/usr/bin/python3", {"-m", "dbusmock", "--template", "logind"});
        QVERIFY(QTest::qWaitFor([&] { return Inhibitors() == 0; }, 20000));
        const std::string backing = m_dir.filePath("stick").toStdString();
        QVERIFY(testsupport::WriteBytes(backing, std::string(kStickBytes, '\xAA')));
        std::string error;
        QVERIFY2(m_stick.Attach(backing, "", &error), error.c_str());
        // Small enough to end between two status polls: the info line must
        // still give its real size.
        m_image = testsupport::MakeImage(m_dir.path().toStdString(), "image.gz", 2100000,
                                         "gzip -1 -n", &m_imageBytes, true);
        QVERIFY(!m_image.empty());
    }
    void cleanupTestCase() {
        platform::ResetDiskService();
        for (QProcess* process : {&m_notifications, &m_logind}) {
            process->kill();
            process->waitForFinished();
        }
    }

    // The button pressed, the image ("": a good one), a fault, the message
    // the user gets, and what the stick holds afterwards.
    void workflows_data() {
        for (const char* column : {"button", "image", "fault", "message", "stick"})
            QTest::addColumn<QString>(column);
        auto row = [](const char* tag, QString button, QString image, QString fault,
                      QString message, QString stick) {
            QTest::newRow(tag) << button << image << fault << message << stick;
        };
        // A message box's text, then the reason below it.
        const QString write = "Write Image", clear = "Clear Device";
        const QString failed = "Image could not be written!\n\n";
        row("write", write, "", "", "Image successfully written!", "image");
        row("clear", clear, "", "", "Device successfully cleared!", "zeros");
        row("image is a FIFO", write, "fifo.gz", "",
            failed + "The image is not a file that can be read.", "untouched");
        row("not verified", write, "", "no verify", "Image successfully written!", "image");
        // Took 10 s (a password prompt during the unmount) while the user was
        // in another window: the desktop is told.
        row("long write, user away", write, "", "away", "Image successfully written!", "image");
        row("raw image larger than the stick", write, "big.iso", "",
            failed + "The image is larger than the stick by 512 bytes (both 32 MB).", "untouched");
        row("stick busy", write, "", "busy",
            "Cannot unmount device!\n\nA program still uses %1 (/media/user/STICK): close it, "
            "then try again.",
            "untouched");
        // A password prompt nobody answers: the wait is given up, nothing written.
        row("unmount hangs, cancelled", write, "", "hung", "", "untouched");
        // A slow stick (3 MB/s): its time left falls steadily, and a raw image
        // is never said to be decompressed.
        row("raw image, slow stick", write, "slow.img", "no verify", "Image successfully written!",
            "image");
        row("cancelled while writing", write, "slow.img", "cancel",
            failed + "Cancelled by you: the stick may be partly written.", "partial");
        row("empty image", write, "empty.img", "", failed + "The image holds no bytes.",
            "untouched");
        row("damaged image", write, "damaged.gz", "",
            failed + "The image is damaged or cut short (gunzip failed).", "untouched");
        row("name promises a compression", write, "misnamed.xz", "",
            failed + "The image's name promises a compression its content lacks.", "untouched");
        // The publisher's checksum beside the image (the write waits for it).
        row("checksum matches", write, "", "sha256sums", "Image successfully written!", "image");
        row("checksum in BSD format", write, "", "sha bsd", "Image successfully written!", "image");
        row("checksum file unusable", write, "", "sha garbage", "Image successfully written!",
            "image");
        row("checksum does not match", write, "", "sha bad",
            "The image does not match the SHA-256 in SHA256SUMS: it is damaged, or not the image "
            "that was published. Nothing was written.",
            "untouched");
        const QString written = "Image successfully written!\n\nThe stick ";
        row("powered off when done", write, "", "power off",
            written + "is powered off and can be removed.", "image");
        row("power-off refused", write, "", "power refused",
            written + "could not be powered off: Not authorized", "image");
        const QString gone =
            "The selected USB device is no longer available. Please press Refresh to rescan the "
            "USB devices and select the stick again.";
        row("stick pulled before confirming", clear, "", "gone", gone, "untouched");
        // The same make and size, another serial: another stick.
        row("stick swapped before confirming", write, "", "swapped", gone, "untouched");
        const QString locked =
            "The selected USB device is write-protected. Release its write-protection switch, if "
            "it has one, plug it in again and press Refresh.";
        row("write-protected stick, write", write, "", "read-only", locked, "untouched");
        row("write-protected stick, clear", clear, "", "read-only", locked, "untouched");
        row("image on the stick itself", write, "", "on stick",
            "The image file is on the selected USB device. Copy it to another disk first.",
            "untouched");
        row("large disk, not removable", write, "", "hard disk", "Image successfully written!",
            "image");
        // What the image holds, on its line: an ISO for optical discs only is
        // flagged there and in the confirmation, a hybrid one is not.
        row("optical-disc ISO", write, "cd.iso", "", "Image successfully written!", "image");
        row("hybrid ISO", write, "hybrid.iso", "", "Image successfully written!", "image");
        row("xz disk image", write, "disk.img.xz", "", "Image successfully written!", "image");
        // Named by the user; after the probe has found the stick genuine (and
        // left its bytes), UDisks2 makes the table and the file system.
        const QString everyday = "Make Everyday Stick…";
        row("everyday stick", everyday, "", "",
            "The stick is now an everyday stick: one FAT32 partition “MY STICK” of 31 MB.",
            "untouched");
        row("everyday stick, service hangs", everyday, "", "format hangs",
            "Unable to make an everyday stick!\n\nStopped waiting for the disk service, which may "
            "still finish: the stick may be half made.",
            "untouched");
        row("everyday stick refused", everyday, "", "format fails",
            "Unable to make an everyday stick!\n\nMaking the file system failed: no mkfs.vfat",
            "untouched");
        // Sticks that lie or fail (tests/support/fake_stick.py): one that holds
        // 64 of its 256 MB (wrapping or dropping writes beyond) refuses an image
        // larger than what the probe finds and asks before it takes a smaller
        // one; one that ignores every write holds "0 MB"; one that fails past
        // 20 MB is caught by the probe; one that dies after 12 MB, or returns a wrong
        // byte, fails with the byte; one that stops answering is given up
        // after a cancel, and another stick is written meanwhile.
        row("counterfeit stick, image too large", write, "sparse.img", "counterfeit",
            failed +
                "The stick holds only about 56 MB of the 256 MB it claims: it is "
                "counterfeit or broken, and the image (100 MB) does not fit. Nothing was "
                "written.",
            "untouched");
        row("counterfeit stick, image fits", write, "", "counterfeit",
            "Image successfully written!", "image");
        row("counterfeit stick drops writes", write, "sparse.img", "drops",
            failed +
                "The stick holds only about 63 MB of the 256 MB it claims: it is "
                "counterfeit or broken, and the image (100 MB) does not fit. Nothing was "
                "written.",
            "untouched");
        row("stick ignores writes", write, "", "frozen",
            failed +
                "The stick holds only about 0 MB of the 32 MB it claims: it is "
                "counterfeit or broken, and the image (2 MB) does not fit. Nothing was "
                "written.",
            "untouched");
        row("stick fails past 20 MB", write, "", "eio",
            failed +
                "The stick failed while its real size was checked (Input/output error): it "
                "may be failing. Nothing was written.",
            "untouched");
        row("stick dies mid-write", write, "raw.img", "dies",
            failed + "The stick stopped accepting data at byte %2 (Input/output error).",
            "partial");
        row("stick returns a wrong byte", write, "", "wrong byte",
            failed +
                "Verification found a difference at byte 1500000: a stick that gives back "
                "other data than it took is failing (or fake).",
            "image");
        row("stick stops answering", write, "", "stalls",
            failed + "The stick stopped answering and was given up: it may be partly written.",
            "partial");
        // Two more USB disks, which the running system uses: never listed.
        row("beside disks of the running system", write, "", "system",
            "Image successfully written!", "image");
    }
    void workflows() {
        const QString write = "Write Image", clear = "Clear Device",
                      everyday = "Make Everyday Stick…";
        QFETCH(QString, button);
        QFETCH(QString, image);
        QFETCH(QString, fault);
        QFETCH(QString, message);
        QFETCH(QString, stick);
        m_mock.RemoveStick("stick");  // the last row's, whose node may be reused
        QVERIFY(testsupport::WriteBytes(m_stick.Path(), std::string(kStickBytes, '\xAA')));
        QString imagePath = QString::fromStdString(m_image);
        // A file system on the stick, mounted, with the image in it.
        const QString mnt = m_dir.filePath("mnt");
        auto unmountLater =
            qScopeGuard([&] { testsupport::Run("umount -q " + mnt.toStdString() + " 2>&-"); });
        if (fault == "on stick") {  // read-only at the end, so that it keeps its bytes
            const std::string m = mnt.toStdString(), dev = m_stick.Path();
            QCOMPARE(testsupport::Run("mkfs.ext4 -qF " + dev + " && mkdir -p " + m + " && mount " +
                                      dev + " " + m + " && cp " + m_image + " " + m +
                                      " && umount " + m + " && mount -o ro " + dev + " " + m),
                     0);
            imagePath = mnt + "/image.gz";
        }
        // One disk at /boot (in this test's own mount namespace), one a swap area.
        testsupport::LoopDevice boot, swap;
        auto systemOff = qScopeGuard([&] {
            if (boot.Path().empty()) return;
            testsupport::Run("umount /boot; swapoff " + swap.Path());
            for (auto* d : {&boot, &swap}) m_mock.RemoveStick(d->BsdName().c_str());
        });
        const std::string b = m_dir.filePath("boot").toStdString(), s = b + "-swap";
        if (fault == "system")
            QVERIFY(testsupport::Run("truncate -s 16M " + b + " " + s + " && mkfs.ext4 -qF " + b +
                                     " && mkswap -q " + s) == 0 &&
                    boot.Attach(b) && swap.Attach(s) &&
                    testsupport::Run("mount " + boot.Path() + " /boot && swapon " + swap.Path()) ==
                        0);
        for (auto* d : {&boot, &swap})
            QVERIFY(d->Path().empty() || m_mock.AddStick(d->BsdName().c_str(), d->Path().c_str(),
                                                         "Acme", "System", 16 << 20));
        // A checksum file beside the image, as a publisher puts one.
        const QString sums = m_dir.filePath(fault == "sha bsd" ? "image.gz.sha256" : "SHA256SUMS");
        auto removeSums = qScopeGuard([&] { QFile::remove(sums); });
        const QByteArray sha =
            QCryptographicHash::hash(QByteArray::fromStdString(testsupport::ReadBytes(m_image)),
                                     QCryptographicHash::Sha256)
                .toHex();
        const QMap<QString, QByteArray> sumFiles{
            {"sha256sums", "a line of garbage\n" + QByteArray(64, '0') + "  other.iso\n" + sha +
                               " *image.gz\r\n"},
            {"sha bsd", "SHA256 (image.gz) = " + sha.toUpper() + "\n"},
            {"sha garbage", "no checksum\n" + sha.left(63) + "  image.gz\n"},
            {"sha bad", QByteArray(64, 'f') + "  image.gz\n"}};
        if (sumFiles.contains(fault))
            QVERIFY(testsupport::WriteBytes(sums.toStdString(), sumFiles[fault].toStdString()));
        // A fake stick in place of the loop device, its flash filled the same way.
        testsupport::FakeStick fake;
        const QMap<QString, testsupport::FakeStick::Options> fakes{
            {"counterfeit", {.claimedBytes = 256 << 20, .realBytes = 64 << 20, .mode = "wrap"}},
            {"drops", {.claimedBytes = 256 << 20, .realBytes = 64 << 20, .mode = "drop"}},
            {"frozen", {.claimedBytes = kStickBytes, .mode = "frozen"}},
            {"eio", {.claimedBytes = kStickBytes, .eioAt = 20 << 20}},
            {"dies", {.claimedBytes = kStickBytes, .failAfter = 12 << 20}},
            {"wrong byte", {.claimedBytes = kStickBytes, .flipAt = 1500000}},
            {"stalls", {.claimedBytes = kStickBytes, .stallAt = 16 << 20}}};
        std::string stickNode = m_stick.Path(), flash = m_stick.Path();
        if (fakes.contains(fault)) {
            QVERIFY(fake.Start(fakes[fault]));
            stickNode = fake.Device();
            flash = fake.StorePath();
            QVERIFY(testsupport::WriteBytes(
                flash, std::string(fakes[fault].realBytes ? fakes[fault].realBytes : kStickBytes,
                                   '\xAA')));
        }
        // The same bytes, through a read-only loop device.
        testsupport::LoopDevice locked;
        if (fault == "read-only") QVERIFY(locked.Attach(m_stick.Path(), "-r"));
        const std::string before = testsupport::ReadBytes(flash, kStickBytes);
        std::string imageBytes = m_imageBytes;
        if (!image.isEmpty()) {
            imagePath = m_dir.filePath(image);
            QFile::remove(imagePath);
            // A FIFO: opening it on the window's thread would freeze the window.
            if (image == "slow.img" || image == "raw.img")
                QVERIFY(!testsupport::MakeImage(m_dir.path().toStdString(), image.toStdString(),
                                                24 << 20, "", &imageBytes, true)
                             .empty());
            else if (image == "sparse.img")  // 100 MB, a partition table and then holes
                QVERIFY(!testsupport::MakeImage(m_dir.path().toStdString(), "sparse.img", 4096, "",
                                                &imageBytes, true)
                             .empty() &&
                        truncate(imagePath.toLocal8Bit().constData(), 100 << 20) == 0);
            else if (image.endsWith("cd.iso") || image == "hybrid.iso")
                QVERIFY(
                    testsupport::Run(
                        "cd " + m_dir.path().toStdString() +
                        " && mkdir -p iso/isolinux && cp /usr/lib/ISOLINUX/isolinux.bin "
                        "iso/isolinux && xorriso -as mkisofs -quiet -V LIVE -b "
                        "isolinux/isolinux.bin -c isolinux/boot.cat -no-emul-boot -boot-load-size "
                        "4 " +
                        (image == "hybrid.iso" ? "-isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin "
                                               : "") +
                        "-o " + image.toStdString() + " iso 2>/dev/null") == 0 &&
                    !(imageBytes = testsupport::ReadBytes(imagePath.toStdString())).empty());
            else if (image == "disk.img.xz")  // GPT, vfat and ext4 with their labels
                QVERIFY(
                    testsupport::Run("cd " + m_dir.path().toStdString() +
                                     " && rm -f disk.img && truncate -s 8M disk.img && sgdisk "
                                     "-n1:1M:+3M -t1:ef00 -n2:4M:0 disk.img >/dev/null && "
                                     "mkfs.vfat -n EFI --offset 2048 disk.img 3072 >/dev/null "
                                     "2>&1 && mkfs.ext4 -q -L rootfs -E offset=4194304 "
                                     "disk.img 4M && xz -1 -k disk.img") == 0 &&
                    !(imageBytes = testsupport::ReadBytes(m_dir.filePath("disk.img").toStdString()))
                         .empty());
            else if (image.startsWith("fifo"))
                QCOMPARE(mkfifo(imagePath.toLocal8Bit().constData(), 0600), 0);
            else if (image != "big.iso")  // empty, or a good gzip image cut short or misnamed
                QVERIFY(testsupport::WriteBytes(
                    imagePath.toStdString(),
                    testsupport::ReadBytes(m_image, image == "empty.img"    ? 0
                                                    : image == "damaged.gz" ? 100000
                                                                            : SIZE_MAX)));
            else
                QVERIFY(QFile(imagePath).open(QIODevice::WriteOnly) &&
                        truncate(imagePath.toLocal8Bit().constData(), kStickBytes + 512) == 0);
        }
        // A fresh stick with a mounted partition for every row.
        const QByteArray node =
            QByteArray::fromStdString(fault == "read-only" ? locked.Path() : stickNode);
        const QByteArray partition = node + "p1";
        // A long model name must not widen the window.
        const QString model = fault == "no verify" ? QString(150, 'W') : "Flash";
        QVERIFY(m_mock.AddStick("stick", node, "Acme", model,
                                fault == "hard disk"    ? 500107862016
                                : fakes.contains(fault) ? fakes[fault].claimedBytes
                                                        : kStickBytes));
        QVERIFY(fault != "read-only" || m_mock.SetProperty("stick", "Block", "ReadOnly", true));
        QVERIFY(fault != "hard disk" || m_mock.SetProperty("stick", "Drive", "Removable", false));
        QVERIFY(m_mock.AddPartition("stick", 1, partition, "/media/user/STICK"));
        const char* busy = fault == "busy" ? "org.freedesktop.UDisks2.Error.DeviceBusy" : "";
        QVERIFY(m_mock.SetUnmountError(partition, busy, "target is busy"));
        QVERIFY(m_mock.SetCallError(
            "Create", fault == "format fails" ? "org.freedesktop.UDisks2.Error.Failed" : "",
            "no mkfs.vfat"));
        QVERIFY(m_mock.SetCallError("Format", fault == "format hangs" ? "hang" : "", "6"));
        const int diskCallsBefore = m_mock.DiskCalls().size();
        const int unmountsBefore = m_mock.UnmountCalls().size();
        QVERIFY(m_mock.SetDelay(fault == "away" ? 10 : fault == "hung" ? 4 : 0));
        // This process's writes to the stick at 3 MB/s (cgroup v1 blkio).
        const std::string group = "/sys/fs/cgroup/blkio/imagewriter-test";
        const std::string pid = std::to_string(getpid());
        auto unthrottle = qScopeGuard([&] {
            testsupport::WriteBytes("/sys/fs/cgroup/blkio/cgroup.procs", pid);
            rmdir(group.c_str());
        });
        struct stat st;
        if (image == "slow.img")
            QVERIFY(stat(m_stick.Path().c_str(), &st) == 0 && QDir().mkpath(group.c_str()) &&
                    testsupport::WriteBytes(group + "/blkio.throttle.write_bps_device",
                                            std::to_string(major(st.st_rdev)) + ":" +
                                                std::to_string(minor(st.st_rdev)) + " 1572864") &&
                    testsupport::WriteBytes(group + "/cgroup.procs", pid));
        QFile(NotifyLog()).resize(0);

        testsupport::CaptureFd out(1), err(2);
        ApplicationWindow app;
        Controller& controller = app.GetController();
        app.Window().show();
        auto* writeButton = app.Window().findChild<QPushButton*>("writeImageButton");
        auto* infoLine = app.Window().findChild<QLabel*>("writeImageInfo");
        Watcher watcher(infoLine, writeButton);
        controller.applicationDidFinishLaunching();
        QVERIFY(AnswerSheet("Continue"));
        QTRY_COMPARE_WITH_TIMEOUT(controller.operationMode(), int(ModeNoDevice), 20000);
        auto* list = app.Window().findChild<QComboBox*>("usbStickChooser");
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->itemData(1, Qt::ToolTipRole).toString(), "Acme " + model);
        const int width = app.Window().width();
        for (const auto& [disk, use] : {std::pair{&boot, "/boot"}, std::pair{&swap, "swap"}}) {
            QVERIFY(disk->Path().empty() ||
                    err.Text().find("disk " + disk->BsdName() + " holds the running system (" +
                                    use + "), not offered\n") != std::string::npos);
        }
        list->setCurrentIndex(1);
        emit list->activated(1);
        // A write-protected stick says so as soon as it is selected.
        const QString info = app.Window().findChild<QLabel*>("usbStickInfo")->text();
        QCOMPARE(info.endsWith("Write-protected: it can be neither written nor cleared."),
                 fault == "read-only");
        QVERIFY(!DropFiles(app.Window(), {imagePath, imagePath}));  // one image at a time
        QVERIFY(DropFiles(app.Window(), {imagePath}));
        auto* verify = app.Window().findChild<QCheckBox*>("verifyCheckBox");
        QVERIFY(verify->isChecked() && verify->isEnabled());
        verify->setChecked(fault != "no verify");
        auto* powerOff = app.Window().findChild<QCheckBox*>("powerOffCheckBox");
        QVERIFY(!powerOff->isChecked() && powerOff->isEnabled());
        powerOff->setChecked(fault.startsWith("power") ||
                             image == "big.iso");  // not after a failure
        const int powerOffs =
            m_mock.PowerOffs(fault == "power refused" ? "Not authorized" : "").size();
        QTest::qWait(100);  // the layout's turn
        QCOMPARE(app.Window().width(), width);

        // What the image holds is known before the user confirms.
        auto* imageLine = app.Window().findChild<QLabel*>("korvelImageInfo");
        QTRY_VERIFY(imageLine->toolTip().contains(QRegularExpression("once written|not be read")));
        if (fault == "gone") QVERIFY(m_mock.RemoveStick("stick"));
        if (fault == "swapped") QVERIFY(m_mock.SetProperty("stick", "Drive", "Serial", "SN-other"));
        auto* start =
            app.Window().findChild<QPushButton*>(button == write   ? "writeImageButton"
                                                 : button == clear ? "clearDeviceButton"
                                                                   : "everydayStickButton");
        QVERIFY(start->isEnabled());
        start->click();
        if (button == everyday) {  // the name, in lower case
            QInputDialog* name = nullptr;
            QTRY_VERIFY((name = app.Window().findChild<QInputDialog*>()) && name->isVisible());
            QCOMPARE(name->textValue(), "USB STICK");
            name->setTextValue("my stick");
            name->accept();
        }
        QString sheet;
        QVERIFY(AnswerSheet("Confirm", &sheet));
        // Only a disk that looks like a hard disk, an image that cannot start a
        // computer, and an everyday stick's name get more than the usual warning.
        const QMap<QString, QString> paragraphs{
            {"hard disk",
             "The selected disk, Acme Flash (476940 MB), looks like a hard disk rather than a USB "
             "stick. Make sure it holds nothing you need."},
            {"cd.iso",
             "This image is made for optical discs: it has neither the boot record nor the "
             "partition table a computer looks for on a stick, so a stick written with it will "
             "most likely not start a computer. It is written as it is only if you confirm."},
            {"big.iso",  // zeros
             "This image holds no partition table or file system the system recognises, so a "
             "stick written with it will most likely not start a computer, nor show files. It is "
             "written as it is only if you confirm."},
            {everyday,
             "The stick gets a new partition table with one FAT32 partition named “MY STICK”."}};
        QCOMPARE(sheet.section("\n\n", 1),
                 paragraphs.value(fault, paragraphs.value(image, paragraphs.value(button))));
        QCOMPARE(imageLine->toolTip().contains("made for optical discs"), image == "cd.iso");
        // The warning is read whole in the window, not only in the tooltip.
        QCOMPARE(imageLine->text().simplified().contains(
                     "a stick written with it will most likely not start a computer."),
                 image == "cd.iso");
        if (image == "disk.img.xz")
            QCOMPARE(imageLine->toolTip().section('\n', 1),
                     "GPT: vfat “EFI”, ext4 “rootfs” · 8 MB once written (stick: 32 MB)");
        if (image.endsWith(".iso") && image != "big.iso")
            QCOMPARE(imageLine->toolTip().section('\n', 1),
                     QString("ISO 9660 “LIVE” · %1%2 MB once written (stick: 32 MB)")
                             .arg(image == "hybrid.iso" ? "MBR · " : "")
                             .arg(imageBytes.size() >> 20) +
                         (image == "cd.iso" ? "\nThis image is made for optical discs: a stick "
                                              "written with it will most likely not start a "
                                              "computer."
                                            : ""));
        QWidget elsewhere;
        app.Window().activateWindow();  // where the user is, but for this row:
        if (fault == "away") {
            elsewhere.show();
            elsewhere.activateWindow();
            QTRY_VERIFY(!app.Window().isActiveWindow());
        }
        if (image == "slow.img") QTRY_COMPARE(Inhibitors(), 1);  // no sleep while it writes
        if (image == "slow.img" &&
            QTest::qWaitFor([&] { return infoLine->text().contains(":04)"); }))
            Shot(&app.Window(), QTest::currentDataTag() + QString(" writing"));
        if (fault == "cancel") {
            QTRY_VERIFY(watcher.m_infoTexts.last().contains(" %, "));
            writeButton->click();
        }
        if (fault == "format hangs") {  // its answer is not waited for
            QTRY_VERIFY(infoLine->text() == "Making an everyday stick\u2026");
            QTest::qWait(2000);  // the probe is done, the service asked
            writeButton->click();
        }
        if (fault == "hung") {  // the wait given up: the window is ready again at once
            QTRY_VERIFY(writeButton->text() == "Cancel" && writeButton->isEnabled());
            writeButton->click();
            QTRY_VERIFY_WITH_TIMEOUT(writeButton->text() == "Write Image" && start->isEnabled(),
                                     1000);
            QTRY_VERIFY_WITH_TIMEOUT(
                out.Text().find("answered after it was abandoned") != std::string::npos, 20000);
        }
        if (fault == "counterfeit" && image.isEmpty()) {  // the second sheet
            QString second;
            QVERIFY(AnswerSheet("Continue", &second));
            QCOMPARE(second,
                     "The stick claims 256 MB but holds only about 56 MB: it is counterfeit "
                     "or broken. The image (2 MB) fits in what it holds, so it can still "
                     "be written, but the rest of the stick cannot be used. Continue "
                     "writes the image; Cancel stops.");
        }
        if (fault == "stalls") {  // nothing moves for 30 s; a cancel it does not take
            QTRY_VERIFY_WITH_TIMEOUT(infoLine->text().contains("The stick is not answering"),
                                     45000);
            writeButton->click();
        }
        QTRY_COMPARE_WITH_TIMEOUT(watcher.m_messages.size(), message.isEmpty() ? 0 : 1, 60000);
        message.replace("%1", partition);
        // Where a dying stick stops depends on the order its writes arrive in:
        // past the first MiB, which goes last, and before it died.
        const QString pattern =
            QRegularExpression::escape(message).replace(QRegularExpression::escape("%2"), "(\\d+)");
        const auto at = QRegularExpression(QRegularExpression::anchoredPattern(pattern))
                            .match(watcher.m_messages.value(0));
        QVERIFY2(at.hasMatch(), qPrintable(watcher.m_messages.value(0)));
        QVERIFY(!message.contains("%2") ||
                (at.captured(1).toLongLong() >= 1 << 20 && at.captured(1).toLongLong() < 12 << 20));
        message.replace("%2", at.captured(1));
        // Behind the box, the outcome or the reason, and no "Cancel".
        const QString outcome = button == clear        ? "Cleared"
                                : button == everyday   ? "Everyday stick made"
                                : fault == "no verify" ? "Written"
                                                       : "Written and verified";
        const QString behind = message.contains(QRegularExpression("successfully|now an everyday"))
                                   ? outcome
                                   : message.section("\n\n", -1);
        QCOMPARE(watcher.m_behind.value(0), message.isEmpty() ? "" : behind + "|Write Image");
        QVERIFY(watcher.m_infoTexts.contains(QStringLiteral("Unmounting the stick\u2026")));
        // Nothing is forced off the stick: a busy stick keeps its mount.
        const QStringList unmounts = m_mock.UnmountCalls().mid(unmountsBefore);
        // Refused before the unmount: a bad image, a stick that may not be touched.
        const bool unmounted =
            !QStringList{"fifo.gz",  "big.iso", "gone",        "swapped",  "read-only",
                         "on stick", "sha bad", "misnamed.xz", "empty.img"}
                 .contains(image.isEmpty() ? fault : image);
        QCOMPARE(unmounts, unmounted ? QStringList{partition + " force=false"} : QStringList());
        QVERIFY(!image.endsWith(".img") || watcher.m_infoTexts.filter("Decompressing").isEmpty());
        // At a steady speed the time left never rises by more than 3 s above
        // its lowest.
        QStringList left;
        QTime lowest(23, 59);
        for (const QString& text : watcher.m_infoTexts) {
            const auto match = QRegularExpression("\\d+:\\d\\d left").match(text);
            if (!match.hasMatch()) continue;
            left << match.captured(0);
            const QTime now = QTime::fromString(left.last(), "m:ss left");
            QVERIFY2(now <= lowest.addSecs(3), qPrintable(left.join(", ")));
            lowest = std::min(lowest, now);
        }
        QVERIFY(image != "slow.img" || fault == "cancel" || left.size() > 10);
        if (!left.isEmpty() && qEnvironmentVariableIsSet("SCREENSHOTS")) qInfo() << left;
        QTRY_VERIFY(start->isEnabled());
        QVERIFY(!controller.operationInProgress());
        QTRY_COMPARE(Inhibitors(), 0);
        QCOMPARE(m_mock.PowerOffs().size() - powerOffs, fault.startsWith("power") ? 1 : 0);
        const QMap<QString, QString> checks{
            {"sha256sums", "SHA-256 matches SHA256SUMS"},
            {"sha bsd", "SHA-256 matches image.gz.sha256"},
            {"sha garbage", "SHA256SUMS cannot be used to check the image"},
            {"sha bad", "SHA-256 does not match SHA256SUMS!"}};
        QCOMPARE(imageLine->toolTip().split('\n').filter("SHA").join('|'), checks.value(fault));
        // A cleared stick is read again by the disk service; an everyday stick
        // is made by it, named as the user saw it.
        if (fault == "format hangs")  // the service goes on with the table, then the file system
            QTRY_COMPARE_WITH_TIMEOUT(m_mock.DiskCalls().size(), diskCallsBefore + 2, 20000);
        const QStringList calls = m_mock.DiskCalls().mid(diskCallsBefore);
        const QString stickName = QString::fromStdString(stickNode);
        QCOMPARE(calls.join('|'),
                 button == clear && stick == "zeros" ? "Rescan " + stickName + " {}"
                 : button == everyday
                     ? "Format " + stickName + " dos {}" + "|Create " + stickName +
                           " 0 0 0x0c '' {} vfat {label=MY STICK, take-ownership=true}"
                     : "");
        QFile log(NotifyLog());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray notified = log.readAll();
        QCOMPARE(notified.contains("Notify"), fault == "away");
        QVERIFY(notified.isEmpty() || notified.contains(message.toUtf8()));
        const char* answer = fault == "busy"   ? "Unmount failed!\n"
                             : fault == "hung" ? "after it was abandoned"
                                               : "Unmount finished!\n";
        QVERIFY(!unmounted || out.Text().find(answer) != std::string::npos);

        if (fault == "stalls") {  // another stick meanwhile, then Quit at once
            QVERIFY(m_mock.AddStick("other", QByteArray::fromStdString(m_stick.Path()), "Acme",
                                    "Other", kStickBytes));
            auto removeOther = qScopeGuard([&] { m_mock.RemoveStick("other"); });
            app.Window().findChild<QPushButton*>("refreshButton")->click();
            QTRY_COMPARE_WITH_TIMEOUT(list->count(), 3, 20000);
            list->setCurrentIndex(2);
            emit list->activated(2);
            start->click();
            QVERIFY(AnswerSheet("Confirm"));
            QTRY_COMPARE_WITH_TIMEOUT(watcher.m_messages.size(), 2, 60000);
            QCOMPARE(watcher.m_messages.value(1), "Image successfully written!");
            QVERIFY(testsupport::ReadBytes(m_stick.Path(), imageBytes.size()) == imageBytes);
            // Quit: its teardown must not wait for the stuck job (the event
            // loop's end is left out: it would end the loops of later rows).
            controller.applicationWillTerminate();
            QVERIFY(controller.hasTerminated());
        }
        const std::string now = testsupport::ReadBytes(flash, kStickBytes);
        std::string expected = before;
        if (stick == "image") {  // the stick's first MiB was zeroed before the image came
            expected.replace(0, 1 << 20, std::string(1 << 20, '\0'));
            expected.replace(0, imageBytes.size(), imageBytes);
        }
        if (stick == "zeros") expected.replace(0, 1024, std::string(1024, '\0'));
        if (stick == "partial") expected.replace(0, imageBytes.size(), imageBytes);
        QVERIFY2((now == expected) == (stick != "partial"),
                 "the stick does not hold what it should");
        QVERIFY2(
            !QFile::exists(QString::fromStdString(controller.tempDirectory()) + kTempImageName),
            "temporary image left behind");
    }
    // The window speaks the user's language, German here; LANGUAGE=C keeps it
    // English. Each in a process of its own: the language is read at start.
    void translations_data() {
        QTest::addColumn<QString>("language");  // LANGUAGE, beside LANG=de_DE.UTF-8
        QTest::addColumn<QString>("shown");     // the write button | the image line
        QTest::newRow("German") << ""
                                << "Abbild schreiben|Keine Abbilddatei gewählt!";
        QTest::newRow("LANGUAGE=C") << "C"
                                    << "Write Image|No image file selected!";
    }
    void translations() {
        QFETCH(QString, shown);
        if (qEnvironmentVariableIsSet("TEST_SHOWN")) {  // the process of its own
            InstallTranslations(*QCoreApplication::instance());
            ApplicationWindow app;
            app.Window().show();
            Shot(&app.Window(), QTest::currentDataTag());
            QCOMPARE(app.Window().findChild<QPushButton*>("writeImageButton")->text() + "|" +
                         app.Window().findChild<QLabel*>("korvelImageInfo")->text(),
                     shown);
            return;
        }
        QFETCH(QString, language);
        QProcess self;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LANG", "de_DE.UTF-8");
        env.insert("LANGUAGE", language);
        env.insert("TEST_SHOWN", shown);
        self.setProcessEnvironment(env);
        self.setProcessChannelMode(QProcess::ForwardedChannels);
        self.start(QCoreApplication::applicationFilePath(),
                   {QStringLiteral("translations:") + QTest::currentDataTag()});
        QVERIFY(self.waitForFinished(60000));
        QCOMPARE(self.exitCode(), 0);
    }

    // The program on its own, on a machine without a disk service: it comes
    // up, and a termination signal ends it through its own teardown.
    void programEndsCleanlyOnSignals_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void programEndsCleanlyOnSignals() {
        QFETCH(int, signal);
        QTemporaryDir tmp;
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmp.path());
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + tmp.filePath("no-bus"));
        program.setProcessEnvironment(env);
        program.start(APP_BINARY, {});
        const QDir dir(tmp.path());
        const QStringList filter{"usb-image-writer.*"};
        QVERIFY(
            QTest::qWaitFor([&] { return !dir.entryList(filter, QDir::Dirs).isEmpty(); }, 20000));
        QTest::qWait(500);  // let it reach its event loop
        QCOMPARE(::kill(static_cast<pid_t>(program.processId()), signal), 0);
        QVERIFY2(program.waitForFinished(20000), "the program did not end");
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY2(dir.entryList(filter, QDir::Dirs).isEmpty(), "temporary directory left behind");
    }
};

QTEST_MAIN(AppTest)
#include "test_app.moc"
