#include "StorageDeviceHandler.h"

// Placeholder: the registry lands with its own change.

void InitDeviceHandling() {}
void FinalizeDeviceHandling() {}
bool isUSBStorageDevice(const platform::DiskObject&) { return false; }
void storageDeviceFound(const platform::DiskObject&, void*) {}
void storageDeviceLost(const platform::DiskObject&, void*) {}
bool DeviceExists(const char*) { return false; }
bool DeviceStillPresent(const deviceEntryStruct&) { return false; }

StorageDeviceHandler::StorageDeviceHandler() = default;
StorageDeviceHandler::~StorageDeviceHandler() = default;
void StorageDeviceHandler::AddToRunLoop() {}
void StorageDeviceHandler::RemoveFromRunLoop() {}
void StorageDeviceHandler::UpdateDeviceList() {}
bool StorageDeviceHandler::HasDeviceListChanged() { return m_deviceListChanged; }
bool StorageDeviceHandler::UnMountBSDDevice(const char*, UnmountCallback) { return false; }
