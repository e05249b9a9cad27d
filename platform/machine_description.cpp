#include "platform/machine_description.h"

#include <initializer_list>
#include <limits>
#include <string>

#include "platform/json_document.h"

namespace platform::simulation {
namespace {

using json::Value;

[[noreturn]] void Refuse(const std::string& where, const std::string& what) {
  throw MachineFileError(where + ": " + what);
}

std::string Member(const std::string& where, const char* key) {
  return where.empty() ? key : where + "." + key;
}

std::string Item(const std::string& where, std::size_t index) {
  return where + "[" + std::to_string(index) + "]";
}

void CheckKeys(const Value& object, const std::string& where,
               std::initializer_list<const char*> allowed) {
  for (const auto& member : object.members) {
    bool known = false;
    for (const char* key : allowed) known = known || member.first == key;
    if (!known) Refuse(Member(where, member.first.c_str()), "unknown key");
  }
}

const Value& Object(const Value& value, const std::string& where) {
  if (!value.is_object()) Refuse(where, "must be an object");
  return value;
}

const Value& Array(const Value& value, const std::string& where) {
  if (!value.is_array()) Refuse(where, "must be a list");
  return value;
}

WideString String(const Value& value, const std::string& where) {
  if (!value.is_string()) Refuse(where, "must be a string");
  return WideFromUtf8(value.text);
}

std::uint64_t Unsigned(const Value& value, const std::string& where,
                       std::uint64_t max) {
  if (!value.is_number_unsigned() || value.unsigned_number > max) {
    Refuse(where, "must be an integer from 0 to " + std::to_string(max));
  }
  return value.unsigned_number;
}

std::uint64_t Unsigned64(const Value& value, const std::string& where) {
  return Unsigned(value, where, std::numeric_limits<std::uint64_t>::max());
}

DWORD Dword(const Value& value, const std::string& where) {
  return static_cast<DWORD>(
      Unsigned(value, where, std::numeric_limits<DWORD>::max()));
}

std::int64_t Signed64(const Value& value, const std::string& where) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  if (value.is_number_unsigned() && value.unsigned_number <= kMax) {
    return static_cast<std::int64_t>(value.unsigned_number);
  }
  if (value.is_number_signed()) return value.signed_number;
  Refuse(where, "must be an integer from " +
                    std::to_string(std::numeric_limits<std::int64_t>::min()) +
                    " to " + std::to_string(kMax));
}

// Calls read(value, where) when `key` is present in `object`.
template <class Read>
void Optional(const Value& object, const char* key, const std::string& where,
              Read&& read) {
  const Value* found = object.Find(key);
  if (found != nullptr) read(*found, Member(where, key));
}

// Reads `key`, when present, into `field` with read(value, where).
template <class Field, class Read>
void OptionalField(const Value& object, const char* key,
                   const std::string& where, Field& field, Read&& read) {
  Optional(object, key, where, [&](const Value& value, const std::string& at) {
    field = read(value, at);
  });
}

// Reads each item of the list `key`, when present, with read(item, where).
template <class Element, class Read>
void OptionalList(const Value& object, const char* key,
                  const std::string& where, std::vector<Element>& list,
                  Read&& read) {
  Optional(object, key, where, [&](const Value& value, const std::string& at) {
    for (std::size_t i = 0; i < Array(value, at).items.size(); ++i) {
      list.push_back(read(value.items[i], Item(at, i)));
    }
  });
}

const Value& Required(const Value& object, const char* key,
                      const std::string& where) {
  const Value* found = object.Find(key);
  if (found == nullptr) {
    Refuse(where, std::string("missing required key \"") + key + "\"");
  }
  return *found;
}

PathsFailure ReadPathsFailure(const Value& value, const std::string& where) {
  CheckKeys(Object(value, where), where, {"code", "returned_length"});
  return {Dword(Required(value, "code", where), where + ".code"),
          Dword(Required(value, "returned_length", where),
                where + ".returned_length")};
}

FindNextFailure ReadFindNextFailure(const Value& value,
                                    const std::string& where) {
  CheckKeys(Object(value, where), where, {"after", "code"});
  return {Unsigned64(Required(value, "after", where), where + ".after"),
          Dword(Required(value, "code", where), where + ".code")};
}

void ReadFailures(const Value& value, const std::string& where, Volume& volume) {
  CheckKeys(Object(value, where), where, {"paths", "info", "capacity"});
  OptionalField(value, "paths", where, volume.fail_paths, ReadPathsFailure);
  OptionalField(value, "info", where, volume.fail_info, Dword);
  OptionalField(value, "capacity", where, volume.fail_capacity, Dword);
}

std::uint32_t Milliseconds(const Value& value, const std::string& where) {
  return static_cast<std::uint32_t>(
      Unsigned(value, where, std::numeric_limits<std::int32_t>::max()));
}

void ReadStalls(const Value& value, const std::string& where, Stalls& stall) {
  CheckKeys(Object(value, where), where,
            {"paths", "info", "drive_type", "capacity"});
  OptionalField(value, "paths", where, stall.paths, Milliseconds);
  OptionalField(value, "info", where, stall.info, Milliseconds);
  OptionalField(value, "drive_type", where, stall.drive_type, Milliseconds);
  OptionalField(value, "capacity", where, stall.capacity, Milliseconds);
}

Volume ReadVolume(const Value& value, const std::string& where) {
  CheckKeys(Object(value, where), where,
            {"name", "paths", "label", "serial", "max_component_length",
             "flags", "filesystem", "drive_type", "total_bytes", "handles",
             "fail", "stall"});
  Volume volume;
  volume.name = String(Required(value, "name", where), where + ".name");
  OptionalList(value, "paths", where, volume.paths, String);
  OptionalField(value, "label", where, volume.label, String);
  OptionalField(value, "serial", where, volume.serial, Dword);
  OptionalField(value, "max_component_length", where,
                volume.max_component_length, Dword);
  OptionalField(value, "flags", where, volume.flags, Dword);
  OptionalField(value, "filesystem", where, volume.filesystem, String);
  OptionalField(value, "drive_type", where, volume.drive_type, Dword);
  OptionalField(value, "total_bytes", where, volume.total_bytes, Unsigned64);
  OptionalList(value, "handles", where, volume.handles, Signed64);
  Optional(value, "fail", where, [&](const Value& v, const std::string& at) {
    ReadFailures(v, at, volume);
  });
  Optional(value, "stall", where, [&](const Value& v, const std::string& at) {
    ReadStalls(v, at, volume.stall);
  });
  return volume;
}

// Volumes in file order, so that the first volume to claim a key keeps it.
void IndexVolumes(MachineDescription& machine) {
  for (std::size_t index = 0; index < machine.volumes.size(); ++index) {
    const Volume& volume = machine.volumes[index];
    machine.volume_by_name_or_path.emplace(
        WithoutTrailingBackslash(volume.name), index);
    for (const WideString& path : volume.paths) {
      machine.volume_by_name_or_path.emplace(WithoutTrailingBackslash(path),
                                             index);
    }
    for (const std::int64_t handle : volume.handles) {
      machine.volume_by_handle.emplace(handle, index);
    }
  }
}

Value ReadDocument(std::string_view json_text) {
  try {
    return json::Read(json_text);
  } catch (const json::SyntaxError& error) {
    throw MachineFileError(error.what());
  }
}

}  // namespace

MachineDescription ParseMachineDescription(std::string_view json_text) {
  const Value document = ReadDocument(json_text);
  if (!document.is_object()) Refuse("top level", "must be an object");
  CheckKeys(document, "", {"volumes", "find_first_error", "find_next_error"});
  MachineDescription machine;
  OptionalList(document, "volumes", "", machine.volumes, ReadVolume);
  OptionalField(document, "find_first_error", "", machine.find_first_error,
                Dword);
  OptionalField(document, "find_next_error", "", machine.find_next_error,
                ReadFindNextFailure);
  IndexVolumes(machine);
  return machine;
}

const Volume* FindVolume(const MachineDescription& machine,
                         WideStringView name_or_path) {
  const auto found = machine.volume_by_name_or_path.find(
      WideString(WithoutTrailingBackslash(name_or_path)));
  if (found == machine.volume_by_name_or_path.end()) return nullptr;
  return &machine.volumes[found->second];
}

}  // namespace platform::simulation
