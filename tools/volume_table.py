"""Prints the machine's volume table, as windows.volumes sees it.

  volume_table.py [-J] [-o LIST] [-n] [-r] [-b] [-v] [-A] [-t LIST] [--local]
                  [PATH ...]
  volume_table.py --poll [--first-only] [--timeout MS] [--interval S] [...]
  volume_table.py --capture FILE

Without PATH: one row per volume of the table, every mount point shown, with
the used and available space beside the size, as findmnt, lsblk and df show
them.  With PATHs: the volume that holds each path, found through
FindVolumeID(os.stat(PATH)) and the table (where st_dev is 0, as CPython
2.7 leaves it on Windows, with the serial number read through a handle of
PATH).  --poll prints a line for each volume that appears, disappears or
changes (volume_tool/watch.py).  --capture writes the machine as a
simulated-machine file.  See --help for the columns, the environment and
the exit statuses.
"""

import argparse
import collections
import logging
import os
import signal
import sys

from volume_tool import columns
from volume_tool import deadline
from volume_tool import diagnostics
from volume_tool import file_volume
from volume_tool import filters
from volume_tool import left_out
from volume_tool import records
from volume_tool import text
from volume_tool import watch
from windows import volumes

PROG = 'volume_table'

EPILOG = """\
columns (-o, case-insensitive; +LIST adds to the default ones):
%s

Used, available and use%% are read from the mount point (statvfs, or
GetDiskFreeSpaceExW on Windows), RO, FLAGS and MAXCOMP from the volume
(GetVolumeInformation), each only where a column or -J shows it; they stay
empty, null in JSON, where they cannot be read in time, and the space for a
simulated machine.  Without -r, aligned columns; with -r, one space between
columns.  Either way an unsafe character in a name shows as \\xNN.

Besides the table's volumes, the table view shows each volume that the
table left out because it did not answer in time (STATE "timed out"), so
that nothing goes missing unsaid; with -A, also each volume without a mount
point and each that could not be read, STATE saying why.  What nothing
knows of such a volume stays empty.  -t and --local choose the volumes by
what the table knows of them before anything else is asked of them: one
that the table left out has no known filesystem or type, and shows only
with a -t list of names to leave out.

--poll prints the heading, then one line per change as it comes, ACTION
first: a volume (by its VOLUME) that appears (add), disappears (remove), or
whose mount points, label, filesystem, type, size or flags change (change);
every mount point on the one line.  With -J, one JSON object per line:
"action" and the keys of the --json objects.  On Linux the mount table
wakes it; for a simulated machine, and elsewhere, it looks every --interval
seconds, and a replaced machine file is a change.  It runs until Ctrl-C,
--first-only or --timeout; a machine file that goes bad is said once, and
watching goes on.

environment:
  VOLUMES_SIMULATION          a machine file (docs/simulated-machine.md): show
                              simulated machine instead of this one
  VOLUMES_SIMULATION_JOURNAL  a file to which each simulated call is appended
  VOLUMES_QUERY_TIMEOUT_MS    the deadline of every call about a volume, the
                              module's and the command's own reads alike,
                              in milliseconds (default 5000; 0: none)
  Relative paths, in PATH and in these, are taken from the current directory.
  A PATH is a file of this machine: a simulated machine shows the volume
  whose serial number is that of the volume that holds the file here, and
  its TARGET only where its mount points are this machine's.
  What the module writes on standard error (such as why a machine file is
  unusable) is shown as it is, each line once.

exit status:
  0  success; with --poll, a change was printed, or Ctrl-C ended it
  1  a PATH cannot be read (or does not answer in time), or its volume is
     not in the table; with --poll, --timeout passed without a change
  2  the volumes cannot be listed (the system refused, or the simulated
     machine file is unusable; with --poll, at the start), the capture
     cannot be written, or the command line is wrong
""" % columns.Help()


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
  parser.add_argument('-A', '--all', action='store_true',
                      help='every volume listed, those without a mount point '
                      'and those that cannot be read included')
  parser.add_argument('-t', '--types', metavar='LIST',
                      help='only these filesystems (FSTYPE, comma-separated, '
                      'any case); "no" before the list: all but these')
  parser.add_argument('--local', action='store_true',
                      help='leave out the network\'s volumes (TYPE NETWORK)')
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
  if options.capture and (options.all or options.types or options.local):
    parser.error('--capture takes every volume: no -A, -t or --local')
  if options.poll and (options.capture or options.paths or options.all):
    parser.error('--poll takes neither PATH, -A nor --capture')
  if not options.poll and (options.first_only or options.timeout is not None
                           or options.interval is not None):
    parser.error('--first-only, --timeout and --interval go with --poll')
  if options.types is not None and not options.types.strip(', '):
    parser.error('-t takes a list of filesystems')
  if options.interval is None:
    options.interval = 1.0
  options.filter = filters.Filter(options.types, options.local)
  options.columns = columns.Names(options.output, options.poll,
                                  bool(options.paths), parser.error)
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


def StatAndRealPath(path):
  """os.stat(path) and the path with its links resolved, which may both
  wait on the volume."""
  return os.stat(path), os.path.realpath(path)


def VolumesOfPaths(service, table, paths, complaints):
  """(path, path with its links resolved, entry) for every path whose
  volume the table has."""
  found = []
  for path in paths:
    try:
      status, real_path = deadline.Answer(path, StatAndRealPath, path)
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
      found.append((path, real_path, entry))
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


def EntryRecords(options, entries, simulated, real_paths=None):
  """The records of the table's entries, with what the command reads of
  each: its mount points, and its space and flags where they are shown."""
  shown = (set(columns.COLUMNS[name].key for name in options.columns)
           if not options.json else set(records.KEYS))
  spaces = (records.Spaces([entry.mountpoint for entry in entries], simulated)
            if shown & columns.SIZE_KEYS - set(['size'])
            else [None] * len(entries))
  read_flags = bool(shown & columns.FLAG_KEYS)
  made = []
  for index, entry in enumerate(entries):
    mount_points = records.MountPoints(volumes, entry)
    made.append(records.Record(
        entry, mount_points, spaces[index],
        records.VolumeFlags(volumes, entry) if read_flags else (None, None),
        records.Target(mount_points, real_paths[index]) if real_paths else None))
  return made


def Show(options, service, table, simulated, encoding, outcome):
  keeps = options.filter.Keeps

  def Kept(entry):
    return keeps(entry.filesystem, records.DeviceTypeName(entry.device_type))
  if options.paths:
    found = [one for one in VolumesOfPaths(service, table, options.paths,
                                           outcome.complaints) if Kept(one[2])]
    made = EntryRecords(options, [entry for _, _, entry in found], simulated,
                        [real_path for _, real_path, _ in found])
    shown = []
    for (path, _, _), record in zip(found, made):
      shown.append(collections.OrderedDict([('path', text.Text(path))]))
      shown[-1].update(record)
    if outcome.complaints:
      outcome.status = 1
  else:
    entries = [entry for entry in table.values() if Kept(entry)]
    shown = EntryRecords(options, entries, simulated)
    # A volume that the table left out is of no known filesystem or type:
    # where the filters keep none such, none is asked about.
    if keeps(None, None):
      states = None if options.all else (left_out.TIMED_OUT,)
      shown.extend(records.LeftOutRecord(volumes, volume)
                   for volume in left_out.LeftOutVolumes(volumes, table, states))
    shown.sort(key=lambda record: (record['mountpoint'] or u'',
                                   record['volume'] or u'',
                                   record['device_file'] or u''))
    if not shown and not (options.types or options.local):
      outcome.complaints.append(u'the machine shows no volume')
  if options.json:
    outcome.output = records.JsonBytes({'volumes': shown}, indent=2)
  elif shown:
    outcome.output = ''.join(
        (line + u'\n').encode(encoding)
        for line in columns.Lines(shown, options.columns, options, encoding))


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
    return watch.Poll(volumes, options, simulated, messages, log_filter)

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
  listed, lines = diagnostics.Listing(simulated, messages.Line, Work)
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
