"""Prints the machine's volume table, as windows.volumes sees it.

  volume_table.py [--json] [-v] [PATH ...]

Without PATH: one row per volume of the table (volume ID, mount point, label,
filesystem, device type, size, GUID path).  With PATHs: the volume that holds
each path, found through FindVolumeID(os.stat(PATH)) and the table.  Set
VOLUMES_SIMULATION to a machine file to see a simulated machine instead of
this one.

Exit status: 0; 1 when a PATH cannot be read or its volume is not in the
table; 2 when the volumes cannot be listed at all.
"""

import argparse
import json
import logging
import os
import signal
import sys

from windows import volumes

COLUMNS = ('VOLUME', 'MOUNT POINT', 'LABEL', 'FILESYSTEM', 'TYPE', 'SIZE',
           'GUID PATH')


def HumanSize(size):
  """Bytes in binary units, as df -h shows them."""
  value = float(size)
  for unit in ('B', 'KiB', 'MiB', 'GiB', 'TiB', 'PiB'):
    if value < 1024 or unit == 'PiB':
      return ('%d %s' % (value, unit)) if unit == 'B' else (
          '%.1f %s' % (value, unit))
    value /= 1024


def DeviceTypeName(device_type):
  return getattr(device_type, 'name', None) or str(device_type)


def Row(entry):
  return (entry.volume, entry.mountpoint, entry.label, entry.filesystem,
          DeviceTypeName(entry.device_type), HumanSize(entry.size),
          entry.device_file)


def JsonEntry(entry):
  return {
      'volume': entry.volume, 'mountpoint': entry.mountpoint,
      'label': entry.label, 'filesystem': entry.filesystem,
      'device_type': DeviceTypeName(entry.device_type), 'size': entry.size,
      'device_file': entry.device_file, 'uuid': entry.uuid,
      'device_number': entry.device_number,
  }


def Text(value):
  return value if isinstance(value, unicode) else str(value).decode(
      'utf-8', 'replace')


def PrintJson(value):
  json.dump(value, sys.stdout, indent=2, sort_keys=True, separators=(',', ': '))
  sys.stdout.write('\n')


def PrintTable(rows, out):
  rows = [tuple(Text(cell) for cell in row) for row in rows]
  widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
  encoding = getattr(out, 'encoding', None) or 'utf-8'
  for row in rows:
    line = u'  '.join(cell.ljust(width) for cell, width in zip(row, widths))
    out.write(line.rstrip().encode(encoding, 'replace') + '\n')


def VolumesOfPaths(service, table, paths, errors):
  """(path, entry) for every path whose volume the table has."""
  found = []
  for path in paths:
    try:
      volume_id = service.FindVolumeID(os.stat(path))
    except OSError as error:
      errors.append('%s: %s' % (path, error.strerror))
      continue
    entry = table.get(volume_id)
    if entry is None:
      errors.append('%s: its volume %s is not in the volume table' %
                    (path, volume_id))
    else:
      found.append((path, entry))
  return found


def main(argv):
  parser = argparse.ArgumentParser(
      description='Print the volume table that windows.volumes builds.')
  parser.add_argument('--json', action='store_true',
                      help='print JSON, for scripts')
  parser.add_argument('-v', '--verbose', action='store_true',
                      help="show the module's own log")
  parser.add_argument('paths', nargs='*', metavar='PATH',
                      help='show the volume holding PATH')
  options = parser.parse_args(argv)
  if hasattr(signal, 'SIGPIPE'):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quiet under `| head`
  logging.basicConfig(level=logging.DEBUG if options.verbose else
                      logging.WARNING, format='%(levelname)s %(message)s')

  service = volumes.VolumeInfo()
  try:
    table = service.AllVolumeEntries()
  except WindowsError as error:
    sys.stderr.write('volume_table: cannot list the volumes: %s\n' % error)
    return 2

  errors = []
  if options.paths:
    found = VolumesOfPaths(service, table, options.paths, errors)
    if options.json:
      PrintJson([dict(JsonEntry(entry), path=path) for path, entry in found])
    elif found:
      PrintTable([('PATH',) + COLUMNS] +
                 [(path,) + Row(entry) for path, entry in found], sys.stdout)
  else:
    entries = sorted(table.values(), key=lambda entry: entry.mountpoint)
    if options.json:
      PrintJson([JsonEntry(entry) for entry in entries])
    elif entries:
      PrintTable([COLUMNS] + [Row(entry) for entry in entries], sys.stdout)
    else:
      sys.stderr.write('volume_table: the machine shows no volume\n')
  for error in errors:
    sys.stderr.write('volume_table: %s\n' % error)
  return 1 if errors else 0


if __name__ == '__main__':
  sys.exit(main(sys.argv[1:]))
