"""Prints the machine's volume table, as windows.volumes sees it.

  volume_table.py [-J] [-o LIST] [-n] [-r] [-b] [-v] [PATH ...]
  volume_table.py --capture FILE

Without PATH: one row per volume of the table, every mount point shown, with
the used and available space beside the size, as findmnt, lsblk and df show
them.  With PATHs: the volume that holds each path, found through
FindVolumeID(os.stat(PATH)) and the table.  --capture writes the machine as
a simulated-machine file.  See --help for the columns, the environment and
the exit statuses.
"""

import argparse
import collections
import logging
import os
import signal
import sys

from volume_tool import diagnostics
from volume_tool import disk_space
from volume_tool import file_volume
from volume_tool import text
from windows import volumes

PROG = 'volume_table'
ERROR_BAD_CONFIGURATION = 1610

Column = collections.namedtuple('Column', 'key right_aligned help')

# The columns, named as findmnt and lsblk name theirs; `key` is the key of
# the same value in the --json objects.
COLUMNS = collections.OrderedDict([
    ('PATH', Column('path', False, 'the PATH asked about')),
    ('MOUNTPOINT', Column('mountpoint', False,
                          'the mount point the table chose (the shortest)')),
    ('MOUNTPOINTS', Column('mountpoints', False,
                           'every mount point, the chosen one first')),
    ('LABEL', Column('label', False, 'volume label')),
    ('FSTYPE', Column('filesystem', False, 'filesystem name')),
    ('TYPE', Column('device_type', False, 'device type')),
    ('SIZE', Column('size', True, 'filesystem size')),
    ('USED', Column('used', True, 'space in use')),
    ('AVAIL', Column('avail', True, 'space that users may still fill')),
    ('USE%', Column('use%', True, 'used / (used + avail), rounded up')),
    ('VOLUME', Column('volume', False,
                      'volume ID, what FindVolumeID gives for its files')),
    ('GUIDPATH', Column('device_file', False, 'volume GUID path')),
    ('UUID', Column('uuid', False, 'the GUID of the GUID path')),
    ('SERIAL', Column('device_number', True, 'volume serial number')),
])
DEFAULT_COLUMNS = ('MOUNTPOINTS', 'LABEL', 'FSTYPE', 'TYPE', 'SIZE', 'USED',
                   'AVAIL', 'USE%', 'VOLUME', 'GUIDPATH')
SIZE_KEYS = frozenset(('size', 'used', 'avail'))

EPILOG = """\
columns (-o, case-insensitive; +LIST adds to the default ones):
%s

Used, available and use%% are read from the mount point (statvfs, or
GetDiskFreeSpaceExW on Windows); they stay empty, null in JSON, for a
simulated machine.  Without -r, aligned columns; with -r, one space between
columns.  Either way an unsafe character in a name shows as \\xNN.

environment:
  VOLUMES_SIMULATION          a machine file (see README.md): show that
                              simulated machine instead of this one
  VOLUMES_SIMULATION_JOURNAL  a file to which each simulated call is appended
  Relative paths, in PATH and in these, are taken from the current directory.

exit status:
  0  success
  1  a PATH cannot be read, or its volume is not in the table
  2  the volumes cannot be listed (the system refused, or the simulated
     machine file is unusable), the capture cannot be written, or the
     command line is wrong
""" % '\n'.join('  %-12s %s' % (name, column.help)
                for name, column in COLUMNS.items())


def ParseArguments(argv):
  parser = argparse.ArgumentParser(
      prog=PROG, epilog=EPILOG,
      formatter_class=argparse.RawDescriptionHelpFormatter,
      description="Print the volume table that windows.volumes builds: this "
      "machine's, or a simulated one's.")
  parser.add_argument('-J', '--json', action='store_true',
                      help='print JSON, {"volumes": [...]}, for scripts')
  parser.add_argument('-o', '--output', metavar='LIST',
                      help='the columns to show, comma-separated (the '
                      'JSON objects have every key)')
  parser.add_argument('-n', '--noheadings', action='store_true',
                      help='leave out the heading line')
  parser.add_argument('-r', '--raw', action='store_true',
                      help='raw output: no alignment; blanks and backslashes '
                      'escaped')
  parser.add_argument('-b', '--bytes', action='store_true',
                      help='sizes in bytes instead of 4.0K, 9.6G, 476G')
  parser.add_argument('-v', '--verbose', action='store_true',
                      help="show the module's own log")
  parser.add_argument('--capture', metavar='FILE',
                      help='write the machine as a simulated-machine file '
                      '(- for standard output), to reproduce it in a test')
  parser.add_argument('paths', nargs='*', metavar='PATH',
                      help='show the volume that holds PATH')
  options = parser.parse_args(argv)
  if options.capture and options.paths:
    parser.error('--capture takes no PATH')
  options.columns = ColumnNames(parser, options)
  return options


def ColumnNames(parser, options):
  default = list(DEFAULT_COLUMNS)
  if options.paths:
    default.insert(0, 'PATH')
  if options.output is None:
    return default
  listed = options.output
  names = default if listed.startswith('+') else []
  for name in listed.lstrip('+').split(','):
    name = name.strip().upper()
    if name not in COLUMNS:
      parser.error('unknown column: %s' % name if name else 'empty column')
    names.append(name)
  return names


class Messages(object):
  """The command's own lines on standard error."""

  def __init__(self):
    self.encoding = text.StreamEncoding(sys.stderr)

  def Say(self, message):
    sys.stderr.write(('%s: %s\n' % (PROG, text.Safe(message, self.encoding))
                     ).encode(self.encoding))


def ConfigureLog(verbose, encoding):
  # A descriptor of its own, as descriptor 2 is lent to the platform's
  # messages while the module works.
  handler = logging.StreamHandler(os.fdopen(os.dup(2), 'w', 0))
  handler.setFormatter(diagnostics.ReadableFormatter(encoding))
  root = logging.getLogger()
  root.addHandler(handler)
  root.setLevel(logging.DEBUG if verbose else logging.WARNING)


def DeviceTypeName(device_type):
  return text.Text(getattr(device_type, 'name', None) or device_type)


def MountPoints(entry):
  """Every mount point of the entry's volume: the table's choice first, then
  the others in the order the module lists them."""
  try:
    listed = volumes._GetVolumePathNamesForVolumeName(entry.device_file)
  except WindowsError:
    listed = None
  return [text.Text(entry.mountpoint)] + [
      text.Text(path) for path in listed or () if path != entry.mountpoint]


def VolumeRecord(entry, simulated):
  """What the command shows of an entry: its --json object."""
  record = collections.OrderedDict()
  record['volume'] = text.Text(entry.volume)
  record['mountpoint'] = text.Text(entry.mountpoint)
  record['mountpoints'] = MountPoints(entry)
  record['label'] = text.Text(entry.label)
  record['filesystem'] = text.Text(entry.filesystem)
  record['device_type'] = DeviceTypeName(entry.device_type)
  record['size'] = entry.size
  # A simulated machine's mount points are not this machine's.
  space = None if simulated else disk_space.DiskSpace(entry.mountpoint)
  record['used'] = space[1] if space else None
  record['avail'] = space[2] if space else None
  record['use%'] = disk_space.UsePercent(*space[1:]) if space else None
  record['device_file'] = text.Text(entry.device_file)
  record['uuid'] = None if entry.uuid is None else text.Text(entry.uuid)
  record['device_number'] = entry.device_number
  return record


def Cell(record, name, options):
  key = COLUMNS[name].key
  value = record.get(key)
  if value is None:
    return u''
  if key in SIZE_KEYS:
    return text.Text(value) if options.bytes else text.HumanSize(value)
  if key == 'use%':
    return u'%d%%' % value
  return value


def TableLines(records, options, encoding):
  names = options.columns
  return text.FormatTable(
      names, [[Cell(record, name, options) for name in names]
              for record in records],
      right_aligned=[index for index, name in enumerate(names)
                     if COLUMNS[name].right_aligned],
      raw=options.raw, headings=not options.noheadings, encoding=encoding)


def JsonBytes(records):
  import json  # pylint: disable=g-import-not-at-top
  data = json.dumps({'volumes': records}, indent=2, separators=(',', ': '),
                    ensure_ascii=False) + u'\n'
  return data.encode('utf-8') if isinstance(data, unicode) else data


def VolumesOfPaths(service, table, paths, complaints):
  """(path, entry) for every path whose volume the table has."""
  found = []
  for path in paths:
    try:
      status = os.stat(path)
    except OSError as error:
      complaints.append(u'%s: %s' % (text.Text(path), error.strerror))
      continue
    try:
      status = file_volume.WithSerial(volumes, path, status)
    except OSError as error:  # WindowsError included
      complaints.append(u'%s: cannot read its volume serial number: %s' %
                        (text.Text(path), text.Text(str(error))))
      continue
    volume_id = service.FindVolumeID(status)
    entry = table.get(volume_id)
    if entry is None:
      complaints.append(u'%s: its volume %s is not in the volume table' %
                        (text.Text(path), volume_id))
    else:
      found.append((path, entry))
  return found


class Outcome(object):
  """What a run has to show: stdout's bytes, stderr's lines, the status."""

  def __init__(self):
    self.output = ''
    self.complaints = []
    self.status = 0


def Capture(options, table, simulated, outcome):
  from volume_tool import capture  # pylint: disable=g-import-not-at-top
  machine = capture.CaptureMachine(volumes, table, simulated)
  data = capture.MachineFileBytes(machine)
  if options.capture == '-':
    outcome.output = data
    return
  try:
    capture.WriteMachineFile(options.capture, data)
  except (IOError, OSError) as error:
    outcome.complaints.append(u'cannot write %s: %s' % (
        text.Text(options.capture), error.strerror))
    outcome.status = 2


def Show(options, service, table, simulated, encoding, outcome):
  if options.paths:
    found = VolumesOfPaths(service, table, options.paths, outcome.complaints)
    records = []
    for path, entry in found:
      record = collections.OrderedDict([('path', text.Text(path))])
      record.update(VolumeRecord(entry, simulated))
      records.append(record)
    if outcome.complaints:
      outcome.status = 1
  else:
    entries = sorted(table.values(), key=lambda entry: (
        text.Text(entry.mountpoint), text.Text(entry.volume)))
    records = [VolumeRecord(entry, simulated) for entry in entries]
    if not records:
      outcome.complaints.append(u'the machine shows no volume')
  if options.json:
    outcome.output = JsonBytes(records)
  elif records:
    outcome.output = ''.join(
        (line + u'\n').encode(encoding)
        for line in TableLines(records, options, encoding))


def main(argv):
  options = ParseArguments(argv)
  if hasattr(signal, 'SIGPIPE'):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quiet under `| head`
  messages = Messages()
  ConfigureLog(options.verbose, messages.encoding)
  machine_file = os.environ.get('VOLUMES_SIMULATION', '')
  if machine_file and os.path.isdir(machine_file):
    messages.Say(u'VOLUMES_SIMULATION=%s is a directory, not a machine file'
                 % text.Text(machine_file))
    return 2
  simulated = bool(machine_file)

  outcome = Outcome()
  listing_error = None
  platform_messages = diagnostics.PlatformMessages(active=simulated)
  with platform_messages:
    try:
      service = volumes.VolumeInfo()
      table = service.AllVolumeEntries()
      if options.capture:
        Capture(options, table, simulated, outcome)
      else:
        Show(options, service, table, simulated,
             text.StreamEncoding(sys.stdout), outcome)
    except WindowsError as error:
      listing_error = error
  unusable = platform_messages.Report(sys.stderr, PROG)
  if listing_error is not None:
    # A broken machine file has been named, precisely, by the line above;
    # Windows' words for it would only say "corrupt".
    if not (unusable and listing_error.winerror == ERROR_BAD_CONFIGURATION):
      messages.Say(u'cannot list the volumes: %s' %
                   text.Text(str(listing_error)))
    return 2
  sys.stdout.write(outcome.output)
  sys.stdout.flush()
  for complaint in outcome.complaints:
    messages.Say(complaint)
  return outcome.status


if __name__ == '__main__':
  sys.exit(main(sys.argv[1:]))
