"""Prints the machine's volume table, as windows.volumes sees it.

  volume_table.py [-J] [-o LIST] [-n] [-r] [-b] [-v] [PATH ...]
  volume_table.py --poll [--first-only] [--timeout MS] [--interval S] [...]
  volume_table.py --capture FILE

Without PATH: one row per volume of the table, every mount point shown, with
the used and available space beside the size, as findmnt, lsblk and df show
them.  With PATHs: the volume that holds each path, found through
FindVolumeID(os.stat(PATH)) and the table (where st_dev is 0, as CPython
2.7 leaves it on Windows, with the serial number read through a handle of
PATH).  --poll prints a line for each
volume that appears, disappears or changes.  --capture writes the machine as
a simulated-machine file.  See --help for the columns, the environment and
the exit statuses.
"""

import argparse
import collections
import logging
import os
import signal
import sys

from volume_tool import deadline
from volume_tool import diagnostics
from volume_tool import disk_space
from volume_tool import file_volume
from volume_tool import left_out
from volume_tool import text
from volume_tool import watch
from windows import volumes

PROG = 'volume_table'
ERROR_BAD_CONFIGURATION = 1610

Column = collections.namedtuple('Column', 'key right_aligned help')

# The columns, named as findmnt and lsblk name theirs; `key` is the key of
# the same value in the --json objects.
COLUMNS = collections.OrderedDict([
    ('ACTION', Column('action', False,
                      '--poll, always first: add, remove or change')),
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
    ('STATE', Column('state', False,
                     'ok, or why the table left the volume out: timed out')),
])
DEFAULT_COLUMNS = ('MOUNTPOINTS', 'LABEL', 'FSTYPE', 'TYPE', 'SIZE', 'USED',
                   'AVAIL', 'USE%', 'VOLUME', 'GUIDPATH', 'STATE')
DEFAULT_POLL_COLUMNS = ('ACTION', 'MOUNTPOINTS', 'LABEL', 'FSTYPE', 'TYPE',
                        'SIZE', 'VOLUME')
SIZE_KEYS = frozenset(('size', 'used', 'avail'))
# The keys of a volume's --json object, in their order.
RECORD_KEYS = ('volume', 'mountpoint', 'mountpoints', 'label', 'filesystem',
               'device_type', 'size', 'used', 'avail', 'use%', 'device_file',
               'uuid', 'device_number', 'state')

EPILOG = """\
columns (-o, case-insensitive; +LIST adds to the default ones):
%s

Used, available and use%% are read from the mount point (statvfs, or
GetDiskFreeSpaceExW on Windows); they stay empty, null in JSON, for a
simulated machine and for a mount point that does not answer in time.
Besides the table's volumes, the table view shows each volume that the
table left out because it did not answer in time (STATE "timed out"), so
that nothing goes missing unsaid; what the module does not know of it
stays empty.  Without -r, aligned columns; with -r, one space between
columns.  Either way an unsafe character in a name shows as \\xNN.

--poll prints the heading, then one line per change as it comes, ACTION
first: a volume (by its VOLUME) that appears (add), disappears (remove), or
whose mount points, label, filesystem, type or size change (change); every
mount point on the one line.  With -J, one JSON object per line: "action"
and the keys of the --json objects.  On Linux the mount table wakes it; for
a simulated machine, and elsewhere, it looks every --interval seconds, and
a replaced machine file is a change.  It runs until Ctrl-C, --first-only or
--timeout; a machine file that goes bad is said once, and watching goes on.

environment:
  VOLUMES_SIMULATION          a machine file (see README.md): show that
                              simulated machine instead of this one
  VOLUMES_SIMULATION_JOURNAL  a file to which each simulated call is appended
  VOLUMES_QUERY_TIMEOUT_MS    the deadline of every call about a volume, the
                              module's and the command's own reads alike,
                              in milliseconds (default 5000; 0: none)
  Relative paths, in PATH and in these, are taken from the current directory.
  A PATH is a file of this machine: a simulated machine shows the volume
  whose serial number is that of the volume that holds the file here.
  What the module writes on standard error (such as why a machine file is
  unusable) is shown as it is, each line once.

exit status:
  0  success; with --poll, a change was printed, or Ctrl-C ended it
  1  a PATH cannot be read (or does not answer in time), or its volume is
     not in the table; with
     --poll, --timeout passed without a change
  2  the volumes cannot be listed (the system refused, or the simulated
     machine file is unusable; with --poll, at the start), the capture
     cannot be written, or the command line is wrong
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
  parser.add_argument('-p', '--poll', action='store_true',
                      help='watch: print a line for each volume that '
                      'appears, disappears or changes, until Ctrl-C')
  parser.add_argument('--first-only', action='store_true',
                      help='--poll: end after the first change')
  parser.add_argument('--timeout', metavar='MILLISECONDS',
                      type=Number(int, 'milliseconds'),
                      help='--poll: end when this passes without a change')
  parser.add_argument('--interval', metavar='SECONDS',
                      type=Number(float, 'seconds'),
                      help='--poll: seconds between looks where the mount '
                      'table cannot wake the command (a simulated machine, '
                      'a system other than Linux); default 1')
  parser.add_argument('paths', nargs='*', metavar='PATH',
                      help='show the volume that holds PATH')
  options = parser.parse_args(argv)
  if options.capture and options.paths:
    parser.error('--capture takes no PATH')
  if options.poll and (options.capture or options.paths):
    parser.error('--poll takes neither PATH nor --capture')
  if not options.poll and (options.first_only or options.timeout is not None
                           or options.interval is not None):
    parser.error('--first-only, --timeout and --interval go with --poll')
  if options.interval is None:
    options.interval = 1.0
  options.columns = ColumnNames(parser, options)
  return options


def Number(kind, unit):
  """An argparse type: a number of `unit`, more than 0 seconds or at least 0
  milliseconds."""

  def Parse(value):
    try:
      number = kind(value)
      valid = 0 <= number if kind is int else 0 < number
    except ValueError:
      valid = False
    if not valid:
      raise argparse.ArgumentTypeError('not a number of %s: %s' % (unit, value))
    return number
  return Parse


def ColumnNames(parser, options):
  default = list(DEFAULT_POLL_COLUMNS if options.poll else DEFAULT_COLUMNS)
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
    if name == 'ACTION' and not options.poll:
      parser.error('ACTION is a column of --poll')
    names.append(name)
  if options.poll:
    names = ['ACTION'] + [name for name in names if name != 'ACTION']
  return names


class Messages(object):
  """The command's own lines on standard error."""

  def __init__(self):
    self.encoding = text.StreamEncoding(sys.stderr)

  def Line(self, message):
    return (u'%s: %s' % (PROG, text.Safe(message, self.encoding))
           ).encode(self.encoding)

  def Say(self, message):
    sys.stderr.write(self.Line(message) + '\n')


def ConfigureLog(verbose, encoding):
  # A descriptor of its own, as descriptor 2 is lent to the platform's
  # messages while the module works.
  handler = logging.StreamHandler(os.fdopen(os.dup(2), 'w', 0))
  handler.setFormatter(diagnostics.ReadableFormatter(encoding))
  root = logging.getLogger()
  root.addHandler(handler)
  root.setLevel(logging.DEBUG if verbose else logging.WARNING)
  return handler


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


def VolumeRecord(entry, mount_points=None, space=None):
  """What the command shows of an entry: its --json object.  `space` is
  DiskSpace's, None where there is none to show."""
  record = collections.OrderedDict()
  record['volume'] = text.Text(entry.volume)
  record['mountpoint'] = text.Text(entry.mountpoint)
  record['mountpoints'] = (MountPoints(entry) if mount_points is None
                           else mount_points)
  record['label'] = text.Text(entry.label)
  record['filesystem'] = text.Text(entry.filesystem)
  record['device_type'] = DeviceTypeName(entry.device_type)
  record['size'] = entry.size
  record['used'] = space[1] if space else None
  record['avail'] = space[2] if space else None
  record['use%'] = disk_space.UsePercent(*space[1:]) if space else None
  record['device_file'] = text.Text(entry.device_file)
  record['uuid'] = None if entry.uuid is None else text.Text(entry.uuid)
  record['device_number'] = entry.device_number
  record['state'] = left_out.OK
  return record


def LeftOutRecord(volume):
  """The --json object of a volume that the table left out: what the
  listing tells of it, and why it is not in the table."""
  record = collections.OrderedDict((key, None) for key in RECORD_KEYS)
  record['mountpoint'] = volume.mount_points[0] if volume.mount_points else None
  record['mountpoints'] = volume.mount_points
  record['device_file'] = text.Text(volume.name)
  match = volumes.VOLUME_NAME_GUID_MATCHER.match(volume.name)
  record['uuid'] = text.Text(match.group(1)) if match else None
  record['state'] = volume.state
  return record


def Spaces(mount_points, simulated):
  """DiskSpace of each mount point; none for a simulated machine, whose
  mount points are not this machine's."""
  if simulated:
    return [None] * len(mount_points)
  return disk_space.DiskSpaces(mount_points)


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


def JsonBytes(data, indent=None):
  """UTF-8 JSON and a newline: indented, or all on one line."""
  import json  # pylint: disable=g-import-not-at-top
  data = json.dumps(data, indent=indent, ensure_ascii=False,
                    separators=(',' if indent else ', ', ': ')) + u'\n'
  return data.encode('utf-8') if isinstance(data, unicode) else data


def VolumesOfPaths(service, table, paths, complaints):
  """(path, entry) for every path whose volume the table has."""
  found = []
  for path in paths:
    try:
      status = deadline.Answer(path, os.stat, path)
    except deadline.TimedOut:
      complaints.append(u'%s: does not answer within %d ms' % (
          text.Text(path), deadline.TimeoutMs()))
      continue
    except OSError as error:
      complaints.append(u'%s: %s' % (text.Text(path), error.strerror))
      continue
    try:
      status = deadline.Answer(path, file_volume.WithSerial, path, status)
    except deadline.TimedOut:
      complaints.append(u'%s: its volume serial number does not come within '
                        u'%d ms' % (text.Text(path), deadline.TimeoutMs()))
      continue
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
    spaces = Spaces([entry.mountpoint for _, entry in found], simulated)
    records = []
    for (path, entry), space in zip(found, spaces):
      record = collections.OrderedDict([('path', text.Text(path))])
      record.update(VolumeRecord(entry, space=space))
      records.append(record)
    if outcome.complaints:
      outcome.status = 1
  else:
    entries = table.values()
    spaces = Spaces([entry.mountpoint for entry in entries], simulated)
    records = [VolumeRecord(entry, space=space)
               for entry, space in zip(entries, spaces)]
    records.extend(LeftOutRecord(volume) for volume in left_out.LeftOutVolumes(
        volumes, table, (left_out.TIMED_OUT,)))
    records.sort(key=lambda record: (record['mountpoint'] or u'',
                                     record['volume'] or u''))
    if not records:
      outcome.complaints.append(u'the machine shows no volume')
  if options.json:
    outcome.output = JsonBytes({'volumes': records}, indent=2)
  elif records:
    outcome.output = ''.join(
        (line + u'\n').encode(encoding)
        for line in TableLines(records, options, encoding))


def Listing(simulated, messages, work):
  """work()'s result, with the platform's messages kept while it runs; and
  the lines that standard error must say: those messages, and why the
  volumes cannot be listed when they cannot (the result is then None)."""
  result, listing_error = None, None
  platform_messages = diagnostics.PlatformMessages(active=simulated)
  with platform_messages:
    try:
      result = work()
    except WindowsError as error:
      listing_error = error
  lines = list(platform_messages.lines)
  # Where the platform said something, its lines explain
  # ERROR_BAD_CONFIGURATION precisely; Windows' words would say "corrupt".
  if listing_error is not None and not (
      lines and listing_error.winerror == ERROR_BAD_CONFIGURATION):
    lines.append(messages.Line(u'cannot list the volumes: %s' %
                               text.Text(str(listing_error))))
  return result, lines


class Watcher(object):
  """--poll's looks at the machine and its lines (see volume_tool/watch)."""

  def __init__(self, options, simulated, messages, log_filter):
    self.options = options
    self.simulated = simulated
    self.messages = messages
    self.log_filter = log_filter
    self.service = volumes.VolumeInfo()
    self.said = []
    self.encoding = text.StreamEncoding(sys.stdout)
    self.widths = []

  def Look(self):
    """The volumes now, {volume ID: watch.Volume}, or None, the problem said
    on standard error unless the previous look said it already."""
    def Volumes():
      table = self.service.AllVolumeEntries(force_update=True)
      return dict((key, watch.Volume(entry, MountPoints(entry)))
                  for key, entry in table.items())
    seen, lines = Listing(self.simulated, self.messages, Volumes)
    if lines != self.said:
      sys.stderr.write(''.join(line + '\n' for line in lines))
    self.said = lines
    self.log_filter.NextRound()
    return seen

  def Heading(self):
    if not (self.options.json or self.options.noheadings):
      self.Write(self.Line([]))

  def Show(self, action, volume):
    record = collections.OrderedDict([('action', action)])
    # A removed volume's mount points hold another one's files now: its
    # space is no longer there to read.
    (space,) = Spaces([volume.entry.mountpoint],
                      self.simulated or action == watch.REMOVE)
    record.update(VolumeRecord(volume.entry, volume.mount_points, space))
    if self.options.json:
      self.Write(JsonBytes(record)[:-1])
      return
    # Every mount point on the change's one line, a newline shown as \x0a.
    cells = [Cell(record, name, self.options) for name in self.options.columns]
    self.Write(self.Line([[u'\n'.join(cell) if isinstance(cell, list)
                           else cell for cell in cells]]))

  def Line(self, rows):
    """The one line of a heading (no rows) or of a row; the columns widen
    as wider cells come, as nothing tells how wide later ones will be."""
    names = self.options.columns
    (line,) = text.FormatTable(
        names, rows,
        right_aligned=[index for index, name in enumerate(names)
                       if COLUMNS[name].right_aligned],
        raw=self.options.raw, headings=not rows, encoding=self.encoding,
        widths=self.widths)
    return line.encode(self.encoding)

  def Write(self, line):
    sys.stdout.write(line + '\n')
    sys.stdout.flush()


def Poll(options, simulated, messages, log_filter):
  """--poll: 0 once a change was shown or at Ctrl-C, 1 when --timeout
  passed without a change, 2 when the volumes cannot be listed at first."""
  from common import utils  # pylint: disable=g-import-not-at-top
  clock = utils.GetMonotonicTime
  try:
    waker = None
    if sys.platform.startswith('linux') and not simulated:
      try:
        # Opened before the first look, so that no change escapes it.
        waker = watch.MountTableWaker(clock)
      except (IOError, OSError):
        pass
    if waker is None:
      waker = watch.TimerWaker(options.interval, clock)
    watcher = Watcher(options, simulated, messages, log_filter)
    seen = watcher.Look()
    if seen is None:
      return 2
    watcher.Heading()
    return watch.Watch(
        seen, watcher.Look, waker, watcher.Show, clock,
        first_only=options.first_only,
        timeout=None if options.timeout is None else options.timeout / 1000.0)
  except KeyboardInterrupt:
    return 0


def main(argv):
  options = ParseArguments(argv)
  if hasattr(signal, 'SIGPIPE'):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quiet under `| head`
  messages = Messages()
  log_handler = ConfigureLog(options.verbose, messages.encoding)
  machine_file = os.environ.get('VOLUMES_SIMULATION', '')
  if machine_file and os.path.isdir(machine_file):
    messages.Say(u'VOLUMES_SIMULATION=%s is a directory, not a machine file'
                 % text.Text(machine_file))
    return 2
  simulated = bool(machine_file)
  if options.poll:
    log_filter = diagnostics.QuietRepeats()
    log_handler.addFilter(log_filter)
    return Poll(options, simulated, messages, log_filter)

  outcome = Outcome()

  def Work():
    service = volumes.VolumeInfo()
    table = service.AllVolumeEntries()
    if options.capture:
      Capture(options, table, simulated, outcome)
    else:
      Show(options, service, table, simulated, text.StreamEncoding(sys.stdout),
           outcome)
    return outcome
  listed, lines = Listing(simulated, messages, Work)
  sys.stderr.write(''.join(line + '\n' for line in lines))
  if listed is None:
    return 2
  sys.stdout.write(outcome.output)
  sys.stdout.flush()
  for complaint in outcome.complaints:
    messages.Say(complaint)
  return outcome.status


def Exit(status):
  """Ends the command; without waiting for a read that does not answer, and
  that the interpreter's shutdown would otherwise meet."""
  if deadline.WaitersStuck():
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)  # pylint: disable=protected-access
  sys.exit(status)


if __name__ == '__main__':
  Exit(main(sys.argv[1:]))
