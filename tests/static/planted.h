// planted.h - what the planted-fault cases share: a device record with two
// spin locks, a mutex and an event, reached from the device object the way
// the driver reaches its own.
#pragma once

#include "platform/platform.h"

struct Record {
    // the device below; set once
    PDEVICE_OBJECT lower;
    // read path lock
    KSPIN_LOCK readLock;
    // write path lock
    KSPIN_LOCK writeLock;
    // serialises configuration
    KMUTEX configMutex;
    // signalled when a transfer ends
    KEVENT done;
    // bytes counted; readLock
    ULONG count;
};

#define RECORD(device) static_cast<Record*>((device)->DeviceExtension)
