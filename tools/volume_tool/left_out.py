"""The volumes that the module lists and its table left out, and why.

The table's refresh skips a volume whose mount points or volume information
cannot be read, and one without a mount point.  The command asks those
again, as the refresh asked them: a volume that is stuck fails at once
then, so that asking costs no second wait.
"""

import contextlib

from volume_tool import text
from volume_tool import win32

OK = u'ok'
TIMED_OUT = u'timed out'
NO_MOUNT_POINT = u'no mount point'
_WORDS = {win32.ERROR_ACCESS_DENIED: u'access denied',
          win32.ERROR_NOT_READY: u'not ready', win32.ERROR_TIMEOUT: TIMED_OUT}


def State(error):
  """A WindowsError in a few words: the usual ones as findmnt users know
  them, any other in the system's own words."""
  words = _WORDS.get(error.winerror)
  if words is None:
    words = text.Text(error.strerror or error).rstrip(u'.')
  return words


class LeftOut(object):
  """A listed volume that the table lacks: its name, its mount points (the
  table's choice, the shortest, first) and why it is not in the table."""

  def __init__(self, name, mount_points, state):
    self.name = name
    self.mount_points = mount_points
    self.state = state


def LeftOutVolumes(volumes, table, states=None):
  """The volumes of volumes._ListVolumeNames() that `table` lacks and whose
  state is one of `states` (any, for None), in the order listed.  A volume
  that answers now, though the table left it out (another of its volume ID
  came after it, or it answered again just now), is no volume left out."""
  in_table = set(entry.device_file for entry in table.values())
  left_out = []
  with _Quiet(volumes.LOGGER):
    for name in volumes._ListVolumeNames():
      _Ask(volumes, name, in_table, states, left_out)
  return left_out


@contextlib.contextmanager
def _Quiet(logger):
  """The module's log kept quiet: what it says of these volumes, the
  refresh has said already."""
  disabled = logger.disabled
  logger.disabled = True
  try:
    yield
  finally:
    logger.disabled = disabled


def _Ask(volumes, name, in_table, states, left_out):
  if name in in_table:
    return
  in_table.add(name)
  mount_points = []
  try:
    mount_points = sorted(
        volumes._GetVolumePathNamesForVolumeName(name) or (), key=len)
    if not mount_points:
      state = NO_MOUNT_POINT
    else:
      volumes.GetVolumeInformation(name)
      return
  except WindowsError as error:
    state = State(error)
  if states is None or state in states:
    left_out.append(LeftOut(name, [text.Text(path) for path in mount_points],
                            state))
