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

#include "platform/DiskService.h"

struct deviceEntryStruct {
    char mediaName[255];
    char bsdName[255];
    char infoText[255];
    std::uint64_t mediaSize;
    std::uint16_t partitionMask;
};

using DeviceList = std::vector<std::unique_ptr<deviceEntryStruct>>;

using UnmountCallback = void (*)(bool success);

void InitDeviceHandling();
void FinalizeDeviceHandling();

bool isUSBStorageDevice(const platform::DiskObject& disk);
void storageDeviceFound(const platform::DiskObject& disk, void* context);
void storageDeviceLost(const platform::DiskObject& disk, void* context);
bool DeviceExists(const char* path);

// true when the disk service still knows entry.bsdName as the same disk:
// a USB whole disk with the same size and model. Checked right before a stick
// is unmounted, so that the stick written is the stick the user confirmed.
bool DeviceStillPresent(const deviceEntryStruct& entry);

// One outstanding unmount request: made by UnMountBSDDevice, freed by
// unmountFinished after the callback returns.
struct unmount_context {
    UnmountCallback callback;
    std::unique_ptr<platform::DiskSession> session;  // this request's own session
};

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
