"""Smoke test of a built windows.volumes in the host's own interpreter.

  python windows_smoke_test.py TREE [FILE]

On Windows, with python.org's 32-bit Python 2.7.18, TREE is the importable
tree that the Windows build lays out (build-win32\\python: windows\\volumes.pyd,
windows\\winwrap\\ with _winwrap.pyd, common\\, platforms\\).  It runs
anywhere the module runs, against the real machine or, with
VOLUMES_SIMULATION, a simulated one.

It imports windows.volumes from TREE, takes FILE's stat result (this script
by default) with st_dev carrying its volume serial number, as a host must
hand it over (CPython 2.7 leaves st_dev 0 on Windows: the serial number is
then read through GetVolumeInformationByHandle on a handle of FILE), and
checks that FindVolumeID of it names the serial number that
GetVolumeInformation reports for FILE's volume root, that IsFAT agrees with
that volume's filesystem name, and that the volume table, listed here, has
the volume.  Exits 0 when every check holds, 1 otherwise.
"""

import os
import struct
import sys

from volume_tool import file_volume
from volume_tool import text

FAT_FILESYSTEMS = ('fat32', 'exfat')


class Handle(object):
  """What IsFAT takes: an object whose `handle` is the handle's value."""

  def __init__(self, handle):
    self.handle = handle


def Say(line):
  encoding = text.StreamEncoding(sys.stdout)
  sys.stdout.write(text.Safe(line, encoding).encode(encoding) + '\n')


def Check(failures, held, message):
  Say(u'%s: %s' % ('ok' if held else 'FAIL', message))
  if not held:
    failures.append(message)


def Unicode(path):
  if isinstance(path, unicode):
    return path
  return path.decode(sys.getfilesystemencoding() or 'utf-8')


def ImportModule(tree, failures):
  tree = os.path.abspath(tree)
  sys.path.insert(0, tree)
  from windows import volumes  # pylint: disable=g-import-not-at-top
  where = os.path.abspath(volumes.__file__)
  Say(u'windows.volumes: %s (Python %s, %d-bit)' % (
      text.Text(where), sys.version.split()[0], struct.calcsize('P') * 8))
  Check(failures, where.startswith(os.path.join(tree, '')),
        'the module is imported from %s' % text.Text(tree))
  return volumes


def CheckFile(volumes, path, failures):
  """The checks of one file's volume; returns its volume ID."""
  status = os.stat(path)
  if status.st_dev == 0:
    Say(u'st_dev is 0: the serial number is read through a handle')
  status = file_volume.WithSerial(path, status)
  root = Unicode(file_volume.VolumeRoot(path))
  label, serial, _, _, filesystem = volumes.GetVolumeInformation(root)
  Say(u'volume root %s: serial %d, label "%s", filesystem %s' % (
      text.Text(root), serial, text.Text(label), text.Text(filesystem)))
  volume_id = volumes.FindVolumeID(status)
  expected = volumes._VolumeIDFromSerialNumber(serial)
  Check(failures, volume_id == expected,
        'FindVolumeID gives %s; GetVolumeInformation\'s serial, %s' % (
            volume_id, expected))
  with file_volume.OpenHandle(path) as handle:
    is_fat = volumes.IsFAT(status.st_dev, Handle(handle))
  Check(failures, is_fat == (filesystem.lower() in FAT_FILESYSTEMS),
        'IsFAT gives %s for %s' % (is_fat, text.Text(filesystem)))
  return volume_id


def ListTable(volumes, volume_id, failures):
  table = volumes.VolumeInfo().AllVolumeEntries(force_update=True)
  Say(u'volume table: %d volumes' % len(table))
  for entry in sorted(table.values(), key=lambda entry: entry.mountpoint):
    Say(u'  %s  %s  %s  %s  %s' % tuple(text.Text(value) for value in (
        entry.volume, entry.mountpoint, entry.filesystem,
        getattr(entry.device_type, 'name', entry.device_type),
        entry.device_file)))
  Check(failures, volume_id in table,
        'the table has the file\'s volume, %s' % volume_id)


def main(argv):
  if len(argv) not in (1, 2) or argv[0].startswith('-'):
    sys.stderr.write(__doc__)
    return 2
  failures = []
  volumes = ImportModule(argv[0], failures)
  path = argv[1] if len(argv) > 1 else os.path.abspath(__file__)
  Say(u'file: %s' % text.Text(path))
  volume_id = CheckFile(volumes, path, failures)
  ListTable(volumes, volume_id, failures)
  Say(u'FAILED: %d check(s)' % len(failures) if failures else u'passed')
  return 1 if failures else 0


if __name__ == '__main__':
  sys.exit(main(sys.argv[1:]))
