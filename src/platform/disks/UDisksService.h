#pragma once
// The system's disk service over UDisks2 on the D-Bus system bus.
//
// UDisksService mirrors UDisks2's object tree (GetManagedObjects, then
// InterfacesAdded / InterfacesRemoved / PropertiesChanged, reloaded whenever
// the service's owner changes) and reports every block device to the
// DiskService base as a disk: "sdb" for /dev/sdb, with a description built
// from the block, its partition interface and its drive. It never waits on
// D-Bus: every call is asynchronous and answered from the main event loop.
// Without a system bus or without UDisks2 it knows no disks and says so once
// on standard error. Creating it installs OpenDeviceThroughUDisks as the
// privileged opener of device access.
//
// Threads: construct, use and destroy on the Qt main thread.
// OpenDeviceThroughUDisks is the exception: it is for worker threads.
//
// Ownership: the service owns its bus connection (a private one, closed in
// the destructor) and its outstanding unmount requests.

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <map>
#include <memory>

#include "platform/disks/DiskService.h"

class QDBusError;
class QDBusPendingCallWatcher;
class QDBusMessage;
class QDBusServiceWatcher;

namespace platform {

class UDisksService final : public QObject, public DiskService {
    Q_OBJECT
  public:
    // Connects to the system bus named by DBUS_SYSTEM_BUS_ADDRESS at this
    // moment (else the standard socket) and starts loading the object tree.
    UDisksService();
    ~UDisksService() override;

    // Known only after the load: while the first load is outstanding the
    // request is accepted and decided by the load's outcome (a disk the
    // service does not know then completes with false). Mount points are
    // taken from a fresh load made for each request, so a volume mounted just
    // before the request is not missed.
    bool UnmountWholeDisk(const std::string& bsdName, UnmountDone done) override;
    // Drive.PowerOff of the block's drive.
    void PowerOffDrive(const std::string& bsdName, UnmountDone done) override;
    // Block.Rescan of the disk; a failure is only traced.
    void RescanDisk(const std::string& bsdName) override;
    // Block.Format "dos" of the disk, then PartitionTable.CreatePartitionAndFormat
    // on it: type 0x0c with vfat, or 0x07 with exfat, labelled, with
    // take-ownership. Both may ask for a password.
    void MakeEverydayStick(const std::string& bsdName, const EverydayStick& plan,
                           UnmountDone done) override;

    // True once a load of the object tree has succeeded and the service has
    // not gone away since.
    bool Loaded() const { return m_loaded; }

    using Interfaces = QMap<QString, QVariantMap>;

  protected:
    // Loads the object tree again when no load has succeeded since the
    // service (re)appeared and none is outstanding: a first load that failed
    // or timed out is not the last word.
    void Rescan() override;

  signals:
    // Each load of the object tree that finished (ok: it succeeded).
    void loadFinished(bool ok);

  private slots:
    // Signals are read from the whole message: the path of PropertiesChanged
    // is only there, and the nested maps need no registered types that way.
    void onInterfacesAdded(const QDBusMessage& message);
    void onInterfacesRemoved(const QDBusMessage& message);
    void onPropertiesChanged(const QDBusMessage& message);
    void onOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

  private:
    struct UnmountRequest;

    // Starts a GetManagedObjects call; `then` runs after its reply has been
    // applied (ok false: the call failed or the owner changed meanwhile).
    void Load(std::function<void(bool ok)> then = {});
    void ServiceGone();
    void ReportUnavailable();
    // Brings the DiskService base in line with m_objects.
    void Sync();
    void StartUnmount(const std::shared_ptr<UnmountRequest>& request);
    void FinishUnmount(const std::shared_ptr<UnmountRequest>& request);
    // The object path of the block named `bsdName`; empty when unknown.
    QString BlockPathOf(const std::string& bsdName) const;
    // Sends a call that may wait on a password prompt; `then` gets its
    // reply's error (none: it succeeded) on the main loop.
    void CallWithPrompt(QDBusMessage call, std::function<void(const QDBusError&)> then);

    QString m_connectionName;
    QDBusConnection m_bus;
    QDBusServiceWatcher* m_watcher = nullptr;  // child of this
    std::map<QString, Interfaces> m_objects;   // object path -> interfaces -> properties
    std::uint64_t m_generation = 0;            // bumped when the service's owner changes
    int m_loadsPending = 0;
    bool m_loaded = false;
    bool m_unavailableReported = false;
};

// Asks UDisks2 for a descriptor of the block device `path` opened with the
// open(2) `flags` of the refused open (access mode plus O_EXCL, O_DIRECT,
// O_CLOEXEC); polkit decides, and may ask the user for a password. Returns a
// descriptor the caller owns, or -1 with *error set (EACCES: refused or nobody
// to ask; ENODEV: UDisks2 does not know the device; ETIMEDOUT: no answer
// within an hour; EBUSY, EIO).
// Blocks: call it from a worker thread, never from the window's thread. Uses
// a connection of its own, so any thread may call it.
int OpenDeviceThroughUDisks(const char* path, int flags, int* error);

}  // namespace platform
