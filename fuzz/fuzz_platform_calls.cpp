// libFuzzer target: the kernel32 calls of the platform layer on fuzzed
// simulated machines, with fuzzed arguments, buffer lengths, handles and
// switches between machines.
//
// The input is a machine file, then optionally a 0xFF byte and a script of
// calls; without a script, every call is made once on every name and path
// of the machine.  Buffers are exactly as long as the call is told, so a
// write past one is a sanitizer report.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel32.h"
#include "platform/machine_description.h"
#include "platform/wide_string.h"

namespace {

using namespace platform;

std::string directory;
std::string other_file;  // a second machine, to switch to

std::string WriteMachine(const std::string& name, const std::string& text) {
  const std::string file = directory + "/" + name;
  std::FILE* out = std::fopen((file + ".new").c_str(), "wb");
  if (out == nullptr) std::abort();
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
  std::rename((file + ".new").c_str(), file.c_str());
  return file;
}

[[noreturn]] void Fault(const char* what) {
  std::fprintf(stderr, "fault: %s\n", what);
  std::abort();
}

// Checks that a successful call left a NUL-terminated text in `buffer`.
void ExpectTerminated(const std::vector<WCHAR>& buffer) {
  for (WCHAR unit : buffer) {
    if (unit == 0) return;
  }
  Fault("no NUL in a buffer the call reported filled");
}

struct Caller {
  std::vector<HANDLE> open;

  void FindFirst(DWORD length) {
    std::vector<WCHAR> name(length);
    const HANDLE find = FindFirstVolumeW(length ? name.data() : nullptr, length);
    if (find == InvalidHandleValue()) return;
    ExpectTerminated(name);
    open.push_back(find);
  }
  void FindNext(HANDLE find, DWORD length) {
    std::vector<WCHAR> name(length);
    if (FindNextVolumeW(find, length ? name.data() : nullptr, length)) {
      ExpectTerminated(name);
    }
  }
  void Close(HANDLE find) {
    FindVolumeClose(find);
    for (auto it = open.begin(); it != open.end(); ++it) {
      if (*it == find) {
        open.erase(it);
        break;
      }
    }
  }
  void PathNames(const WideString& name, DWORD length, bool with_returned) {
    std::vector<WCHAR> paths(length);
    DWORD returned = 0xDEADBEEF;
    const BOOL ok = GetVolumePathNamesForVolumeNameW(
        name.c_str(), length ? paths.data() : nullptr, length,
        with_returned ? &returned : nullptr);
    if (ok && with_returned) {
      if (returned > length || returned == 0) Fault("returned length");
      if (paths[returned - 1] != 0) Fault("list not ended by a NUL");
    }
  }
  void Information(const WideString& root, DWORD label_length,
                   DWORD filesystem_length, bool numbers) {
    std::vector<WCHAR> label(label_length), filesystem(filesystem_length);
    DWORD serial, component, flags;
    if (GetVolumeInformationW(root.c_str(),
                              label_length ? label.data() : nullptr,
                              label_length, numbers ? &serial : nullptr,
                              numbers ? &component : nullptr,
                              numbers ? &flags : nullptr,
                              filesystem_length ? filesystem.data() : nullptr,
                              filesystem_length)) {
      if (label_length) ExpectTerminated(label);
      if (filesystem_length) ExpectTerminated(filesystem);
    }
  }
  void InformationByHandle(HANDLE file, DWORD label_length) {
    std::vector<WCHAR> label(label_length);
    DWORD serial;
    GetVolumeInformationByHandleW(file, label_length ? label.data() : nullptr,
                                  label_length, &serial, nullptr, nullptr,
                                  nullptr, 0);
  }
  void Capacity(const WideString& directory_name, bool all) {
    ULONGLONG free_to_caller, total, total_free;
    GetDiskFreeSpaceExW(directory_name.c_str(), all ? &free_to_caller : nullptr,
                        &total, all ? &total_free : nullptr);
  }

  ~Caller() {
    for (HANDLE find : open) FindVolumeClose(find);
  }
};

// Every call once on every name and path of `machine`.
void CallEverything(const simulation::MachineDescription& machine) {
  Caller caller;
  caller.FindFirst(kMaxPath + 1);
  for (int round = 0; round < 64 && !caller.open.empty(); ++round) {
    caller.FindNext(caller.open.back(), kMaxPath + 1);
  }
  for (const simulation::Volume& volume : machine.volumes) {
    std::vector<WideString> names = volume.paths;
    names.push_back(volume.name);
    for (const WideString& name : names) {
      caller.PathNames(name, 64, true);
      caller.Information(name, kMaxPath + 1, kMaxPath + 1, true);
      caller.Capacity(name, true);
      GetDriveTypeW(name.c_str());
    }
    for (const std::int64_t handle : volume.handles) {
      caller.InformationByHandle(reinterpret_cast<HANDLE>(handle), kMaxPath + 1);
    }
  }
}

HANDLE FuzzedHandle(FuzzedDataProvider& input, const Caller& caller) {
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
      if (!caller.open.empty()) {
        return caller.open[input.ConsumeIntegralInRange<std::size_t>(
            0, caller.open.size() - 1)];
      }
      return nullptr;
    case 1:
      return reinterpret_cast<HANDLE>(input.ConsumeIntegralInRange<std::intptr_t>(-2, 8));
    default:
      return reinterpret_cast<HANDLE>(input.ConsumeIntegral<std::intptr_t>());
  }
}

WideString FuzzedText(FuzzedDataProvider& input) {
  const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 300);
  WideString text;
  for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
    const WCHAR unit = input.ConsumeIntegral<std::uint16_t>();
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

void RunScript(FuzzedDataProvider& input, const std::string& machine_file,
               const std::string& other_file) {
  Caller caller;
  while (input.remaining_bytes() > 0) {
    const DWORD length = input.ConsumeIntegralInRange<DWORD>(0, 300);
    switch (input.ConsumeIntegralInRange(0, 11)) {
      case 0: caller.FindFirst(length); break;
      case 1: caller.FindNext(FuzzedHandle(input, caller), length); break;
      case 2: caller.Close(FuzzedHandle(input, caller)); break;
      case 3: caller.PathNames(FuzzedText(input), length, input.ConsumeBool()); break;
      case 4:
        caller.Information(FuzzedText(input), length,
                           input.ConsumeIntegralInRange<DWORD>(0, 300),
                           input.ConsumeBool());
        break;
      case 5: caller.InformationByHandle(FuzzedHandle(input, caller), length); break;
      case 6: caller.Capacity(FuzzedText(input), input.ConsumeBool()); break;
      case 7: GetDriveTypeW(FuzzedText(input).c_str()); break;
      // The machine changes under open enumerations.
      case 8: setenv("VOLUMES_SIMULATION", other_file.c_str(), 1); break;
      case 9: setenv("VOLUMES_SIMULATION", machine_file.c_str(), 1); break;
      case 10:
        setenv("VOLUMES_SIMULATION_JOURNAL",
               input.ConsumeBool() ? "/dev/null" : "", 1);
        break;
      case 11: unsetenv("VOLUMES_SIMULATION"); break;  // the real machine
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/volumes-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  directory = pattern;
  // A fuzzed stall waits a millisecond at most: the deadline holds here
  // as it does for a host.
  setenv("VOLUMES_QUERY_TIMEOUT_MS", "1", 1);
  other_file = WriteMachine(
      "other.json", R"({"volumes": [{"name": "\\\\?\\Volume{o}\\", "paths": ["C:\\"]}]})");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const char* begin = reinterpret_cast<const char*>(data);
  const char* separator =
      static_cast<const char*>(std::memchr(begin, 0xFF, size));
  const std::string text(begin, separator ? separator : begin + size);
  const std::string machine_file = WriteMachine("machine.json", text);
  setenv("VOLUMES_SIMULATION", machine_file.c_str(), 1);
  unsetenv("VOLUMES_SIMULATION_JOURNAL");
  if (separator == nullptr) {
    try {
      CallEverything(simulation::ParseMachineDescription(text));
    } catch (const simulation::MachineFileError&) {
      CallEverything(simulation::MachineDescription{});  // every call refused
    }
    return 0;
  }
  FuzzedDataProvider script(data + (separator - begin) + 1,
                            size - (separator - begin) - 1);
  RunScript(script, machine_file, other_file);
  return 0;
}
