#pragma once
// UDisks2 for the tests: a private dbus-daemon with python-dbusmock serving
// tests/support/udisks2_mock.py on it. Start() points DBUS_SYSTEM_BUS_ADDRESS
// of this process at that bus, so the backend made afterwards talks to it.
//
// Threads: the thread that made it; control calls block it briefly.
// Ownership: owns both processes; they also end when the test process dies.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

namespace testsupport {

class MockUDisks {
  public:
    MockUDisks();
    ~MockUDisks();
    MockUDisks(const MockUDisks&) = delete;
    MockUDisks& operator=(const MockUDisks&) = delete;

    bool Start(QString* why);
    // A USB stick: a drive and a whole-disk block whose Device is `device`
    // (e.g. "/dev/loop3"); `id` names the drive object.
    bool AddStick(const QString& id, const QByteArray& device, const QString& vendor,
                  const QString& model, quint64 size, const QString& connectionBus = "usb");
    // A partition with a file system, mounted when mountPoint is not empty.
    bool AddPartition(const QString& stickId, int number, const QByteArray& device,
                      const QByteArray& mountPoint);
    bool RemoveStick(const QString& id);  // partitions, disk, drive
    // An invalid value removes the property and sends it as invalidated.
    bool SetDriveProperty(const QString& id, const QString& name, const QVariant& value);
    bool FailNextLoads(int count);
    bool SetUnmountError(const QByteArray& device, const QString& errorName,
                         const QString& message);
    QStringList UnmountCalls();  // "DEVICE force=true|false" per Filesystem.Unmount
    // The service leaves the bus and comes back with the same objects.
    bool StopService();
    bool StartService();

  private:
    bool Call(const QString& method, const QVariantList& args, QVariant* result = nullptr);

    std::unique_ptr<QProcess> m_bus;
    std::unique_ptr<QProcess> m_mock;
    QString m_connectionName;
    QString m_address;
    QString m_mockOwner;  // its unique name, which stays while the service is away
};

}  // namespace testsupport
