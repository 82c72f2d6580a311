#include "support/FakeUDisks.h"

#include <signal.h>
#include <sys/prctl.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <atomic>

namespace testsupport {

namespace {

const QString kName = QStringLiteral("org.freedesktop.UDisks2");
const QString kControlPath = QStringLiteral("/org/imagewriter/FakeUDisks2");
const QString kControl = QStringLiteral("org.imagewriter.FakeUDisks2");
constexpr int kStartTimeoutMs = 30000;

std::atomic<int> g_counter{0};

// Both children die with the test process, even when it crashes.
void DieWithParent(QProcess& process) {
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

QVariant ByteArrays(const QByteArrayList& list) {
    QDBusArgument argument;
    argument.beginArray(QMetaType::fromType<QByteArray>());
    for (const QByteArray& bytes : list) argument << bytes;
    argument.endArray();
    return QVariant::fromValue(argument);
}

QVariant InterfaceMap(const FakeUDisks::Interfaces& interfaces) {
    QDBusArgument argument;
    argument.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QVariantMap>());
    for (auto it = interfaces.cbegin(); it != interfaces.cend(); ++it) {
        argument.beginMapEntry();
        argument << it.key() << it.value();
        argument.endMapEntry();
    }
    argument.endMap();
    return QVariant::fromValue(argument);
}

}  // namespace

FakeUDisks::FakeUDisks()
    : m_connectionName(QStringLiteral("fake-udisks-control-%1").arg(g_counter++)) {}

FakeUDisks::~FakeUDisks() {
    Stop();
}

bool FakeUDisks::Start() {
    Stop();
    m_bus = std::make_unique<QProcess>();
    DieWithParent(*m_bus);
    m_bus->setStandardErrorFile(QProcess::nullDevice());
    m_bus->start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--print-address"),
                  QStringLiteral("--nofork")});
    if (!m_bus->waitForStarted(kStartTimeoutMs)) {
        m_lastError = QStringLiteral("dbus-daemon did not start: ") + m_bus->errorString();
        return false;
    }
    while (!m_bus->canReadLine()) {
        if (!m_bus->waitForReadyRead(kStartTimeoutMs)) {
            m_lastError = QStringLiteral("dbus-daemon printed no address");
            return false;
        }
    }
    m_address = QString::fromUtf8(m_bus->readLine()).trimmed();
    QDBusConnection control = QDBusConnection::connectToBus(m_address, m_connectionName);
    if (!control.isConnected()) {
        m_lastError =
            QStringLiteral("cannot connect to the private bus: ") + control.lastError().message();
        return false;
    }
    return StartFake();
}

bool FakeUDisks::StartFake() {
    m_fake = std::make_unique<QProcess>();
    DieWithParent(*m_fake);
    m_fake->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_fake->start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral(TEST_SOURCE_DIR "/support/fake_udisks.py"),
                   QStringLiteral("--address"), m_address});
    if (!m_fake->waitForStarted(kStartTimeoutMs)) {
        m_lastError = QStringLiteral("fake_udisks.py did not start: ") + m_fake->errorString();
        return false;
    }
    while (!m_fake->canReadLine()) {
        if (!m_fake->waitForReadyRead(kStartTimeoutMs)) {
            m_lastError = QStringLiteral("fake_udisks.py did not get ready");
            return false;
        }
    }
    if (m_fake->readLine().trimmed() != "ready") {
        m_lastError = QStringLiteral("fake_udisks.py said something else than ready");
        return false;
    }
    return true;
}

void FakeUDisks::Stop() {
    for (auto* process : {m_fake.get(), m_bus.get()}) {
        if (!process || process->state() == QProcess::NotRunning) continue;
        process->terminate();
        if (!process->waitForFinished(kStartTimeoutMs)) {
            process->kill();
            process->waitForFinished(kStartTimeoutMs);
        }
    }
    m_fake.reset();
    m_bus.reset();
    QDBusConnection::disconnectFromBus(m_connectionName);
    m_changes.clear();
}

void FakeUDisks::ExportAsSystemBus() const {
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
}

bool FakeUDisks::StopService() {
    if (!m_fake) return false;
    const bool asked = Call(QStringLiteral("Quit"), {});
    if (!m_fake->waitForFinished(kStartTimeoutMs)) {
        m_fake->kill();
        m_fake->waitForFinished(kStartTimeoutMs);
    }
    m_fake.reset();
    return asked;
}

bool FakeUDisks::StartService() {
    if (m_fake && m_fake->state() != QProcess::NotRunning) return true;
    if (!StartFake()) return false;
    for (const auto& [method, args] : m_changes) {
        if (!Call(method, args())) return false;
    }
    return true;
}

QString FakeUDisks::DrivePath(const QString& id) {
    return QStringLiteral("/org/freedesktop/UDisks2/drives/") + id;
}

QString FakeUDisks::BlockPath(const QString& id) {
    return QStringLiteral("/org/freedesktop/UDisks2/block_devices/") + id;
}

bool FakeUDisks::Call(const QString& method, const QVariantList& args, QDBusMessage* reply) {
    QDBusMessage call = QDBusMessage::createMethodCall(kName, kControlPath, kControl, method);
    call.setArguments(args);
    const QDBusMessage answer =
        QDBusConnection(m_connectionName).call(call, QDBus::Block, kStartTimeoutMs);
    if (reply) *reply = answer;
    if (answer.type() != QDBusMessage::ReplyMessage) {
        m_lastError = method + QStringLiteral(": ") + answer.errorName() + QStringLiteral(" ") +
                      answer.errorMessage();
        return false;
    }
    return true;
}

bool FakeUDisks::Change(const QString& method, Arguments args) {
    const bool ok = Call(method, args());
    if (ok) m_changes.emplace_back(method, std::move(args));
    return ok;
}

bool FakeUDisks::AddDrive(const QString& id, const QString& connectionBus, const QString& vendor,
                          const QString& model, quint64 size) {
    return Change(QStringLiteral("AddDrive"), [=] {
        return QVariantList{id, connectionBus, vendor, model,
                            QVariant::fromValue<qulonglong>(size)};
    });
}

bool FakeUDisks::AddBlock(const Block& b) {
    return Change(QStringLiteral("AddBlock"), [=] {
        return QVariantList{b.id,
                            b.device,
                            QVariant::fromValue<qulonglong>(b.size),
                            b.drive,
                            b.table,
                            b.filesystem,
                            ByteArrays(b.mountPoints)};
    });
}

bool FakeUDisks::AddObject(const QString& path, const Interfaces& interfaces) {
    return Change(QStringLiteral("AddObject"), [=] {
        return QVariantList{QVariant::fromValue(QDBusObjectPath(path)), InterfaceMap(interfaces)};
    });
}

bool FakeUDisks::SetProperty(const QString& path, const QString& interface, const QString& name,
                             const QVariant& value) {
    return Change(QStringLiteral("SetProperty"), [=] {
        return QVariantList{QVariant::fromValue(QDBusObjectPath(path)), interface, name,
                            QVariant::fromValue(QDBusVariant(value))};
    });
}

bool FakeUDisks::InvalidateProperty(const QString& path, const QString& interface,
                                    const QString& name) {
    return Change(QStringLiteral("InvalidateProperty"), [=] {
        return QVariantList{QVariant::fromValue(QDBusObjectPath(path)), interface, name};
    });
}

bool FakeUDisks::RemoveInterface(const QString& path, const QString& interface) {
    return Change(QStringLiteral("RemoveInterface"), [=] {
        return QVariantList{QVariant::fromValue(QDBusObjectPath(path)), interface};
    });
}

bool FakeUDisks::RemoveObject(const QString& path) {
    return Change(QStringLiteral("RemoveObject"),
                  [=] { return QVariantList{QVariant::fromValue(QDBusObjectPath(path))}; });
}

bool FakeUDisks::SetUnmountError(const QString& path, const QString& errorName,
                                 const QString& message) {
    return Change(QStringLiteral("SetUnmountError"), [=] {
        return QVariantList{QVariant::fromValue(QDBusObjectPath(path)), errorName, message};
    });
}

bool FakeUDisks::SetOpenError(const QString& path, const QString& errorName,
                              const QString& message) {
    return Change(QStringLiteral("SetOpenError"), [=] {
        return QVariantList{QVariant::fromValue(QDBusObjectPath(path)), errorName, message};
    });
}

QList<QPair<QString, bool>> FakeUDisks::UnmountLog() {
    QList<QPair<QString, bool>> log;
    QDBusMessage reply;
    if (!Call(QStringLiteral("UnmountLog"), {}, &reply) || reply.arguments().isEmpty()) return log;
    const QDBusArgument argument = reply.arguments().at(0).value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        QString path;
        bool force = false;
        argument.beginStructure();
        argument >> path >> force;
        argument.endStructure();
        log.append({path, force});
    }
    argument.endArray();
    return log;
}

}  // namespace testsupport
