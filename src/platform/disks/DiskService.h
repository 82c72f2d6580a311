#pragma once
// The system's disk service as the device registry and the unmount service see
// it: a backend that knows the disks present now (DiskService), and sessions
// through which callers learn of disks appearing and disappearing
// (DiskSession). It also tells what the kernel says of a disk's use: whether
// the running system is on it, whether it is write-protected.
//
// Threads: everything here runs on the Qt main thread. Callbacks are delivered
// from the main event loop, never from inside a call into this API, and only
// while their session is scheduled.
//
// Ownership: the process-wide service (ActiveDiskService) lives until
// ResetDiskService or program end and must outlive every session made from
// it. A session belongs to whoever created it.

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/disks/DriveSafety.h"
#include "platform/disks/EverydayStick.h"

namespace platform {

// What the service tells of one disk, under the keys the registry reads.
// A missing value means the key is absent.
struct DiskDescription {
    std::optional<std::string> deviceProtocol;  // "DADeviceProtocol", e.g. "USB"
    std::optional<bool> mediaWhole;             // "DAMediaWhole": not a partition
    std::optional<std::string> mediaName;       // "DAMediaName": vendor and model
    std::optional<std::uint64_t> mediaSize;     // "DAMediaSize": bytes
    std::optional<std::string> deviceModel;     // "DADeviceModel"
    std::string driveIdentity;  // serial, else WWN, else object path (DriveIdentity)
    bool removable = false;     // the drive can be unplugged by the user
    bool mediaRemovable = false;
    bool readOnly = false;  // the service says the medium is read-only
    bool operator==(const DiskDescription&) const = default;
};

// A disk as reported: its BSD name ("sdb") and its description as it stood
// when the report was made, so a vanished disk still has both.
struct DiskObject {
    std::string bsdName;
    std::optional<DiskDescription> description;
};

using DiskCallback = void (*)(const DiskObject& disk, void* context);
// why: when it failed, a sentence for the user saying why.
using UnmountDone = std::function<void(bool success, const std::string& why)>;

class DiskSession;

class DiskService {
  public:
    DiskService() = default;
    DiskService(const DiskService&) = delete;
    DiskService& operator=(const DiskService&) = delete;
    virtual ~DiskService();

    std::unique_ptr<DiskSession> CreateSession();

    // The current description of a disk, or none when the service does not
    // know it (now).
    std::optional<DiskDescription> Describe(const std::string& bsdName) const;

    // Every disk known now, in the order the service first reported them.
    const std::vector<DiskObject>& Disks() const { return m_disks; }

    // Starts an unmount (not forced) of every mounted volume of the whole
    // disk (the disk and its partitions). Returns false when the service does
    // not know the disk; then `done` is never called. Otherwise `done` is
    // called exactly once, later, from the main event loop: true when every
    // volume was unmounted (also when nothing was mounted). A volume still in
    // use stays mounted; a line on standard output names it.
    virtual bool UnmountWholeDisk(const std::string& bsdName, UnmountDone done) = 0;

    // Powers the disk's drive off so that it can be pulled out safely (it
    // may wait on a password prompt). `done` is called exactly once, later,
    // from the main event loop, with why it failed when it did.
    virtual void PowerOffDrive(const std::string& bsdName, UnmountDone done);

    // Has the service read the disk's partition table and signatures again,
    // so that the desktop sees at once what a clear left. Fire and forget.
    virtual void RescanDisk(const std::string& bsdName);

    // Makes the disk an everyday stick as `plan` says: a new MBR partition
    // table over the whole disk, then one partition of the plan's type and
    // size with its file system and label, owned by the user asking. The
    // service's own tools make them; all that was on the disk is lost, and
    // its volumes must be unmounted first. It may wait on a password prompt.
    // `done` is called exactly once, later, from the main event loop, with
    // the service's reason in a sentence when it failed; a plan with a
    // problem fails without anything touched.
    virtual void MakeEverydayStick(const std::string& bsdName, const EverydayStick& plan,
                                   UnmountDone done);

    // What the kernel says now of the disk's use (read afresh each call):
    // the running system's use of it (RunningSystemOn), and whether the
    // kernel holds it read-only.
    struct KernelState {
        std::optional<SystemUse> runningSystem;
        bool readOnly = false;
    };
    virtual KernelState KernelStateOf(const std::string& bsdName) const;

  protected:
    // Called whenever a session is scheduled (a scan starts): a backend whose
    // last look at the system failed asks again here.
    virtual void Rescan() {}

    // Backends report what they learn through these; sessions are told.
    // SetDisk adds a disk at the end of the order, or updates it in place.
    void SetDisk(const std::string& bsdName, const DiskDescription& description);
    void RemoveDisk(const std::string& bsdName);
    void RemoveAllDisks();

  private:
    friend class DiskSession;
    void NotifySessions();

    std::vector<DiskObject> m_disks;
    std::vector<DiskSession*> m_sessions;
};

// One subscriber to a DiskService. While scheduled it delivers, from the main
// event loop: at the first schedule every disk present; at a later schedule
// what changed while it was not scheduled; then changes as they happen. A disk
// whose description changed is reported lost (old description), then found.
class DiskSession {
  public:
    explicit DiskSession(DiskService& service);
    DiskSession(const DiskSession&) = delete;
    DiskSession& operator=(const DiskSession&) = delete;
    ~DiskSession();

    // A later registration replaces an earlier one.
    void RegisterDiskAppearedCallback(DiskCallback callback, void* context);
    void RegisterDiskDisappearedCallback(DiskCallback callback, void* context);

    // Also lets the service look again (DiskService::Rescan).
    void ScheduleWithMainLoop();
    void UnscheduleFromMainLoop();  // does nothing when not scheduled

    // A disk object for a device path "/dev/NAME", or none when the service
    // does not know a disk of that name.
    std::optional<DiskObject> CreateDiskFromPath(const char* path) const;

    // The disk's current description, or none when the service no longer
    // knows it.
    std::optional<DiskDescription> CopyDescription(const DiskObject& disk) const;

  private:
    friend class DiskService;
    void ServiceChanged();
    void PostDelivery();
    void Deliver();

    DiskService& m_service;
    std::vector<DiskObject> m_delivered;  // what the callbacks have been told
    DiskCallback m_appeared = nullptr;
    void* m_appearedContext = nullptr;
    DiskCallback m_disappeared = nullptr;
    void* m_disappearedContext = nullptr;
    bool m_scheduled = false;
    bool m_deliveryPosted = false;
    // Receiver of posted deliveries: destroying it drops those not yet run.
    std::unique_ptr<QObject> m_postTarget;
    std::shared_ptr<bool> m_alive;
};

// The process-wide disk service: the one installed by InstallDiskService, or
// else the system's (UDisks2), made at first use.
DiskService& ActiveDiskService();

// Tests install their own service; nullptr goes back to the system's.
// The caller keeps ownership of an installed service.
void InstallDiskService(DiskService* service);

// Destroys the system service made by ActiveDiskService, if any.
void ResetDiskService();

// Made by the UDisks2 backend.
std::unique_ptr<DiskService> CreateSystemDiskService();

}  // namespace platform
