// clear_bench DEVICE
//
// Clears DEVICE with DeviceImageWriter::ClearDevice, as the window does, and
// prints on one line of standard error what it took:
//   seconds   ClearDevice from its call to its return
//   result    1 = cleared (a fresh probe of the device found no signature)
//   why       the failure's kind and detail, when it failed
// It builds the writer's sources directly, without Qt.

#include <chrono>
#include <cstdio>

#include "DeviceImageWriter.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    DeviceImageWriter writer;
    writer.SetDevice(argv[1]);
    const auto start = std::chrono::steady_clock::now();
    const bool cleared = writer.ClearDevice();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::fprintf(stderr, "seconds=%.3f result=%d why=%d:%s\n", seconds.count(), cleared ? 1 : 0,
                 static_cast<int>(writer.Failure().kind), writer.Failure().detail.c_str());
    return cleared ? 0 : 1;
}
