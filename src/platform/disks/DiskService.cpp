#include "platform/disks/DiskService.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>

#include "platform/disks/DevicePaths.h"
#include "platform/kernel/KernelView.h"

namespace platform {

namespace {

DiskService* g_installedService = nullptr;
std::unique_ptr<DiskService> g_systemService;

template <typename List>
auto FindDisk(List& disks, const std::string& bsdName) {
    return std::find_if(disks.begin(), disks.end(),
                        [&](const DiskObject& d) { return d.bsdName == bsdName; });
}

}  // namespace

// ---------------------------------------------------------------- DiskService

DiskService::~DiskService() = default;

std::unique_ptr<DiskSession> DiskService::CreateSession() {
    return std::make_unique<DiskSession>(*this);
}

std::optional<DiskDescription> DiskService::Describe(const std::string& bsdName) const {
    auto it = FindDisk(m_disks, bsdName);
    if (it == m_disks.end()) return std::nullopt;
    return it->description;
}

DiskService::KernelState DiskService::KernelStateOf(const std::string& bsdName) const {
    const KernelView view = ReadKernelView();
    KernelState state{RunningSystemOn(bsdName, view)};
    for (const BlockNode& node : view.nodes) {
        if (node.name == bsdName) state.readOnly = node.readOnly;
    }
    return state;
}

void DiskService::PowerOffDrive(const std::string&, UnmountDone done) {
    QTimer::singleShot(0, [done] {
        done(false,
             QCoreApplication::translate("DiskService", "The disk service cannot power drives off.")
                 .toStdString());
    });
}

void DiskService::RescanDisk(const std::string&) {}

void DiskService::MakeEverydayStick(const std::string&, const EverydayStick&, UnmountDone done) {
    QTimer::singleShot(0, [done] {
        done(false,
             QCoreApplication::translate("DiskService", "The disk service cannot format sticks.")
                 .toStdString());
    });
}

void DiskService::SetDisk(const std::string& bsdName, const DiskDescription& description) {
    auto it = FindDisk(m_disks, bsdName);
    if (it == m_disks.end()) {
        m_disks.push_back(DiskObject{bsdName, description});
    } else if (it->description == description) {
        return;
    } else {
        it->description = description;
    }
    NotifySessions();
}

void DiskService::RemoveDisk(const std::string& bsdName) {
    auto it = FindDisk(m_disks, bsdName);
    if (it == m_disks.end()) return;
    m_disks.erase(it);
    NotifySessions();
}

void DiskService::RemoveAllDisks() {
    if (m_disks.empty()) return;
    m_disks.clear();
    NotifySessions();
}

void DiskService::NotifySessions() {
    for (DiskSession* session : m_sessions) session->ServiceChanged();
}

// ---------------------------------------------------------------- DiskSession

DiskSession::DiskSession(DiskService& service)
    : m_service(service),
      m_postTarget(std::make_unique<QObject>()),
      m_alive(std::make_shared<bool>(true)) {
    m_service.m_sessions.push_back(this);
}

DiskSession::~DiskSession() {
    *m_alive = false;
    auto& sessions = m_service.m_sessions;
    sessions.erase(std::remove(sessions.begin(), sessions.end(), this), sessions.end());
}

void DiskSession::RegisterDiskAppearedCallback(DiskCallback callback, void* context) {
    m_appeared = callback;
    m_appearedContext = context;
}

void DiskSession::RegisterDiskDisappearedCallback(DiskCallback callback, void* context) {
    m_disappeared = callback;
    m_disappearedContext = context;
}

void DiskSession::ScheduleWithMainLoop() {
    m_scheduled = true;
    PostDelivery();
    m_service.Rescan();
}

void DiskSession::UnscheduleFromMainLoop() {
    m_scheduled = false;
}

std::optional<DiskObject> DiskSession::CreateDiskFromPath(const char* path) const {
    if (path == nullptr) return std::nullopt;
    const std::string bsdName = BsdNameFromPath(path);
    if (bsdName.empty()) return std::nullopt;
    auto description = m_service.Describe(bsdName);
    if (!description) return std::nullopt;
    return DiskObject{bsdName, description};
}

std::optional<DiskDescription> DiskSession::CopyDescription(const DiskObject& disk) const {
    return m_service.Describe(disk.bsdName);
}

void DiskSession::ServiceChanged() {
    if (m_scheduled) PostDelivery();
}

void DiskSession::PostDelivery() {
    if (m_deliveryPosted) return;
    m_deliveryPosted = true;
    QMetaObject::invokeMethod(
        m_postTarget.get(), [this] { Deliver(); }, Qt::QueuedConnection);
}

void DiskSession::Deliver() {
    m_deliveryPosted = false;
    std::weak_ptr<bool> alive = m_alive;
    const auto stillRunning = [&] { return !alive.expired() && m_scheduled; };

    // Lost first (disks gone or changed), then found, each in service order.
    // A callback may unschedule or even destroy the session; stop then, and
    // what was not told yet is told at the next schedule.
    for (std::size_t i = 0; stillRunning() && i < m_delivered.size();) {
        const auto current = m_service.Describe(m_delivered[i].bsdName);
        if (current && *current == m_delivered[i].description) {
            ++i;
            continue;
        }
        DiskObject lost = std::move(m_delivered[i]);
        m_delivered.erase(m_delivered.begin() + static_cast<std::ptrdiff_t>(i));
        if (m_disappeared) m_disappeared(lost, m_disappearedContext);
    }
    if (!stillRunning()) return;

    const std::vector<DiskObject> present = m_service.Disks();
    for (const DiskObject& disk : present) {
        if (!stillRunning()) return;
        if (FindDisk(m_delivered, disk.bsdName) != m_delivered.end()) continue;
        m_delivered.push_back(disk);
        if (m_appeared) m_appeared(disk, m_appearedContext);
    }
}

// ------------------------------------------------------------- process-wide

DiskService& ActiveDiskService() {
    if (g_installedService) return *g_installedService;
    if (!g_systemService) g_systemService = CreateSystemDiskService();
    return *g_systemService;
}

void InstallDiskService(DiskService* service) {
    g_installedService = service;
}

void ResetDiskService() {
    g_systemService.reset();
}

}  // namespace platform
