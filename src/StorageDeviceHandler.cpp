#include "StorageDeviceHandler.h"

#include <pthread.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "DeviceImageWriter.h"
#include "platform/disks/DevicePaths.h"
#include "window/SafeText.h"

// Shared registry state. g_deviceLock guards all of it for the locked
// operations; the disk callbacks change the registry without it, which is safe
// because they run on the same (main) thread and never inside a locked
// operation.
namespace {

pthread_mutex_t g_deviceLock = PTHREAD_MUTEX_INITIALIZER;
std::int32_t g_deviceRefCount = 0;
bool g_initDeviceHandling = false;
std::unique_ptr<platform::DiskSession> g_session;
std::unique_ptr<DeviceList> g_pDevices;
bool g_addedToRunLoop = false;
std::string g_unmountFailure;

constexpr std::size_t kFieldSize = sizeof(deviceEntryStruct::mediaName);
constexpr int kMaxPartition = 15;

class Locked {
  public:
    Locked() { pthread_mutex_lock(&g_deviceLock); }
    ~Locked() { pthread_mutex_unlock(&g_deviceLock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

// The longest prefix of valid UTF-8 `text` with at most maxBytes bytes that
// does not split a character.
std::string_view Shortened(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

template <std::size_t N>
void CopyField(char (&field)[N], std::string_view text) {
    const std::string_view fitting = Shortened(text, N - 1);
    std::memcpy(field, fitting.data(), fitting.size());
    field[fitting.size()] = '\0';
}

std::string SizeLine(std::uint64_t mediaSize) {
    char line[64];
    std::snprintf(line, sizeof line, "Size: %6" PRIu64 "MB\n", mediaSize >> 20);
    return line;
}

// A BSD name is an address: it is used whole or not at all. One that does
// not fit its field, could not form a node path or would break a trace line
// makes the disk unusable.
bool UsableBsdName(const std::string& name) {
    if (name.empty() || name.size() >= kFieldSize) return false;
    for (const char c : name) {
        if (c == '/' || (c >= 0 && c < 0x20) || c == 0x7f) return false;
    }
    return true;
}

// Builds a registry entry from an accepted disk. Missing keys give empty texts
// and a size of 0.
std::unique_ptr<deviceEntryStruct> BuildEntry(const platform::DiskObject& disk,
                                              const platform::DiskDescription& description) {
    auto entry = std::make_unique<deviceEntryStruct>();  // zeroed: no stray bytes
    CopyField(entry->bsdName, disk.bsdName);
    CopyField(entry->mediaName, CleanText(description.mediaName.value_or(std::string())));
    entry->mediaSize = description.mediaSize.value_or(0);

    // Model, "\nUSB device\n", size line: the model gives way so the other two
    // always fit whole.
    const std::string tail = "\nUSB device\n" + SizeLine(entry->mediaSize);
    const std::string model = CleanText(description.deviceModel.value_or(std::string()));
    const std::string info = std::string(Shortened(model, kFieldSize - 1 - tail.size())) + tail;
    CopyField(entry->infoText, info);
    entry->partitionMask = 0;
    CopyField(entry->driveIdentity, description.driveIdentity);
    entry->removable = description.removable;
    entry->mediaRemovable = description.mediaRemovable;
    entry->readOnly = description.readOnly;
    return entry;
}

std::string BsdNameOf(const deviceEntryStruct& entry) {
    return std::string(entry.bsdName, strnlen(entry.bsdName, kFieldSize));
}

platform::DiskFacts FactsOf(const deviceEntryStruct& entry) {
    const auto text = [](const char(&field)[kFieldSize]) {
        return std::string(field, strnlen(field, kFieldSize));
    };
    return {entry.mediaSize, text(entry.mediaName), text(entry.infoText),
            text(entry.driveIdentity)};
}

DeviceList::iterator FindEntry(DeviceList& list, const std::string& bsdName) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (bsdName == (*it)->bsdName) return it;
    }
    return list.end();
}

}  // namespace

void InitDeviceHandling() {
    pthread_mutex_init(&g_deviceLock, nullptr);
}

void FinalizeDeviceHandling() {
    pthread_mutex_destroy(&g_deviceLock);
}

bool isUSBStorageDevice(const platform::DiskObject& disk) {
    if (!disk.description) return false;
    const platform::DiskDescription& d = *disk.description;
    if (!d.deviceProtocol || !d.mediaWhole) return false;
    if (*d.deviceProtocol != "USB") return false;
    return *d.mediaWhole && UsableBsdName(disk.bsdName);
}

void storageDeviceFound(const platform::DiskObject& disk, void*) {
    if (!isUSBStorageDevice(disk) || !g_pDevices) return;
    const bool known = FindEntry(*g_pDevices, disk.bsdName) != g_pDevices->end();
    if (!known) {
        // The disk the machine runs from is never offered, even when plugged
        // in by USB, and neither is one the kernel's word cannot clear.
        const auto use = platform::ActiveDiskService().KernelStateOf(disk.bsdName).runningSystem;
        if (use) {
            std::fprintf(stderr, "disk %s %s the running system (%s), not offered\n",
                         disk.bsdName.c_str(), use->certain ? "holds" : "may hold",
                         use->what.c_str());
            return;
        }
    }
    std::fprintf(stderr, "disk %s found\n", disk.bsdName.c_str());
    if (known) return;

    g_pDevices->push_back(BuildEntry(disk, *disk.description));
    deviceEntryStruct& entry = *g_pDevices->back();

    // The probe asks the service whether it knows each partition node. It
    // runs inside the callback, so the registry cannot change meanwhile.
    for (int k = 1; k <= kMaxPartition; ++k) {
        const std::string path = platform::PartitionNodePath(entry.bsdName, k);
        if (DeviceExists(path.c_str())) {
            entry.partitionMask |= static_cast<std::uint16_t>(1u << (k - 1));
            std::fprintf(stderr, "partition %s is mounted\n", path.c_str());
        }
    }
}

void storageDeviceLost(const platform::DiskObject& disk, void*) {
    if (!isUSBStorageDevice(disk)) return;
    std::fprintf(stderr, "disk %s lost\n", disk.bsdName.c_str());
    if (!g_pDevices) return;
    auto it = FindEntry(*g_pDevices, disk.bsdName);
    if (it != g_pDevices->end()) g_pDevices->erase(it);
}

bool DeviceExists(const char* path) {
    if (!g_session) return false;
    const auto disk = g_session->CreateDiskFromPath(path);
    if (!disk) return false;
    return g_session->CopyDescription(*disk).has_value();
}

ConfirmedDevice CheckConfirmedDevice(const deviceEntryStruct& entry) {
    // The entry is caller-supplied: never read past its field.
    const std::string bsdName = BsdNameOf(entry);
    if (!UsableBsdName(bsdName)) return ConfirmedDevice::Gone;
    platform::DiskService& service = platform::ActiveDiskService();
    const platform::DiskObject disk{bsdName, service.Describe(bsdName)};
    if (!isUSBStorageDevice(disk)) return ConfirmedDevice::Gone;
    // Compare what the user was shown, built the same way.
    const auto now = BuildEntry(disk, *disk.description);
    if (!platform::SameDisk(FactsOf(entry), FactsOf(*now))) return ConfirmedDevice::Gone;
    const auto kernel = service.KernelStateOf(bsdName);
    if (kernel.runningSystem) return ConfirmedDevice::RunningSystem;
    if (platform::WriteProtected(now->readOnly, kernel.readOnly))
        return ConfirmedDevice::WriteProtected;
    return ConfirmedDevice::Same;
}

bool DeviceWriteProtected(const deviceEntryStruct& entry) {
    return platform::WriteProtected(
        entry.readOnly, platform::ActiveDiskService().KernelStateOf(BsdNameOf(entry)).readOnly);
}

StorageDeviceHandler::StorageDeviceHandler() {
    Locked lock;
    ++g_deviceRefCount;
    if (!g_initDeviceHandling) {
        g_initDeviceHandling = true;
        g_session = platform::ActiveDiskService().CreateSession();
        g_pDevices = std::make_unique<DeviceList>();
    }
    m_deviceListChanged = false;
    m_deviceList.clear();
}

StorageDeviceHandler::~StorageDeviceHandler() {
    Locked lock;
    if (--g_deviceRefCount == 0) {
        if (g_addedToRunLoop) g_session->UnscheduleFromMainLoop();
        g_addedToRunLoop = false;
        g_initDeviceHandling = false;
        g_session.reset();
        g_pDevices.reset();
    }
    m_deviceList.clear();
}

void StorageDeviceHandler::AddToRunLoop() {
    Locked lock;
    if (g_deviceRefCount != 1) return;
    g_session->RegisterDiskAppearedCallback(storageDeviceFound, nullptr);
    g_session->RegisterDiskDisappearedCallback(storageDeviceLost, nullptr);
    g_session->ScheduleWithMainLoop();
    g_addedToRunLoop = true;
}

void StorageDeviceHandler::RemoveFromRunLoop() {
    Locked lock;
    if (g_deviceRefCount != 1) return;
    g_session->UnscheduleFromMainLoop();
    g_addedToRunLoop = false;
}

void StorageDeviceHandler::UpdateDeviceList() {
    Locked lock;
    m_deviceListChanged = m_deviceList.size() != g_pDevices->size();
    m_deviceList.clear();
    m_deviceList.reserve(g_pDevices->size());
    for (const auto& entry : *g_pDevices) {
        m_deviceList.push_back(std::make_unique<deviceEntryStruct>(*entry));
    }
}

bool StorageDeviceHandler::HasDeviceListChanged() {
    Locked lock;
    return m_deviceListChanged;
}

// ------------------------------------------------------------------ unmount

bool StorageDeviceHandler::UnMountBSDDevice(const char* path, UnmountCallback callback) {
    if (path == nullptr || callback == nullptr) return false;
    platform::DiskService& service = platform::ActiveDiskService();
    auto context = std::make_unique<unmount_context>();
    context->callback = callback;
    context->session = service.CreateSession();

    platform::DiskObject disk{platform::BsdNameFromPath(path), std::nullopt};
    if (disk.bsdName.empty()) return false;
    disk.description = service.Describe(disk.bsdName);

    // The service accepts the request when it knows the disk (or cannot know
    // yet: see the backend); from then on it calls back exactly once.
    unmount_context* raw = context.get();
    const bool accepted =
        service.UnmountWholeDisk(disk.bsdName, [disk, raw](bool success, const std::string& why) {
            raw->why = why;
            unmountFinished(disk, !success, raw);
        });
    if (!accepted) return false;  // the context, and its session, go with `context`
    context.release();
    raw->session->ScheduleWithMainLoop();
    return true;
}

const std::string& UnmountFailureReason() {
    return g_unmountFailure;
}

void unmountFinished(const platform::DiskObject&, bool dissented, unmount_context* context) {
    if (!dissented) {
        Trace("successfully unmounted");
        std::fflush(stdout);
    }
    // Session first, so the callback may at once make a new request.
    context->session->UnscheduleFromMainLoop();
    context->session.reset();
    if (dissented) g_unmountFailure = context->why;
    context->callback(!dissented);
    delete context;
}
