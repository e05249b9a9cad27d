// The Linux machine over a mount table of one's choosing: tests hand it a
// table written for them, to check what no real machine here can show (a
// device number wider than 32 bits, a drive type of each kind).
#pragma once

#include <memory>
#include <string>

#include "platform/machine.h"

namespace platform {

// A machine that answers from the mount table in `mountinfo_path`, read
// again at every call.
std::unique_ptr<Machine> MakeLinuxMachine(std::string mountinfo_path);

}  // namespace platform
