#pragma once
// Drives tests/support/fake_udisks.py from a C++ test: starts a private
// dbus-daemon and the fake UDisks2 service on it, sends the fake's control
// calls, and tears both down. The bus address is exported to the code under
// test as DBUS_SYSTEM_BUS_ADDRESS (ExportAsSystemBus).
//
// Threads: the thread that made it (control calls block it briefly).
// Ownership: owns both processes; they also exit when the test process dies.

#include <QByteArrayList>
#include <QDBusMessage>
#include <QList>
#include <QMap>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <vector>

namespace testsupport {

class FakeUDisks {
  public:
    struct Block {
        QString id;         // object path .../block_devices/<id>
        QByteArray device;  // e.g. "/dev/sdb" (the fake appends the NUL)
        quint64 size = 0;
        QString drive;            // drive id, empty: no drive ("/")
        QString table;            // block id of the whole disk: a partition of it
        bool filesystem = false;  // has a Filesystem interface
        QByteArrayList mountPoints;
    };
    using Interfaces = QMap<QString, QVariantMap>;

    FakeUDisks();
    ~FakeUDisks();
    FakeUDisks(const FakeUDisks&) = delete;
    FakeUDisks& operator=(const FakeUDisks&) = delete;

    // Starts the private bus and the fake; false (and LastError) on failure.
    bool Start();
    void Stop();
    const QString& Address() const { return m_address; }
    void ExportAsSystemBus() const;

    // The fake leaves the bus (as a crashed or restarting UDisks2 would).
    bool StopService();
    // Starts it again and replays every change made so far, so it comes back
    // with the same drives and blocks.
    bool StartService();

    static QString DrivePath(const QString& id);
    static QString BlockPath(const QString& id);

    // Control calls: true when the fake accepted them.
    bool AddDrive(const QString& id, const QString& connectionBus, const QString& vendor,
                  const QString& model, quint64 size);
    bool AddBlock(const Block& block);
    bool AddObject(const QString& path, const Interfaces& interfaces);
    bool SetProperty(const QString& path, const QString& interface, const QString& name,
                     const QVariant& value);
    bool InvalidateProperty(const QString& path, const QString& interface, const QString& name);
    bool RemoveInterface(const QString& path, const QString& interface);
    bool RemoveObject(const QString& path);
    bool SetUnmountError(const QString& path, const QString& errorName, const QString& message);
    bool SetOpenError(const QString& path, const QString& errorName, const QString& message);
    // (block path, force option) of every Unmount call so far.
    QList<QPair<QString, bool>> UnmountLog();

    const QString& LastError() const { return m_lastError; }

  private:
    // Builds the arguments anew for each send, so a change can be replayed.
    using Arguments = std::function<QVariantList()>;
    bool Change(const QString& method, Arguments args);
    bool Call(const QString& method, const QVariantList& args, QDBusMessage* reply = nullptr);
    bool StartFake();

    std::unique_ptr<QProcess> m_bus;
    std::unique_ptr<QProcess> m_fake;
    QString m_address;
    QString m_connectionName;
    std::vector<std::pair<QString, Arguments>> m_changes;  // replayed by StartService
    QString m_lastError;
};

}  // namespace testsupport
