// The Linux machine: the kernel32 volume calls answered from a mount table
// (mount_table.h), the process's own (NativeMachine) or one of a test's, to
// check what no real machine here can show (a device number wider than 32
// bits, a drive type of each kind).
#pragma once

#include <memory>

#include "platform/machine.h"
#include "platform/mount_table.h"

namespace platform {

// A machine that answers from `source`, which outlives it.
std::unique_ptr<Machine> MakeLinuxMachine(linux_mounts::MountTableSource& source);

}  // namespace platform
