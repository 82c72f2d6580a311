#pragma once
// The system's disk service over UDisks2 on the D-Bus system bus.
// (Placeholder until the UDisks2 backend lands: knows no disks.)

#include "platform/DiskService.h"
