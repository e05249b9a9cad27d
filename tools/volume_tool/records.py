"""What the command shows of a volume: its --json object, a record, made from
the table's entry and what the command reads itself, or from what the
listing tells of a volume that the table left out."""

import collections
import os

from volume_tool import deadline
from volume_tool import disk_space
from volume_tool import flags as volume_flags
from volume_tool import left_out
from volume_tool import text

# The keys of a record, in their order.
KEYS = ('volume', 'mountpoint', 'mountpoints', 'label', 'filesystem',
        'device_type', 'size', 'used', 'avail', 'use%', 'device_file', 'uuid',
        'device_number', 'ro', 'flags', 'maxcomp', 'target', 'state')


def DeviceTypeName(device_type):
  return text.Text(getattr(device_type, 'name', None) or device_type)


def MountPoints(volumes, entry):
  """Every mount point of the entry's volume: the table's choice first, then
  the others in the order the module lists them."""
  try:
    listed = volumes._GetVolumePathNamesForVolumeName(entry.device_file)
  except WindowsError:
    listed = None
  return [text.Text(entry.mountpoint)] + [
      text.Text(path) for path in listed or () if path != entry.mountpoint]


def VolumeFlags(volumes, entry):
  """(flags, longest name) of the entry's volume, as GetVolumeInformation
  reads them now; (None, None) where it cannot."""
  try:
    _, _, max_component_length, flag_bits, _ = volumes.GetVolumeInformation(
        entry.device_file)
  except (WindowsError, TypeError, ValueError):
    return None, None
  return flag_bits, max_component_length


def Spaces(mount_points, simulated):
  """DiskSpace of each mount point, all read within one deadline; none for
  a simulated machine, whose mount points are not this machine's."""
  if simulated:
    return [None] * len(mount_points)
  return disk_space.DiskSpaces(mount_points)


def Record(entry, mount_points, space=None, volume_flags_read=(None, None),
           target=None):
  """The record of a table entry, with what the command read: its mount
  points, DiskSpace's (size, used, available), VolumeFlags', and the
  mount point that holds a PATH."""
  record = collections.OrderedDict((key, None) for key in KEYS)
  record['volume'] = text.Text(entry.volume)
  record['mountpoint'] = text.Text(entry.mountpoint)
  record['mountpoints'] = mount_points
  record['label'] = text.Text(entry.label)
  record['filesystem'] = text.Text(entry.filesystem)
  record['device_type'] = DeviceTypeName(entry.device_type)
  record['size'] = entry.size
  if space:
    record['used'], record['avail'] = space[1], space[2]
    record['use%'] = disk_space.UsePercent(*space[1:])
  record['device_file'] = text.Text(entry.device_file)
  record['uuid'] = None if entry.uuid is None else text.Text(entry.uuid)
  record['device_number'] = entry.device_number
  flag_bits, max_component_length = volume_flags_read
  if flag_bits is not None:
    record['ro'] = bool(flag_bits & volume_flags.READ_ONLY_VOLUME)
    record['flags'] = collections.OrderedDict(
        [('value', flag_bits), ('names', volume_flags.Names(flag_bits))])
  record['maxcomp'] = max_component_length
  record['target'] = target
  record['state'] = left_out.OK
  return record


def LeftOutRecord(volumes, volume):
  """The record of a volume that the table left out: what the listing tells
  of it, and why it is not in the table."""
  record = collections.OrderedDict((key, None) for key in KEYS)
  record['mountpoint'] = volume.mount_points[0] if volume.mount_points else None
  record['mountpoints'] = volume.mount_points
  record['device_file'] = text.Text(volume.name)
  match = volumes.VOLUME_NAME_GUID_MATCHER.match(volume.name)
  record['uuid'] = text.Text(match.group(1)) if match else None
  record['state'] = volume.state
  return record


def JsonBytes(data, indent=None):
  """UTF-8 JSON and a newline: indented, or all on one line."""
  import json  # pylint: disable=g-import-not-at-top
  data = json.dumps(data, indent=indent, ensure_ascii=False,
                    separators=(',' if indent else ', ', ': ')) + u'\n'
  return data.encode('utf-8') if isinstance(data, unicode) else data


def Target(mount_points, real_path):
  """The longest of the mount points that holds `real_path` (a path with
  its links resolved): where the path lies when a volume has several,
  as findmnt -T tells it.  None where none does (a simulated machine's
  mount points are not this machine's)."""
  if real_path is None:
    return None
  normalize = os.path.normcase
  path = normalize(text.Text(real_path)).rstrip(os.sep) + os.sep
  holding = [mount_point for mount_point in mount_points
             if path.startswith(normalize(mount_point).rstrip(os.sep) + os.sep)]
  return max(holding, key=len) if holding else None
