"""The machine that the module sees, written as a simulated-machine file, so
that a test can reproduce a user's machine from one command run on it.

Names, mount points, labels, serial numbers, limits, flags and filesystems
come from the module's own functions.  Drive types and sizes come from
kernel32 on Windows, and elsewhere from the volume table, whose entries keep
them (a volume that the table lacks gets an unknown drive type).  A call
that fails is captured as the failure that the format describes, so that
the file, read back through VOLUMES_SIMULATION, gives the same table.
"""

import collections
import json
import os
import sys
import tempfile

from volume_tool import deadline
from volume_tool import disk_space
from volume_tool import replace_file
from volume_tool import text
from volume_tool import win32


def CaptureMachine(volumes, table, simulated):
  """The machine file's object, one volume object per name that `volumes`
  lists, the volumes without a mount point included.  `table` is the
  service's volume table; `simulated` says whether the module answers from
  a machine file, which kernel32 and statvfs know nothing of."""
  entries = dict((entry.device_file, entry) for entry in table.values())
  use_kernel32 = sys.platform == 'win32' and not simulated
  machine_volumes = []
  for name in volumes._ListVolumeNames():
    volume = collections.OrderedDict([('name', name)])
    fail = collections.OrderedDict()
    try:
      volume['paths'] = [text.Text(path) for path in
                         volumes._GetVolumePathNamesForVolumeName(name) or ()]
    except WindowsError as error:
      # The module raises only where the failed call reported a length of
      # two or more (less reads as no mount point); two raises again.
      volume['paths'] = []
      fail['paths'] = collections.OrderedDict(
          [('code', error.winerror or 0), ('returned_length', 2)])
    try:
      label, serial, max_component_length, flags, filesystem = (
          volumes.GetVolumeInformation(name))
    except WindowsError as error:
      fail['info'] = error.winerror or 0
    else:
      volume['label'] = text.Text(label)
      volume['serial'] = serial
      volume['max_component_length'] = max_component_length
      volume['flags'] = flags
      volume['filesystem'] = text.Text(filesystem)
    if use_kernel32:
      _AskKernel32(name, volume, fail)
    else:
      _AskTable(entries.get(name), volumes.DRIVE_TYPE_MAP, volume, simulated)
    if fail:
      volume['fail'] = fail
    machine_volumes.append(volume)
  return collections.OrderedDict([('volumes', machine_volumes)])


def _AskKernel32(name, volume, fail):
  import ctypes
  kernel32 = disk_space.Kernel32()
  kernel32.GetDriveTypeW.restype = ctypes.c_uint
  drive_type, capacity = deadline.Answers([
      (name, kernel32.GetDriveTypeW, (ctypes.c_wchar_p(name),)),
      (name, disk_space.Kernel32Capacity, (name,))])
  # As the module's GetDriveTypeW answers a volume that does not answer.
  volume['drive_type'] = (win32.DRIVE_UNKNOWN if isinstance(drive_type, Exception)
                          else drive_type)
  if isinstance(capacity, deadline.TimedOut):
    volume['total_bytes'] = 0
    fail['capacity'] = win32.ERROR_TIMEOUT
  elif isinstance(capacity, Exception):
    volume['total_bytes'] = 0
    fail['capacity'] = capacity.winerror
  else:
    volume['total_bytes'] = capacity[0]


def DriveTypeCode(drive_type_map, device_type):
  """The GetDriveTypeW code of a table entry's device type: the module's own
  DRIVE_TYPE_MAP read backwards.  Where several codes map to the type, the
  smallest stands for it (UNKNOWN is "cannot be determined" rather than "no
  root directory", REMOVABLE a removable drive rather than a CD-ROM's), so
  that the file gives the same table."""
  codes = [code for code, mapped in drive_type_map.items()
           if mapped == device_type]
  return min(codes) if codes else win32.DRIVE_UNKNOWN


def _AskTable(entry, drive_type_map, volume, simulated):
  if entry is not None:
    volume['drive_type'] = DriveTypeCode(drive_type_map, entry.device_type)
    volume['total_bytes'] = entry.size
    return
  # Left out of the table (its volume information failed, say): the size is
  # the mount point's, which only the real machine has.
  volume['drive_type'] = win32.DRIVE_UNKNOWN
  space = None
  if not simulated and volume['paths']:
    (space,) = disk_space.DiskSpaces(volume['paths'][:1])
  volume['total_bytes'] = space[0] if space else 0


def MachineFileBytes(machine):
  """The machine file's UTF-8 JSON: two-space indents, one key a line."""
  data = json.dumps(machine, indent=2, separators=(',', ': '),
                    ensure_ascii=False) + u'\n'
  return data.encode('utf-8') if isinstance(data, unicode) else data


def WriteMachineFile(path, data):
  """Writes `data` to `path` ('-': standard output) as a new file renamed
  over the old one, as the simulation wants its files replaced."""
  if path == '-':
    sys.stdout.write(data)
    sys.stdout.flush()
    return
  directory = os.path.dirname(os.path.abspath(path))
  handle, staging = tempfile.mkstemp(prefix='.capture-', dir=directory)
  try:
    with os.fdopen(handle, 'wb') as out:
      out.write(data)
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(staging, 0o666 & ~umask)
    replace_file.ReplaceFile(staging, path)
  except BaseException:
    if os.path.exists(staging):
      os.remove(staging)
    raise
