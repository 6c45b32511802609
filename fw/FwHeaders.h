// The kernel's FireWire character-device interface at the ABI version kestrix-fwd is written
// for. The header redefines the macro to a legacy value, so the version the bridge declares to
// the kernel is kAbiVersion.
#pragma once

#define FW_CDEV_VERSION 5
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>

namespace fw {
// Version 5: the kernel sends an interrupt event before its header buffer overflows.
inline constexpr unsigned kAbiVersion = 5;
}  // namespace fw
