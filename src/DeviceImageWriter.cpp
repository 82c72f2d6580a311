#include "DeviceImageWriter.h"

// Placeholder: the writer lands with its own change.

std::atomic<bool> g_cancelThread{false};

void SetString(std::string* destination, const char* source) { *destination = source; }
bool FileExists(const char*) { return false; }
std::int64_t FileSize(const char*) { return -1; }
void* UnzipThread(void*) { return nullptr; }
void* WriteImageThread(void*) { return nullptr; }

DeviceImageWriter::DeviceImageWriter()
    : m_unzipData(std::make_unique<unzip_thread_data>()),
      m_writeData(std::make_unique<write_image_thread_data>()) {
    SetString(&m_tempDirectory, "/tmp");
}
DeviceImageWriter::~DeviceImageWriter() = default;
void DeviceImageWriter::SetTempDirectory(const char* directory) { SetString(&m_tempDirectory, directory); }
void DeviceImageWriter::SetImageFile(const char* path) {
    m_imageFileValid = FileExists(path);
    if (m_imageFileValid) SetString(&m_imageFile, path);
}
void DeviceImageWriter::SetDevice(const char* path) { SetString(&m_devicePath, path); }
bool DeviceImageWriter::ClearDevice() { return false; }
void DeviceImageWriter::StopImageWriting() { g_cancelThread = true; }
bool DeviceImageWriter::WriteImage(FinishedCallback, ProgressCallback) { return false; }
bool DeviceImageWriter::UnzipImageFileToTemp() { return false; }
