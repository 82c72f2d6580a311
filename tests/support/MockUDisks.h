#pragma once
// UDisks2 for the tests: a private dbus-daemon with python-dbusmock serving
// support/udisks2_mock.py on it. Start() points DBUS_SYSTEM_BUS_ADDRESS of this
// process at that bus. One thread; control calls block it briefly. Both
// processes end with the object, or with the test process.

#include <QDBusVariant>
#include <QProcess>
#include <QStringList>
#include <memory>

namespace testsupport {

class MockUDisks {
  public:
    ~MockUDisks();
    bool Start(QString* why);
    // A USB stick: drive + whole-disk block whose Device is `device`.
    bool AddStick(const QString& id, const QByteArray& device, const QString& vendor,
                  const QString& model, quint64 size, const QString& connectionBus = "usb") {
        return Call("AddStick", {id, device, vendor, model, qulonglong(size), connectionBus});
    }
    // A partition with a file system, mounted when mountPoint is not empty.
    bool AddPartition(const QString& stickId, int number, const QByteArray& device,
                      const QByteArray& mountPoint) {
        return Call("AddPartition", {stickId, number, device, mountPoint});
    }
    bool RemoveStick(const QString& id) { return Call("RemoveStick", {id}); }
    // A property of the stick's "Drive" or its whole-disk "Block", with
    // PropertiesChanged; an invalid value removes it (invalidated). A new
    // stick is removable, its serial "SN-" + id.
    bool SetProperty(const QString& id, const QString& interface, const QString& name,
                     const QVariant& value) {
        QVariantList values;
        if (value.isValid()) values.append(QVariant::fromValue(QDBusVariant(value)));
        return Call("SetProperty", {id, interface, name, values});
    }
    bool FailNextLoads(int count) { return Call("FailNextLoads", {count}); }  // GetManagedObjects
    bool SetUnmountError(const QByteArray& device, const QString& errorName,
                         const QString& message) {  // an empty name clears it
        return Call("SetUnmountError", {device, errorName, message});
    }
    // "METHOD DEVICE ARGS" per Block.Rescan, Block.Format and "Create" per
    // PartitionTable.CreatePartitionAndFormat, option maps as {key=value, ...};
    // SetCallError makes later calls of a METHOD fail (an empty name: not;
    // the name "hang": answer only after `message` seconds).
    QStringList DiskCalls() {
        return Call("DiskCalls", {}) ? m_reply.value(0).toStringList() : QStringList();
    }
    bool SetCallError(const QString& method, const QString& errorName, const QString& message) {
        return Call("SetCallError", {method, errorName, message});
    }
    // Each Unmount and OpenDevice answers this late.
    bool SetDelay(int seconds) { return Call("SetDelay", {seconds}); }
    QStringList UnmountCalls() {  // "DEVICE force=true|false" per Filesystem.Unmount
        return Call("UnmountCalls", {}) ? m_reply.value(0).toStringList() : QStringList();
    }
    // Drive object paths powered off so far; `error`: how later ones fail.
    QStringList PowerOffs(const QString& error = "") {
        return Call("PowerOffs", {error}) ? m_reply.value(0).toStringList() : QStringList();
    }
    // The service leaves the bus and comes back with the same objects.
    bool StopService() { return Call("StopService", {}); }
    bool StartService() { return Call("StartService", {}); }

  private:
    bool Call(const char* method, const QVariantList& args);

    std::unique_ptr<QProcess> m_bus, m_mock;
    QString m_address, m_owner;  // m_owner: its unique name, kept while away
    QVariantList m_reply;
};

}  // namespace testsupport
