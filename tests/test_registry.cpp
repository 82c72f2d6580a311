// The device registry on the in-process disk service: the disks it lists, how
// hostile descriptions show, rescans, the re-check before unmount.

#include <QtTest>

#include "StorageDeviceHandler.h"

using platform::DiskDescription;

namespace {

// The disk service in-process: the test adds and removes disks.
class FakeDiskService final : public platform::DiskService {
  public:
    static DiskDescription UsbDisk(std::string name, std::uint64_t size, std::string model) {
        return {"USB", true, name, size, std::move(model), "serial of " + name};
    }
    void AddDisk(const std::string& bsdName, const DiskDescription& d) { SetDisk(bsdName, d); }
    using DiskService::RemoveAllDisks;
    using DiskService::RemoveDisk;
    bool UnmountWholeDisk(const std::string&, platform::UnmountDone) override { return false; }
    // Its disks are none of the kernel's.
    KernelState KernelStateOf(const std::string&) const override { return {}; }
};

void Scan(StorageDeviceHandler& handler) {
    handler.AddToRunLoop();
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    handler.RemoveFromRunLoop();
    handler.UpdateDeviceList();
}

std::string Names(const StorageDeviceHandler& handler) {
    std::string names;
    for (const auto& entry : handler.GetDeviceList()) names += std::string(entry->bsdName) + " ";
    return names;
}

}  // namespace

class RegistryTest : public QObject {
    Q_OBJECT
    FakeDiskService m_service;

  private slots:
    void initTestCase() {
        InitDeviceHandling();
        platform::InstallDiskService(&m_service);
    }
    void cleanupTestCase() {
        platform::InstallDiskService(nullptr);
        FinalizeDeviceHandling();
    }
    void cleanup() { m_service.RemoveAllDisks(); }

    // One disk as the service describes it; what the window's list and info
    // text show of it ("" = not listed).
    void listing_data() {
        QTest::addColumn<QByteArray>("bsd");
        QTest::addColumn<QByteArray>("protocol");  // "-": absent
        QTest::addColumn<int>("whole");            // -1: absent
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<QString>("listed");
        QTest::addColumn<QString>("info");
        const QString usb = QStringLiteral("\nUSB device\nSize:  15258MB\n");
        auto row = [&](const char* tag, QByteArray bsd, QByteArray protocol, int whole,
                       QByteArray name, QByteArray model, QString listed, QString info) {
            QTest::newRow(tag) << bsd << protocol << whole << name << model << listed << info;
        };
        row("usb stick", "sdb", "USB", 1, "Kingston DT", "DT 3.0", "Kingston DT", "DT 3.0" + usb);
        row("internal disk", "sda", "ata", 1, "WDC", "WDC", "", "");
        row("partition", "sdb1", "USB", 0, "K", "K", "", "");
        row("no whole flag", "sdb", "USB", -1, "K", "K", "", "");
        row("no protocol", "sdb", "-", 1, "K", "K", "", "");
        row("name with a slash", "sdb/../sda", "USB", 1, "K", "K", "", "");
        row("overlong name", QByteArray(300, 'b'), "USB", 1, "K", "K", "", "");
        row("line separator forges a size line", "sdb", "USB", 1, "K\u2029Size: 1MB",
            "M\u2028Size:  99999MB", "K Size: 1MB", "M Size:  99999MB" + usb);
        row("bidi overrides", "sdb", "USB", 1, "Evil\u202Egnp.exe\u2066", "a\u200Fb",
            "Evil gnp.exe ", "a b" + usb);
        row("ASCII and C1 controls, a NUL", "sdb", "USB", 1, QByteArray("a\nb\0c", 5), "x\r\u0085y",
            "a b c", "x  y" + usb);
        row("format control outside the BMP", "sdb", "USB", 1, "a\U000E0001b", "m", "a b",
            "m" + usb);
        row("invalid UTF-8", "sdb", "USB", 1, "\xff\xfe", "\xc3", "\uFFFD\uFFFD", "\uFFFD" + usb);
        // Cut at a character boundary; the device line and the size line stay whole.
        const QByteArray wide = QString(200, QChar(0xe9)).toUtf8();
        row("overlong texts", "sdb", "USB", 1, wide, wide, QString(127, QChar(0xe9)),
            QString(113, QChar(0xe9)) + usb);
    }
    void listing() {
        QFETCH(QByteArray, bsd);
        QFETCH(QByteArray, protocol);
        QFETCH(int, whole);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, model);
        DiskDescription d =
            FakeDiskService::UsbDisk(name.toStdString(), 16000000000, model.toStdString());
        d.deviceProtocol = protocol == "-" ? std::nullopt : std::optional(protocol.toStdString());
        d.mediaWhole = whole < 0 ? std::nullopt : std::optional(whole == 1);
        m_service.AddDisk(bsd.toStdString(), d);

        StorageDeviceHandler handler;
        Scan(handler);
        QFETCH(QString, listed);
        QFETCH(QString, info);
        if (listed.isEmpty()) {
            QCOMPARE(handler.GetDeviceList().size(), std::size_t(0));
            return;
        }
        QCOMPARE(handler.GetDeviceList().size(), std::size_t(1));
        QCOMPARE(QString::fromUtf8(handler.GetDeviceList()[0]->mediaName), listed);
        QCOMPARE(QString::fromUtf8(handler.GetDeviceList()[0]->infoText), info);
    }

    // Changes between scans reach the list at the next scan; the re-check
    // before unmount wants the very disk that was listed.
    void rescansAndRecheck() {
        StorageDeviceHandler handler;
        m_service.AddDisk("sdc", FakeDiskService::UsbDisk("C", 8000000000, "c"));
        m_service.AddDisk("sdb", FakeDiskService::UsbDisk("B", 16000000000, "b"));
        Scan(handler);
        QCOMPARE(Names(handler), std::string("sdc sdb "));
        QVERIFY(handler.HasDeviceListChanged());
        const deviceEntryStruct listed = *handler.GetDeviceList()[1];
        QVERIFY(CheckConfirmedDevice(listed) == ConfirmedDevice::Same);

        m_service.RemoveDisk("sdc");
        handler.UpdateDeviceList();
        QCOMPARE(Names(handler), std::string("sdc sdb "));  // not scanning: kept
        m_service.AddDisk("sdb", FakeDiskService::UsbDisk("B", 32000000000, "b"));
        // Another stick under the same name.
        QVERIFY(CheckConfirmedDevice(listed) == ConfirmedDevice::Gone);
        m_service.AddDisk("sdb", FakeDiskService::UsbDisk("B", 16000000000, "other"));
        QVERIFY(CheckConfirmedDevice(listed) == ConfirmedDevice::Gone);
        Scan(handler);
        QCOMPARE(Names(handler), std::string("sdb "));
        QCOMPARE(QByteArray(handler.GetDeviceList()[0]->infoText).left(6), QByteArray("other\n"));
        m_service.RemoveDisk("sdb");
        QVERIFY(CheckConfirmedDevice(listed) == ConfirmedDevice::Gone);

        // A handler that goes while its scan runs leaves nothing behind.
        m_service.AddDisk("sdd", FakeDiskService::UsbDisk("D", 1, "d"));
        auto scanning = std::make_unique<StorageDeviceHandler>();
        scanning->AddToRunLoop();
        scanning.reset();
        QCoreApplication::processEvents();
    }
};

QTEST_GUILESS_MAIN(RegistryTest)
#include "test_registry.moc"
