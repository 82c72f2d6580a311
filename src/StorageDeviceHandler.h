#pragma once
// USB whole disks as the disk service reports them: a process-wide registry
// filled by the disk callbacks while discovery runs, private snapshots of it
// for each StorageDeviceHandler, and the whole-disk unmount.
//
// Threads: everything runs on the Qt main thread; the disk callbacks are
// delivered from its event loop while the shared session is scheduled.
// g_deviceLock guards the shared state for the locked operations.
//
// Ownership: the registry owns the entries the callbacks build; each handler
// owns the copies in its snapshot; callers own the copies they make. Each
// unmount request owns its unmount_context (and the session in it) until
// unmountFinished frees it.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/disks/DiskService.h"

struct deviceEntryStruct {
    char mediaName[255];
    char bsdName[255];
    char infoText[255];
    std::uint64_t mediaSize;
    std::uint16_t partitionMask;
    // What tells this disk from an identical one, and how it may be used, as
    // the service described it when it was found.
    char driveIdentity[255];  // serial, else WWN, else the service's drive path
    bool removable;           // the drive, or its media, can be taken out
    bool mediaRemovable;
    bool readOnly;  // the service's word; the kernel's is asked when it matters
};

using DeviceList = std::vector<std::unique_ptr<deviceEntryStruct>>;

using UnmountCallback = void (*)(bool success);

void InitDeviceHandling();
void FinalizeDeviceHandling();

bool isUSBStorageDevice(const platform::DiskObject& disk);
void storageDeviceFound(const platform::DiskObject& disk, void* context);
void storageDeviceLost(const platform::DiskObject& disk, void* context);
bool DeviceExists(const char* path);

// What the disk confirmed by the user is now, checked right before it is
// unmounted, so that the stick written is the stick confirmed. Gone: the
// service no longer knows entry.bsdName as a USB whole disk with the same
// size, model and drive identity (pulled out, or replaced by another stick).
enum class ConfirmedDevice { Same, Gone, RunningSystem, WriteProtected };
ConfirmedDevice CheckConfirmedDevice(const deviceEntryStruct& entry);

// Write-protected, by the service's word at the scan or the kernel's now.
bool DeviceWriteProtected(const deviceEntryStruct& entry);

// One outstanding unmount request: made by UnMountBSDDevice, freed by
// unmountFinished after the callback returns.
struct unmount_context {
    UnmountCallback callback;
    std::unique_ptr<platform::DiskSession> session;  // this request's own session
    std::string why;                                 // the service's reason when it failed
};

// Why the last unmount request that failed did, in a sentence for the user;
// set before its callback is called.
const std::string& UnmountFailureReason();

// Completion of an unmount request; dissented is true when the service
// refused or failed the unmount.
void unmountFinished(const platform::DiskObject& disk, bool dissented, unmount_context* context);

class StorageDeviceHandler {
  public:
    StorageDeviceHandler();
    ~StorageDeviceHandler();
    StorageDeviceHandler(const StorageDeviceHandler&) = delete;
    StorageDeviceHandler& operator=(const StorageDeviceHandler&) = delete;

    void AddToRunLoop();
    void RemoveFromRunLoop();
    void UpdateDeviceList();
    const DeviceList& GetDeviceList() const { return m_deviceList; }
    bool HasDeviceListChanged();

    static bool UnMountBSDDevice(const char* path, UnmountCallback callback);

  private:
    DeviceList m_deviceList;
    bool m_deviceListChanged = false;
};
