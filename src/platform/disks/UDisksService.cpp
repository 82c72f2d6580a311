#include "platform/disks/UDisksService.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QByteArrayList>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "platform/disks/DevicePaths.h"
#include "platform/kernel/DeviceAccess.h"

namespace platform {

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString kObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kDrive = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString kPartition = QStringLiteral("org.freedesktop.UDisks2.Partition");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kPartitionTable = QStringLiteral("org.freedesktop.UDisks2.PartitionTable");

constexpr int kLoadTimeoutMs = 60 * 1000;
// Unmount and open may wait on a password prompt.
constexpr int kPromptTimeoutMs = 60 * 60 * 1000;

std::atomic<unsigned> g_connectionCounter{0};

// A private connection: the cached system bus of QtDBus (and libdbus) would
// keep the first address seen for the whole process.
QDBusConnection ConnectSystemBus(const QString& name) {
    QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    if (address.isEmpty()) address = QStringLiteral("unix:path=/var/run/dbus/system_bus_socket");
    return QDBusConnection::connectToBus(address, name);
}

// UDisks2 sends paths as byte arrays that end in NUL.
QByteArray NulTerminated(const QVariant& value) {
    QByteArray bytes = value.toByteArray();
    const auto nul = bytes.indexOf('\0');
    if (nul >= 0) bytes.truncate(nul);
    return bytes;
}

QByteArrayList ByteArrays(const QVariant& value) {
    QByteArrayList list;
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        if (argument.currentSignature() == QLatin1String("aay")) argument >> list;
    } else if (value.canConvert<QByteArrayList>()) {
        list = value.value<QByteArrayList>();
    }
    return list;
}

// Values that arrive as QDBusArgument (a stream read once) are converted when
// they arrive, so later readers see plain values.
void Normalize(const QString& interface, QVariantMap& properties) {
    if (interface == kFilesystem && properties.contains(QStringLiteral("MountPoints"))) {
        QByteArrayList points;
        for (const QByteArray& point :
             ByteArrays(properties.value(QStringLiteral("MountPoints")))) {
            QByteArray clean = NulTerminated(point);
            if (!clean.isEmpty()) points.append(clean);
        }
        properties.insert(QStringLiteral("MountPoints"), QVariant::fromValue(points));
    }
}

UDisksService::Interfaces ReadInterfaces(const QVariant& value) {
    UDisksService::Interfaces interfaces;
    if (value.metaType() != QMetaType::fromType<QDBusArgument>()) return interfaces;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() != QLatin1String("a{sa{sv}}")) return interfaces;
    argument >> interfaces;
    for (auto it = interfaces.begin(); it != interfaces.end(); ++it)
        Normalize(it.key(), it.value());
    return interfaces;
}

// GetManagedObjects' answer; false when it is not one.
bool ReadManagedObjects(const QDBusMessage& reply,
                        std::map<QString, UDisksService::Interfaces>* out) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    const QVariant value = reply.arguments().at(0);
    if (value.metaType() != QMetaType::fromType<QDBusArgument>()) return false;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() != QLatin1String("a{oa{sa{sv}}}")) return false;
    out->clear();
    argument.beginMap();
    while (!argument.atEnd()) {
        QDBusObjectPath path;
        UDisksService::Interfaces interfaces;
        argument.beginMapEntry();
        argument >> path >> interfaces;
        argument.endMapEntry();
        for (auto it = interfaces.begin(); it != interfaces.end(); ++it)
            Normalize(it.key(), it.value());
        (*out)[path.path()] = interfaces;
    }
    argument.endMap();
    return true;
}

std::optional<std::uint64_t> UnsignedValue(const QVariant& value) {
    switch (value.metaType().id()) {
        case QMetaType::ULongLong:
        case QMetaType::UInt:
        case QMetaType::UShort:
        case QMetaType::UChar:
            return value.toULongLong();
        case QMetaType::LongLong:
        case QMetaType::Int:
        case QMetaType::Short:
            if (value.toLongLong() >= 0) return value.toULongLong();
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

QString ObjectPathValue(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return {};
}

// The disk's BSD name: the block's Device without "/dev/"; empty when the
// object is no block device we can address.
std::string BsdNameOf(const UDisksService::Interfaces& interfaces) {
    const auto block = interfaces.find(kBlock);
    if (block == interfaces.end()) return {};
    return BsdNameFromPath(NulTerminated(block->value(QStringLiteral("Device"))).toStdString());
}

QString Text(const QVariantMap& properties, const char* key) {
    return properties.value(QLatin1String(key)).toString();
}

// "DEVICE (MOUNT POINTS)" for a trace line, which stays one line whatever
// the service sent.
QString VolumeName(const UDisksService::Interfaces& interfaces) {
    const QByteArray device =
        NulTerminated(interfaces.value(kBlock).value(QStringLiteral("Device")));
    const QByteArrayList points =
        interfaces.value(kFilesystem).value(QStringLiteral("MountPoints")).value<QByteArrayList>();
    QString name = QString::fromLocal8Bit(device + " (" + points.join(", ") + ")");
    for (QChar& c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char('?');
    }
    return name;
}

bool NotAuthorized(const QString& errorName) {
    return errorName.startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized")) ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.AccessDenied") ||
           errorName.startsWith(QLatin1String("org.freedesktop.PolicyKit1.Error"));
}

// Why a volume (named "DEVICE (MOUNT POINTS)") stayed mounted, in a sentence.
QString UnmountFailure(const QDBusError& error, const QString& volume) {
    if (NotAuthorized(error.name()))
        return UDisksService::tr("Unmounting %1 was not allowed (the password prompt was refused).")
            .arg(volume);
    if (error.name() == QLatin1String("org.freedesktop.UDisks2.Error.DeviceBusy") ||
        error.message().contains(QLatin1String("target is busy")))
        return UDisksService::tr("A program still uses %1: close it, then try again.").arg(volume);
    return UDisksService::tr("Unmounting %1 failed: %2").arg(volume, error.message());
}

}  // namespace

UDisksService::UDisksService()
    : m_connectionName(QStringLiteral("imagewriter-udisks-%1").arg(g_connectionCounter++)),
      m_bus(ConnectSystemBus(m_connectionName)) {
    SetPrivilegedOpener(&OpenDeviceThroughUDisks);
    if (!m_bus.isConnected()) {
        ReportUnavailable();
        return;
    }
    m_watcher =
        new QDBusServiceWatcher(kService, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &UDisksService::onOwnerChanged);
    m_bus.connect(kService, kRoot, kObjectManager, QStringLiteral("InterfacesAdded"), this,
                  SLOT(onInterfacesAdded(QDBusMessage)));
    m_bus.connect(kService, kRoot, kObjectManager, QStringLiteral("InterfacesRemoved"), this,
                  SLOT(onInterfacesRemoved(QDBusMessage)));
    // PropertiesChanged comes from every object; matching its first argument
    // keeps the bus from sending changes of interfaces nobody here reads.
    for (const QString& interface : {kBlock, kDrive, kPartition, kFilesystem}) {
        m_bus.connect(kService, QString(), kProperties, QStringLiteral("PropertiesChanged"),
                      QStringList{interface}, QString(), this,
                      SLOT(onPropertiesChanged(QDBusMessage)));
    }
    Load();
}

UDisksService::~UDisksService() {
    // Outstanding calls die with their watchers before the connection goes.
    for (auto* watcher : findChildren<QDBusPendingCallWatcher*>()) delete watcher;
    delete m_watcher;
    m_watcher = nullptr;
    m_bus = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(m_connectionName);
}

void UDisksService::ReportUnavailable() {
    if (m_unavailableReported) return;
    m_unavailableReported = true;
    std::fputs("disk service unavailable\n", stderr);
}

void UDisksService::Load(std::function<void(bool ok)> then) {
    const QDBusMessage call = QDBusMessage::createMethodCall(kService, kRoot, kObjectManager,
                                                             QStringLiteral("GetManagedObjects"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kLoadTimeoutMs), this);
    const std::uint64_t generation = m_generation;
    ++m_loadsPending;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation, then = std::move(then)](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                --m_loadsPending;
                bool ok = false;
                if (generation == m_generation) {
                    std::map<QString, Interfaces> objects;
                    if (ReadManagedObjects(w->reply(), &objects)) {
                        m_objects = std::move(objects);
                        m_loaded = true;
                        m_unavailableReported = false;
                        Sync();
                        ok = true;
                    } else if (!m_loaded) {
                        ReportUnavailable();
                    }
                }
                emit loadFinished(ok);
                if (then) then(ok);
            });
}

void UDisksService::Rescan() {
    if (m_bus.isConnected() && !m_loaded && m_loadsPending == 0) Load();
}

void UDisksService::ServiceGone() {
    ++m_generation;  // answers still on their way belong to the old owner
    m_loaded = false;
    m_objects.clear();
    RemoveAllDisks();
    ReportUnavailable();
}

void UDisksService::onOwnerChanged(const QString&, const QString& oldOwner,
                                   const QString& newOwner) {
    if (!oldOwner.isEmpty()) ServiceGone();
    if (!newOwner.isEmpty()) Load();
}

void UDisksService::onInterfacesAdded(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.size() < 2 || args.at(0).metaType() != QMetaType::fromType<QDBusObjectPath>()) return;
    const QString path = args.at(0).value<QDBusObjectPath>().path();
    Interfaces added = ReadInterfaces(args.at(1));
    Interfaces& object = m_objects[path];
    for (auto it = added.begin(); it != added.end(); ++it) object.insert(it.key(), it.value());
    Sync();
}

void UDisksService::onInterfacesRemoved(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.size() < 2 || args.at(0).metaType() != QMetaType::fromType<QDBusObjectPath>()) return;
    const QString path = args.at(0).value<QDBusObjectPath>().path();
    auto object = m_objects.find(path);
    if (object == m_objects.end()) return;
    for (const QString& interface : args.at(1).toStringList()) object->second.remove(interface);
    if (object->second.isEmpty()) m_objects.erase(object);
    Sync();
}

void UDisksService::onPropertiesChanged(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.size() < 3 || !message.path().startsWith(kRoot + QLatin1Char('/'))) return;
    const QString interface = args.at(0).toString();
    auto object = m_objects.find(message.path());
    if (object == m_objects.end() || !object->second.contains(interface)) return;

    QVariantMap changed;
    if (args.at(1).metaType() == QMetaType::fromType<QDBusArgument>())
        args.at(1).value<QDBusArgument>() >> changed;
    else
        changed = args.at(1).toMap();
    Normalize(interface, changed);
    QVariantMap& properties = object->second[interface];
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        properties.insert(it.key(), it.value());

    // A property sent without its value: fetch the whole tree again rather
    // than guess.
    const QStringList invalidated = args.at(2).toStringList();
    for (const QString& name : invalidated) properties.remove(name);
    Sync();
    if (!invalidated.isEmpty()) Load();
}

void UDisksService::Sync() {
    std::vector<std::pair<std::string, DiskDescription>> wanted;
    std::set<std::string> names;
    for (const auto& [path, interfaces] : m_objects) {
        const std::string name = BsdNameOf(interfaces);
        if (name.empty() || !names.insert(name).second) continue;
        const QVariantMap block = interfaces.value(kBlock);

        DiskDescription d;
        d.mediaWhole = !interfaces.contains(kPartition);
        d.mediaSize = UnsignedValue(block.value(QStringLiteral("Size")));
        d.readOnly = block.value(QStringLiteral("ReadOnly")).toBool();

        // Loop devices and the like have no drive ("/").
        const QString drivePath = ObjectPathValue(block.value(QStringLiteral("Drive")));
        const auto driveObject = m_objects.find(drivePath);
        if (drivePath != QLatin1String("/") && driveObject != m_objects.end() &&
            driveObject->second.contains(kDrive)) {
            const QVariantMap drive = driveObject->second.value(kDrive);
            if (drive.contains(QStringLiteral("ConnectionBus"))) {
                const QString bus = Text(drive, "ConnectionBus");
                d.deviceProtocol =
                    bus == QLatin1String("usb") ? std::string("USB") : bus.toStdString();
            }
            const QString model = Text(drive, "Model");
            const QString name = (Text(drive, "Vendor") + QLatin1Char(' ') + model).trimmed();
            if (!name.isEmpty()) d.mediaName = name.toStdString();
            if (drive.contains(QStringLiteral("Model"))) d.deviceModel = model.toStdString();
            d.driveIdentity =
                DriveIdentity(Text(drive, "Serial").toStdString(), Text(drive, "WWN").toStdString(),
                              drivePath.toStdString());
            d.removable = drive.value(QStringLiteral("Removable")).toBool();
            d.mediaRemovable = drive.value(QStringLiteral("MediaRemovable")).toBool();
        }
        wanted.emplace_back(name, std::move(d));
    }

    std::vector<std::string> gone;
    for (const DiskObject& disk : Disks()) {
        if (!names.count(disk.bsdName)) gone.push_back(disk.bsdName);
    }
    for (const std::string& name : gone) RemoveDisk(name);
    for (const auto& [name, description] : wanted) SetDisk(name, description);
}

// ------------------------------------------------------------------ unmount

struct UDisksService::UnmountRequest {
    std::string bsdName;
    UnmountDone done;
    int pending = 0;
    std::string why;  // the first failure, for the user; empty while none
    void Fail(const QString& sentence) {
        if (why.empty()) why = sentence.toStdString();
    }
};

bool UDisksService::UnmountWholeDisk(const std::string& bsdName, UnmountDone done) {
    if (!m_bus.isConnected()) return false;
    if (m_loaded ? !Describe(bsdName).has_value() : m_loadsPending == 0) return false;
    auto request = std::make_shared<UnmountRequest>();
    request->bsdName = bsdName;
    request->done = std::move(done);
    Load([this, request](bool ok) {
        if (ok) {
            StartUnmount(request);
        } else {
            request->Fail(UDisksService::tr("The disk service did not answer."));
            FinishUnmount(request);
        }
    });
    return true;
}

void UDisksService::StartUnmount(const std::shared_ptr<UnmountRequest>& request) {
    QString diskPath;
    for (const auto& [path, interfaces] : m_objects) {
        if (BsdNameOf(interfaces) == request->bsdName) {
            diskPath = path;
            break;
        }
    }
    if (diskPath.isEmpty()) {
        request->Fail(UDisksService::tr("The disk service no longer knows the stick."));
        FinishUnmount(request);
        return;
    }

    // The disk itself and every partition whose table is on it.
    std::vector<QString> targets;
    for (const auto& [path, interfaces] : m_objects) {
        const auto fs = interfaces.find(kFilesystem);
        if (fs == interfaces.end()) continue;
        const bool onDisk =
            path == diskPath ||
            ObjectPathValue(interfaces.value(kPartition).value(QStringLiteral("Table"))) ==
                diskPath;
        if (onDisk && !fs->value(QStringLiteral("MountPoints")).value<QByteArrayList>().isEmpty())
            targets.push_back(path);
    }
    if (targets.empty()) {
        FinishUnmount(request);
        return;
    }

    request->pending = static_cast<int>(targets.size());
    for (const QString& path : targets) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kService, path, kFilesystem, QStringLiteral("Unmount"));
        // Not forced: on Linux that only detaches a busy file system lazily,
        // so the disk stays held (the write's exclusive open fails anyway)
        // while the user's files vanish from the mount point.
        call << QVariantMap{};
        call.setInteractiveAuthorizationAllowed(true);
        // Named now: the service's answer tells only why.
        const QString name = VolumeName(m_objects.at(path));
        auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kPromptTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, request, name](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    if (w->isError()) {
                        request->Fail(UnmountFailure(w->error(), name));
                        std::printf("unmount of %s failed: %s\n", qPrintable(name),
                                    qPrintable(w->error().message()));
                        std::fflush(stdout);
                    }
                    if (--request->pending == 0) FinishUnmount(request);
                });
    }
}

void UDisksService::FinishUnmount(const std::shared_ptr<UnmountRequest>& request) {
    UnmountDone done = std::move(request->done);
    request->done = nullptr;
    if (done) done(request->why.empty(), request->why);
}

void UDisksService::PowerOffDrive(const std::string& bsdName, UnmountDone done) {
    QString drivePath;
    for (const auto& [path, interfaces] : m_objects) {
        if (BsdNameOf(interfaces) == bsdName)
            drivePath = ObjectPathValue(interfaces.value(kBlock).value(QStringLiteral("Drive")));
    }
    if (drivePath.isEmpty() || drivePath == QLatin1String("/") || !m_bus.isConnected()) {
        QTimer::singleShot(0, this, [done] {
            done(false, tr("The disk service does not know its drive.").toStdString());
        });
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, drivePath, kDrive, QStringLiteral("PowerOff"));
    call << QVariantMap{};
    call.setInteractiveAuthorizationAllowed(true);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kPromptTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [done](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        done(!w->isError(), w->isError() ? w->error().message().toStdString() : std::string());
    });
}

// -------------------------------------------------- rescan, everyday stick

QString UDisksService::BlockPathOf(const std::string& bsdName) const {
    for (const auto& [path, interfaces] : m_objects) {
        if (BsdNameOf(interfaces) == bsdName) return path;
    }
    return {};
}

void UDisksService::CallWithPrompt(QDBusMessage call, std::function<void(const QDBusError&)> then) {
    call.setInteractiveAuthorizationAllowed(true);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kPromptTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [then = std::move(then)](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                then(w->isError() ? w->error() : QDBusError());
            });
}

void UDisksService::RescanDisk(const std::string& bsdName) {
    const QString path = BlockPathOf(bsdName);
    if (path.isEmpty() || !m_bus.isConnected()) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, path, kBlock, QStringLiteral("Rescan"));
    call << QVariantMap{};
    CallWithPrompt(call, [bsdName](const QDBusError& error) {
        if (!error.isValid()) return;
        std::printf("rescan of %s failed: %s\n", bsdName.c_str(), qPrintable(error.message()));
        std::fflush(stdout);
    });
}

void UDisksService::MakeEverydayStick(const std::string& bsdName, const EverydayStick& plan,
                                      UnmountDone done) {
    const QString path = BlockPathOf(bsdName);
    const auto fail = [done](const QString& why) { done(false, why.toStdString()); };
    if (path.isEmpty() || !m_bus.isConnected() || plan.problem != PlanProblem::None) {
        const QString why =
            plan.problem != PlanProblem::None
                ? tr("The stick's label or size cannot be used: nothing was changed.")
                : tr("The disk service no longer knows the stick.");
        QTimer::singleShot(0, this, [fail, why] { fail(why); });
        return;
    }
    // Why a step failed, in a sentence naming the step.
    const auto failure = [](const QDBusError& error, const QString& step) {
        if (NotAuthorized(error.name()))
            return tr("%1 was not allowed (the password prompt was refused).").arg(step);
        return tr("%1 failed: %2").arg(step, error.message());
    };
    QDBusMessage table =
        QDBusMessage::createMethodCall(kService, path, kBlock, QStringLiteral("Format"));
    table << QStringLiteral("dos") << QVariantMap{};
    const bool fat = plan.fileSystem == StickFileSystem::Fat32;
    QDBusMessage partition = QDBusMessage::createMethodCall(
        kService, path, kPartitionTable, QStringLiteral("CreatePartitionAndFormat"));
    // At offset 0 the service puts it at the first aligned place, 1 MiB.
    partition << qulonglong(0) << qulonglong(plan.size)
              << (fat ? QStringLiteral("0x0c") : QStringLiteral("0x07")) << QString()
              << QVariantMap{} << (fat ? QStringLiteral("vfat") : QStringLiteral("exfat"))
              << QVariantMap{{QStringLiteral("label"), QString::fromStdString(plan.label)},
                             {QStringLiteral("take-ownership"), true}};
    CallWithPrompt(table, [this, partition, fail, failure, done](const QDBusError& error) {
        if (error.isValid()) return fail(failure(error, tr("Making a new partition table")));
        CallWithPrompt(partition, [fail, failure, done](const QDBusError& error) {
            if (error.isValid()) return fail(failure(error, tr("Making the file system")));
            done(true, {});
        });
    });
}

// ------------------------------------------------------------- device access

namespace {

int ErrnoForDBusError(const QString& name, const QString& message) {
    if (NotAuthorized(name)) return EACCES;
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
        name == QLatin1String("org.freedesktop.DBus.Error.TimedOut"))
        return ETIMEDOUT;
    if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Disconnected"))
        return EACCES;  // nobody to ask: the original refusal stands
    // udisksd words a failed open(2) as "...: <strerror>".
    if (message.endsWith(QString::fromLocal8Bit(std::strerror(EBUSY)))) return EBUSY;
    return EIO;
}

int OpenOnBus(QDBusConnection& bus, const char* path, int flags, int* error) {
    if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        *error = EIO;
        return -1;
    }
    const QDBusMessage list = QDBusMessage::createMethodCall(kService, kRoot, kObjectManager,
                                                             QStringLiteral("GetManagedObjects"));
    const QDBusMessage objectsReply = bus.call(list, QDBus::Block, kLoadTimeoutMs);
    std::map<QString, UDisksService::Interfaces> objects;
    if (!ReadManagedObjects(objectsReply, &objects)) {
        *error = ErrnoForDBusError(objectsReply.errorName(), objectsReply.errorMessage());
        return -1;
    }

    // The block whose Device is the path (or what the path links to).
    QByteArrayList wanted{QByteArray(path)};
    if (char* real = realpath(path, nullptr)) {
        wanted.append(QByteArray(real));
        free(real);
    }
    QString blockPath;
    for (const auto& [objectPath, interfaces] : objects) {
        const auto block = interfaces.find(kBlock);
        if (block != interfaces.end() &&
            wanted.contains(NulTerminated(block->value(QStringLiteral("Device"))))) {
            blockPath = objectPath;
            break;
        }
    }
    if (blockPath.isEmpty()) {
        *error = ENODEV;
        return -1;
    }

    // udisksd takes the access mode only as `mode` and refuses it inside
    // `flags`; the rest (O_EXCL, O_DIRECT, O_CLOEXEC) it passes to open(2).
    const int access = flags & O_ACCMODE;
    const QString mode = access == O_RDWR     ? QStringLiteral("rw")
                         : access == O_WRONLY ? QStringLiteral("w")
                                              : QStringLiteral("r");
    QDBusMessage open =
        QDBusMessage::createMethodCall(kService, blockPath, kBlock, QStringLiteral("OpenDevice"));
    open << mode << QVariantMap{{QStringLiteral("flags"), flags & ~O_ACCMODE}};
    open.setInteractiveAuthorizationAllowed(true);
    // Waited for in steps, so that the user may give up on a password
    // prompt; a descriptor that comes after that closes with its message.
    QDBusPendingCall pending = bus.asyncCall(open, kPromptTimeoutMs);
    while (!pending.isFinished()) {
        if (OpensAbandoned()) {
            *error = ECANCELED;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const QDBusMessage reply = pending.reply();
    if (reply.type() != QDBusMessage::ReplyMessage) {
        *error = ErrnoForDBusError(reply.errorName(), reply.errorMessage());
        return -1;
    }
    const QVariantList args = reply.arguments();
    if (args.isEmpty() || args.at(0).metaType() != QMetaType::fromType<QDBusUnixFileDescriptor>()) {
        *error = EIO;
        return -1;
    }
    // The message's descriptor closes with it; keep a duplicate.
    const int fd =
        fcntl(args.at(0).value<QDBusUnixFileDescriptor>().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) *error = errno;
    return fd;
}

}  // namespace

int OpenDeviceThroughUDisks(const char* path, int flags, int* error) {
    int localError = 0;
    if (error == nullptr) error = &localError;
    if (path == nullptr) {
        *error = EINVAL;
        return -1;
    }
    const QString name = QStringLiteral("imagewriter-open-%1").arg(g_connectionCounter++);
    int fd = -1;
    {
        QDBusConnection bus = ConnectSystemBus(name);
        if (bus.isConnected())
            fd = OpenOnBus(bus, path, flags, error);
        else
            *error = EACCES;
    }
    QDBusConnection::disconnectFromBus(name);
    return fd;
}

std::unique_ptr<DiskService> CreateSystemDiskService() {
    return std::make_unique<UDisksService>();
}

}  // namespace platform
