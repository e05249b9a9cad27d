"""--poll: the volume table watched, one line per change, as findmnt --poll
watches the mount table.

A change is a volume, by volume ID, that appears (add), disappears (remove),
or whose mount points, label, filesystem, device type or size move (change).
Each look rebuilds the table.  What wakes the watcher: on Linux's real
machine the mount table itself (MountTableWaker), elsewhere and for a
simulated machine a timer (TimerWaker).
"""

import collections
import errno
import math
import select
import sys
import time

from volume_tool import columns
from volume_tool import diagnostics
from volume_tool import records
from volume_tool import text

ADD, REMOVE, CHANGE = 'add', 'remove', 'change'
_LONGEST_WAIT = 3600  # seconds: one sleep or poll(), within what C takes
_ORDER = {REMOVE: 0, ADD: 1, CHANGE: 2}


class Volume(object):
  """A volume as one look saw it: the table's entry, every mount point, and
  its flags and longest name (records.VolumeFlags)."""

  def __init__(self, entry, mount_points, volume_flags=(None, None)):
    self.entry = entry
    self.mount_points = mount_points
    self.flags = volume_flags

  def Watched(self):
    entry = self.entry
    return (self.mount_points, entry.label, entry.filesystem,
            entry.device_type, entry.size, self.flags)


def Changes(before, after):
  """(action, Volume) for every volume of `before` or `after` ({volume ID:
  Volume}) that changed: removals first, then additions, then changes, each
  in the order of their first mount point."""
  changes = [(REMOVE, before[key]) for key in before if key not in after]
  changes += [(ADD, after[key]) for key in after if key not in before]
  changes += [(CHANGE, after[key]) for key in after
              if key in before and before[key].Watched() != after[key].Watched()]
  changes.sort(key=lambda change: (
      _ORDER[change[0]], change[1].mount_points, change[1].entry.volume))
  return changes


def Watch(volumes, look, waker, show, clock, first_only=False, timeout=None):
  """Shows each change from `volumes` on, until the first one (`first_only`)
  or until `timeout` seconds pass without one.

  look() gives the volumes now, or None when they cannot be read (the
  watcher keeps its last view then); show(action, volume) prints a change.
  Returns 0 when a change was shown, 1 when none was.
  """
  shown = False
  deadline = None if timeout is None else clock() + timeout
  while waker.Wait(deadline):
    seen = look()
    if seen is None:
      continue
    changes = Changes(volumes, seen)
    volumes = seen
    for action, volume in changes:
      show(action, volume)
      shown = True
      if first_only:
        return 0
    if changes and timeout is not None:
      deadline = clock() + timeout
  return 0 if shown else 1


class TimerWaker(object):
  """Wakes every `interval` seconds, counted from the end of a look."""

  def __init__(self, interval, clock):
    self.interval = interval
    self.clock = clock

  def Wait(self, deadline):
    """False when `deadline` comes before the next look."""
    wake = self.clock() + self.interval
    end = wake if deadline is None else min(wake, deadline)
    left = end - self.clock()
    while left > 0:
      time.sleep(min(left, _LONGEST_WAIT))
      left = end - self.clock()
    return end == wake


class MountTableWaker(object):
  """Wakes when the mount table changes: poll() reports POLLPRI on
  /proc/self/mountinfo after every mount and unmount in the namespace.

  The module holds its rereads of a changing mount table to a fifth of the
  time, so a look that starts soon after another may get a table that lags
  the latest change, or one read afresh halfway through.  A look therefore
  starts no sooner than the longer of SETTLE and READ_SHARE times the
  previous look's duration (which holds all of its reading) after that look
  ended: by then the module reads afresh at once, and the look shows every
  change made before it began.  Changes made meanwhile go into the same
  look; one made during a look wakes the next.
  """

  SETTLE = 0.2
  READ_SHARE = 5

  def __init__(self, clock, path='/proc/self/mountinfo'):
    self.clock = clock
    self.file = open(path)
    self.poller = select.poll()
    self.poller.register(self.file.fileno(), select.POLLPRI)
    self.woke = clock()  # the first look follows

  def Wait(self, deadline):
    """False when `deadline` passes without a change."""
    now = self.clock()
    earliest = now + max(self.SETTLE, self.READ_SHARE * (now - self.woke))
    if not self._Changed(deadline):
      return False
    left = earliest - self.clock()
    while left > 0:
      self._Poll(left)
      left = earliest - self.clock()
    self.woke = self.clock()
    return True

  def _Changed(self, deadline):
    """Whether the table changes before `deadline` (None: however long it
    takes)."""
    while True:
      left = None if deadline is None else deadline - self.clock()
      if left is not None and left <= 0:
        return False
      if self._Poll(left):
        return True

  def _Poll(self, seconds):
    milliseconds = -1 if seconds is None else int(
        math.ceil(min(seconds, _LONGEST_WAIT) * 1000))
    try:
      return bool(self.poller.poll(milliseconds))
    except select.error as error:
      if error.args[0] != errno.EINTR:
        raise
      return False


class Watcher(object):
  """--poll's looks at the machine and its lines."""

  def __init__(self, volumes, options, simulated, messages, log_filter):
    self.volumes = volumes
    self.options = options
    self.simulated = simulated
    self.messages = messages
    self.log_filter = log_filter
    self.service = volumes.VolumeInfo()
    self.said = []
    self.encoding = text.StreamEncoding(sys.stdout)
    self.widths = []

  def Look(self):
    """The volumes now, {volume ID: Volume}, or None, the problem said on
    standard error unless the previous look said it already.  Only the
    volumes that the filters keep are asked anything."""
    keeps = self.options.filter.Keeps

    def Volumes():
      table = self.service.AllVolumeEntries(force_update=True)
      return dict((key, Volume(entry, records.MountPoints(self.volumes, entry),
                               records.VolumeFlags(self.volumes, entry)))
                  for key, entry in table.items()
                  if keeps(entry.filesystem, records.DeviceTypeName(entry.device_type)))
    seen, lines = diagnostics.Listing(self.simulated, self.messages.Line, Volumes)
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
    (space,) = records.Spaces([volume.entry.mountpoint],
                              self.simulated or action == REMOVE)
    record.update(records.Record(volume.entry, volume.mount_points, space,
                                 volume.flags))
    if self.options.json:
      self.Write(records.JsonBytes(record)[:-1])
      return
    # Every mount point on the change's one line, a newline shown as \x0a.
    cells = [columns.Cell(record, name, self.options.bytes)
             for name in self.options.columns]
    self.Write(self.Line([[u'\n'.join(cell) if isinstance(cell, list)
                           else cell for cell in cells]]))

  def Line(self, rows):
    """The one line of a heading (no rows) or of a row; the columns widen
    as wider cells come, as nothing tells how wide later ones will be."""
    names = self.options.columns
    (line,) = text.FormatTable(
        names, rows,
        right_aligned=[index for index, name in enumerate(names)
                       if columns.COLUMNS[name].right_aligned],
        raw=self.options.raw, headings=not rows, encoding=self.encoding,
        widths=self.widths)
    return line.encode(self.encoding)

  def Write(self, line):
    sys.stdout.write(line + '\n')
    sys.stdout.flush()


def Poll(volumes, options, simulated, messages, log_filter):
  """--poll: 0 once a change was shown or at Ctrl-C, 1 when --timeout
  passed without a change, 2 when the volumes cannot be listed at first."""
  from common import utils  # pylint: disable=g-import-not-at-top
  clock = utils.GetMonotonicTime
  try:
    waker = None
    if sys.platform.startswith('linux') and not simulated:
      try:
        # Opened before the first look, so that no change escapes it.
        waker = MountTableWaker(clock)
      except (IOError, OSError):
        pass
    if waker is None:
      waker = TimerWaker(options.interval, clock)
    watcher = Watcher(volumes, options, simulated, messages, log_filter)
    seen = watcher.Look()
    if seen is None:
      return 2
    watcher.Heading()
    return Watch(
        seen, watcher.Look, waker, watcher.Show, clock,
        first_only=options.first_only,
        timeout=None if options.timeout is None else options.timeout / 1000.0)
  except KeyboardInterrupt:
    return 0
