// The device registry, its snapshots and the unmount service, on the
// in-process fake disk service.

#include <QtTest>
#include <cstring>
#include <string>

#include "StorageDeviceHandler.h"
#include "support/CaptureFd.h"
#include "support/FakeDiskService.h"

using platform::DiskDescription;
using testsupport::CaptureFd;
using testsupport::FakeDiskService;

namespace {

void Drain() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

// One scan as the controller makes it.
void Scan(StorageDeviceHandler& handler) {
    handler.AddToRunLoop();
    Drain();
    handler.RemoveFromRunLoop();
    handler.UpdateDeviceList();
}

std::string Names(const DeviceList& list) {
    std::string names;
    for (const auto& entry : list) names += std::string(entry->bsdName) + " ";
    return names;
}

DiskDescription Partition(std::uint64_t size) {
    DiskDescription d = FakeDiskService::UsbDisk("", size, "");
    d.mediaWhole = false;
    return d;
}

// Fields stay NUL-terminated within 255 bytes and hold valid UTF-8.
bool SoundField(const char (&field)[255]) {
    const void* nul = std::memchr(field, '\0', sizeof field);
    if (!nul) return false;
    const QByteArray bytes(field);
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

int g_unmountCalls = 0;
bool g_unmountResult = false;
void CountUnmount(bool ok) {
    ++g_unmountCalls;
    g_unmountResult = ok;
}

int g_chainedCalls = 0;
void ChainAnotherUnmount(bool) {
    // The request's session is gone by now: a new request may start at once.
    if (g_chainedCalls++ == 0)
        StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", ChainAnotherUnmount);
}

}  // namespace

class DeviceRegistryTest : public QObject {
    Q_OBJECT
    std::unique_ptr<FakeDiskService> m_service;

  private slots:
    void initTestCase() { InitDeviceHandling(); }
    void cleanupTestCase() { FinalizeDeviceHandling(); }
    void init() {
        m_service = std::make_unique<FakeDiskService>();
        platform::InstallDiskService(m_service.get());
        g_unmountCalls = 0;
        g_chainedCalls = 0;
    }
    void cleanup() {
        Drain();
        platform::InstallDiskService(nullptr);
        m_service.reset();
    }

    void registersUsbWholeDisksInOrderOnce() {
        m_service->AddDisk("sdc", FakeDiskService::UsbDisk("SanDisk Cruzer", 8000000000, "Cruzer"));
        m_service->AddDisk("sda", [] {  // internal disk
            auto d = FakeDiskService::UsbDisk("ATA disk", 500000000000, "WDC");
            d.deviceProtocol = "ata";
            return d;
        }());
        m_service->AddDisk("sdd", [] {  // letter case counts
            auto d = FakeDiskService::UsbDisk("x", 1, "x");
            d.deviceProtocol = "usb";
            return d;
        }());
        m_service->AddDisk("sdc1", Partition(7000000000));
        m_service->AddDisk("sdb", FakeDiskService::UsbDisk("Kingston DT", 16000000000, "DT 3.0"));
        m_service->AddDisk("sde", [] {  // no whole flag
            auto d = FakeDiskService::UsbDisk("y", 1, "y");
            d.mediaWhole.reset();
            return d;
        }());

        StorageDeviceHandler handler;
        QVERIFY(!handler.HasDeviceListChanged());
        QVERIFY(handler.GetDeviceList().empty());
        CaptureFd err(2);
        Scan(handler);
        QCOMPARE(err.Text(), std::string("disk sdc found\npartition /dev/sdc1 is mounted\n"
                                         "disk sdb found\n"));
        QCOMPARE(Names(handler.GetDeviceList()), std::string("sdc sdb "));
        QVERIFY(handler.HasDeviceListChanged());

        const deviceEntryStruct& sdc = *handler.GetDeviceList()[0];
        QCOMPARE(QByteArray(sdc.mediaName), QByteArray("SanDisk Cruzer"));
        QCOMPARE(QByteArray(sdc.infoText), QByteArray("Cruzer\nUSB device\nSize:   7629MB\n"));
        QCOMPARE(sdc.mediaSize, quint64(8000000000));
        QCOMPARE(sdc.partitionMask, quint16(0x0001));

        // Reported again: one more line, the same single entry, no new probe.
        m_service->AddDisk("sdb1", Partition(100));
        storageDeviceFound({"sdb", m_service->Describe("sdb")}, nullptr);
        storageDeviceLost({"sda", m_service->Describe("sda")}, nullptr);  // not USB: silent
        storageDeviceLost({"sdz", FakeDiskService::UsbDisk("z", 1, "z")}, nullptr);  // unknown
        handler.UpdateDeviceList();
        QCOMPARE(Names(handler.GetDeviceList()), std::string("sdc sdb "));
        QCOMPARE(handler.GetDeviceList()[1]->partitionMask, quint16(0));
        QVERIFY(!handler.HasDeviceListChanged());
        err.Restore();
        QCOMPARE(err.Text(), std::string("disk sdc found\npartition /dev/sdc1 is mounted\n"
                                         "disk sdb found\ndisk sdb found\ndisk sdz lost\n"));
    }

    void probesPartitionsOneToFifteen() {
        m_service->AddDisk("sdb", FakeDiskService::UsbDisk("Stick", 1 << 30, "S"));
        for (const char* part : {"sdb3", "sdb1", "sdb16", "sdb0"})
            m_service->AddDisk(part, Partition(1));
        m_service->AddDisk("mmcblk0", FakeDiskService::UsbDisk("Card", 1 << 30, "C"));
        m_service->AddDisk("mmcblk0p2", Partition(1));
        m_service->AddDisk("mmcblk02", Partition(1));  // not a partition name of mmcblk0
        m_service->AddDisk("sdc", FakeDiskService::UsbDisk("Full", 1 << 30, "F"));
        for (int k = 1; k <= 16; ++k) m_service->AddDisk("sdc" + std::to_string(k), Partition(1));

        StorageDeviceHandler handler;
        CaptureFd err(2);
        Scan(handler);
        const std::string text = err.Text();
        QVERIFY(text.find("disk sdb found\npartition /dev/sdb1 is mounted\n"
                          "partition /dev/sdb3 is mounted\ndisk mmcblk0 found\n"
                          "partition /dev/mmcblk0p2 is mounted\ndisk sdc found\n") == 0);
        QVERIFY(text.find("sdc15 is mounted\n") != std::string::npos);
        QVERIFY(text.find("sdc16") == std::string::npos);
        QCOMPARE(handler.GetDeviceList()[0]->partitionMask, quint16(0x0005));
        QCOMPARE(handler.GetDeviceList()[1]->partitionMask, quint16(0x0002));
        QCOMPARE(handler.GetDeviceList()[2]->partitionMask, quint16(0x7fff));
    }

    void snapshotsAndTheChangeFlag() {
        m_service->AddDisk("sdb", FakeDiskService::UsbDisk("B", 1 << 30, "b"));
        m_service->AddDisk("sdc", FakeDiskService::UsbDisk("C", 2 << 30, "c"));
        StorageDeviceHandler handler;
        CaptureFd err(2);
        Scan(handler);
        QCOMPARE(Names(handler.GetDeviceList()), std::string("sdb sdc "));
        QVERIFY(handler.HasDeviceListChanged());
        const deviceEntryStruct* oldCopy = handler.GetDeviceList()[0].get();
        const deviceEntryStruct before = *oldCopy;

        // Removed while discovery is off: the registry keeps it until the next scan.
        m_service->RemoveDisk("sdb");
        Drain();
        handler.UpdateDeviceList();
        QCOMPARE(Names(handler.GetDeviceList()), std::string("sdb sdc "));
        QVERIFY(!handler.HasDeviceListChanged());
        const deviceEntryStruct* keptCopy = handler.GetDeviceList()[0].get();

        handler.AddToRunLoop();
        Drain();
        handler.RemoveFromRunLoop();
        QVERIFY(err.Text().find("disk sdb lost\n") != std::string::npos);
        // The registry entry is freed; the snapshot copy is untouched.
        QCOMPARE(Names(handler.GetDeviceList()), std::string("sdb sdc "));
        QVERIFY(std::memcmp(keptCopy, &before, sizeof before) == 0);
        handler.UpdateDeviceList();
        QCOMPARE(Names(handler.GetDeviceList()), std::string("sdc "));
        QVERIFY(handler.HasDeviceListChanged());

        // One stick replaced by another: the count is the same, so no change.
        m_service->RemoveDisk("sdc");
        m_service->AddDisk("sdd", FakeDiskService::UsbDisk("D", 3 << 30, "d"));
        Scan(handler);
        QCOMPARE(Names(handler.GetDeviceList()), std::string("sdd "));
        QVERIFY(!handler.HasDeviceListChanged());
        // A copy the caller made outlives every snapshot.
        const deviceEntryStruct callerCopy = *handler.GetDeviceList()[0];
        m_service->RemoveDisk("sdd");
        Scan(handler);
        QVERIFY(handler.GetDeviceList().empty());
        QCOMPARE(QByteArray(callerCopy.bsdName), QByteArray("sdd"));
    }

    void twoHandlersAndTeardown() {
        m_service->AddDisk("sdb", FakeDiskService::UsbDisk("B", 1 << 30, "b"));
        CaptureFd err(2);
        auto first = std::make_unique<StorageDeviceHandler>();
        {
            StorageDeviceHandler second;
            second.AddToRunLoop();  // two alive: does nothing
            first->AddToRunLoop();
            Drain();
            first->UpdateDeviceList();
            QVERIFY(first->GetDeviceList().empty());
            QCOMPARE(err.Text(), std::string());
        }
        Scan(*first);
        QCOMPARE(Names(first->GetDeviceList()), std::string("sdb "));

        // The last handler goes while discovery runs: the session is stopped
        // and released, the registry freed.
        first->AddToRunLoop();
        first.reset();
        QVERIFY(!DeviceExists("/dev/sdb"));  // no session without a handler
        m_service->AddDisk("sdc", FakeDiskService::UsbDisk("C", 2 << 30, "c"));
        Drain();
        QCOMPARE(err.Text(), std::string("disk sdb found\n"));

        // A new handler starts from an empty registry and a new session.
        StorageDeviceHandler fresh;
        fresh.UpdateDeviceList();
        QVERIFY(fresh.GetDeviceList().empty());
        QVERIFY(DeviceExists("/dev/sdb"));
        QVERIFY(!DeviceExists("/dev/sdx"));
        QVERIFY(!DeviceExists("sdb"));
        Scan(fresh);
        QCOMPARE(Names(fresh.GetDeviceList()), std::string("sdb sdc "));
    }

    void sizeLines_data() {
        QTest::addColumn<quint64>("size");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("zero") << quint64(0) << QByteArray("Size:      0MB\n");
        QTest::newRow("just under 1 MiB") << quint64(1048575) << QByteArray("Size:      0MB\n");
        QTest::newRow("1e9") << quint64(1000000000) << QByteArray("Size:    953MB\n");
        QTest::newRow("4 GiB") << quint64(4294967296) << QByteArray("Size:   4096MB\n");
        QTest::newRow("16e9") << quint64(16000000000) << QByteArray("Size:  15258MB\n");
        QTest::newRow("1,000,000 MiB") << quint64(1048576000000) << QByteArray("Size: 1000000MB\n");
        QTest::newRow("max") << quint64(UINT64_MAX) << QByteArray("Size: 17592186044415MB\n");
    }
    void sizeLines() {
        QFETCH(quint64, size);
        QFETCH(QByteArray, line);
        m_service->AddDisk("sdb", FakeDiskService::UsbDisk("Name", size, "Model X"));
        StorageDeviceHandler handler;
        CaptureFd err(2);
        Scan(handler);
        QCOMPARE(handler.GetDeviceList().size(), std::size_t(1));
        const deviceEntryStruct& entry = *handler.GetDeviceList()[0];
        QCOMPARE(entry.mediaSize, size);
        QCOMPARE(QByteArray(entry.infoText), "Model X\nUSB device\n" + line);
    }

    void hostileDescriptions() {
        const std::string longName(300, 'N');
        std::string wideName;  // 2-byte characters across the field's end
        for (int i = 0; i < 200; ++i) wideName += "\xc3\xa9";
        const std::string longModel(400, 'M');
        m_service->AddDisk("sdb", FakeDiskService::UsbDisk(longName, 1 << 30, longModel));
        m_service->AddDisk("sdc", FakeDiskService::UsbDisk(wideName, 0, wideName));
        m_service->AddDisk("sdd", FakeDiskService::UsbDisk("bad\xff\xfe utf", 1 << 20,
                                                           std::string("two\nlines\0x", 11)));
        DiskDescription bare;  // only what makes it a USB whole disk
        bare.deviceProtocol = "USB";
        bare.mediaWhole = true;
        m_service->AddDisk("sde", bare);
        m_service->AddDisk(std::string(300, 'z'), FakeDiskService::UsbDisk("long bsd", 1, "m"));
        m_service->AddDisk("a/b", FakeDiskService::UsbDisk("slash", 1, "m"));
        m_service->AddDisk("sd\nx", FakeDiskService::UsbDisk("line break", 1, "m"));

        StorageDeviceHandler handler;
        CaptureFd err(2);
        Scan(handler);
        // A BSD name that cannot be used whole is not shortened into another disk's.
        QCOMPARE(Names(handler.GetDeviceList()), std::string("sdb sdc sdd sde "));
        QCOMPARE(err.Text(), std::string("disk sdb found\ndisk sdc found\ndisk sdd found\n"
                                         "disk sde found\n"));
        for (const auto& entry : handler.GetDeviceList()) {
            QVERIFY(SoundField(entry->mediaName));
            QVERIFY(SoundField(entry->bsdName));
            QVERIFY(SoundField(entry->infoText));
        }
        const auto& list = handler.GetDeviceList();
        QCOMPARE(QByteArray(list[0]->mediaName), QByteArray(254, 'N'));
        QCOMPARE(QByteArray(list[0]->infoText),
                 QByteArray(254 - 27, 'M') + "\nUSB device\nSize:   1024MB\n");
        // Cut at a character boundary: 127 whole characters.
        QCOMPARE(QByteArray(list[1]->mediaName),
                 QByteArray::fromStdString(wideName.substr(0, 254)));
        QCOMPARE(QByteArray(list[1]->infoText), QByteArray::fromStdString(wideName.substr(0, 226)) +
                                                    "\nUSB device\nSize:      0MB\n");
        QCOMPARE(QString::fromUtf8(list[2]->mediaName), QString::fromUtf8("bad\ufffd\ufffd utf"));
        QCOMPARE(QByteArray(list[2]->infoText),
                 QByteArray("two lines x\nUSB device\nSize:      1MB\n"));
        QCOMPARE(QByteArray(list[3]->mediaName), QByteArray());
        QCOMPARE(QByteArray(list[3]->infoText), QByteArray("\nUSB device\nSize:      0MB\n"));

        // Disks without a description are ignored by both callbacks.
        storageDeviceFound({"sdq", std::nullopt}, nullptr);
        storageDeviceLost({"sdb", std::nullopt}, nullptr);
        handler.UpdateDeviceList();
        QCOMPARE(Names(handler.GetDeviceList()), std::string("sdb sdc sdd sde "));
    }

    void stillPresentMeansSameDisk() {
        m_service->AddDisk("sdb", FakeDiskService::UsbDisk(std::string(300, 'N'), 16000000000,
                                                           std::string(300, 'M')));
        StorageDeviceHandler handler;
        CaptureFd err(2);
        Scan(handler);
        const deviceEntryStruct selected = *handler.GetDeviceList()[0];
        QVERIFY(DeviceStillPresent(selected));

        auto d =
            FakeDiskService::UsbDisk(std::string(300, 'N'), 16000000000, std::string(300, 'M'));
        d.mediaSize = 32000000000;  // another stick under the same name
        m_service->AddDisk("sdb", d);
        QVERIFY(!DeviceStillPresent(selected));
        d.mediaSize = 16000000000;
        d.deviceModel = "Other";
        m_service->AddDisk("sdb", d);
        QVERIFY(!DeviceStillPresent(selected));
        d.deviceModel = std::string(300, 'M');
        d.deviceProtocol = "ata";
        m_service->AddDisk("sdb", d);
        QVERIFY(!DeviceStillPresent(selected));
        d.deviceProtocol = "USB";
        m_service->AddDisk("sdb", d);
        QVERIFY(DeviceStillPresent(selected));
        m_service->RemoveDisk("sdb");
        QVERIFY(!DeviceStillPresent(selected));

        deviceEntryStruct garbage;
        std::memset(&garbage, 'x', sizeof garbage);  // no NUL anywhere
        QVERIFY(!DeviceStillPresent(garbage));
    }

    void unmountReportsOnceOnTheMainLoop() {
        m_service->AddDisk("sdb", FakeDiskService::UsbDisk("B", 1, "b"));
        m_service->AddDisk("sdc", FakeDiskService::UsbDisk("C", 1, "c"));
        CaptureFd out(1);

        // No handler is needed; unknown disks are refused without a callback.
        QVERIFY(!StorageDeviceHandler::UnMountBSDDevice("/dev/sdx", CountUnmount));
        QVERIFY(!StorageDeviceHandler::UnMountBSDDevice("sdb", CountUnmount));
        QVERIFY(!StorageDeviceHandler::UnMountBSDDevice(nullptr, CountUnmount));
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", CountUnmount));
        QCOMPARE(g_unmountCalls, 0);  // never from inside the request
        Drain();
        QCOMPARE(g_unmountCalls, 1);
        QVERIFY(g_unmountResult);
        QCOMPARE(out.Text(), std::string("successfully unmounted\n"));

        // Refused: false, and no success line.
        m_service->unmountSucceeds = false;
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdc", CountUnmount));
        Drain();
        QCOMPARE(g_unmountCalls, 2);
        QVERIFY(!g_unmountResult);
        QCOMPARE(out.Text(), std::string("successfully unmounted\n"));

        // Two outstanding requests complete independently, each once.
        m_service->unmountSucceeds = true;
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", CountUnmount));
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdc", CountUnmount));
        Drain();
        QCOMPARE(g_unmountCalls, 4);

        // A callback may start the next request at once.
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", ChainAnotherUnmount));
        Drain();
        QCOMPARE(g_chainedCalls, 2);
        QCOMPARE(m_service->unmountRequests,
                 (std::vector<std::string>{"sdb", "sdc", "sdb", "sdc", "sdb", "sdb"}));
    }
};

QTEST_GUILESS_MAIN(DeviceRegistryTest)
#include "test_device_registry.moc"
