"""What the command says on standard error besides its own errors: the
platform layer's lines, once each and as the platform wrote them, and the
module's log, readable."""

import logging
import os
import sys
import traceback

from common import volume_entry
from volume_tool import text
from volume_tool import win32


def Listing(simulated, say_line, work):
  """work()'s result, with the platform's messages kept while it runs; and
  the lines that standard error must say: those messages, and why the
  volumes cannot be listed when they cannot (the result is then None).
  say_line(message) is the command's own line of the message."""
  result, listing_error = None, None
  platform_messages = PlatformMessages(active=simulated)
  with platform_messages:
    try:
      result = work()
    except WindowsError as error:
      listing_error = error
  lines = list(platform_messages.lines)
  # Where the platform said something, its lines explain
  # ERROR_BAD_CONFIGURATION precisely; Windows' words would say "corrupt".
  if listing_error is not None and not (
      lines and listing_error.winerror == win32.ERROR_BAD_CONFIGURATION):
    lines.append(say_line(u'cannot list the volumes: %s' %
                          text.Text(str(listing_error))))
  return result, lines


class PlatformMessages(object):
  """Keeps what the platform layer writes to standard error while the block
  runs, each line once: a broken machine file makes it write the same line
  at every volume call.

  The platform writes to the process's standard error itself, beneath
  sys.stderr, so that is pointed at a temporary file for the duration.
  Only the simulated machine writes there: for the real one, `active` is
  False and the block runs as it is.
  """

  def __init__(self, active=True):
    self.active = active
    self.lines = []

  def __enter__(self):
    if not self.active:
      return self
    import tempfile  # pylint: disable=g-import-not-at-top
    sys.stderr.flush()
    self._file = tempfile.TemporaryFile()
    self._restore = PointStandardError(self._file.fileno())
    return self

  def __exit__(self, exception_type, unused_value, unused_traceback):
    if not self.active:
      return False
    sys.stderr.flush()
    self._restore()
    self._file.seek(0)
    for line in self._file.read().splitlines():
      if line not in self.lines:
        self.lines.append(line)
    self._file.close()
    if exception_type is not None:
      # Nobody will report them: the command is failing on its way out.
      sys.stderr.write(''.join(line + '\n' for line in self.lines))
    return False


def PointStandardError(descriptor):
  """Points the process's standard error at the open file `descriptor`;
  returns the function that points it back.

  On Windows the process's standard error is a handle of the system's, and
  the interpreter's descriptor 2 belongs to the interpreter's C runtime,
  which the module does not share: the handle itself is moved.
  """
  if os.name != 'nt':
    saved = os.dup(2)
    os.dup2(descriptor, 2)

    def Restore():
      os.dup2(saved, 2)
      os.close(saved)
    return Restore
  import ctypes  # pylint: disable=g-import-not-at-top
  import msvcrt  # pylint: disable=g-import-not-at-top
  kernel32 = ctypes.WinDLL('kernel32')
  kernel32.GetStdHandle.restype = ctypes.c_void_p
  kernel32.GetStdHandle.argtypes = (ctypes.c_uint32,)
  kernel32.SetStdHandle.argtypes = (ctypes.c_uint32, ctypes.c_void_p)
  std_error_handle = 0xFFFFFFF4  # STD_ERROR_HANDLE, (DWORD)-12
  saved = kernel32.GetStdHandle(std_error_handle)
  kernel32.SetStdHandle(std_error_handle, msvcrt.get_osfhandle(descriptor))
  return lambda: kernel32.SetStdHandle(std_error_handle, saved)


class QuietRepeats(logging.Filter):
  """Lets a warning or an error of the log through only when the previous
  round did not say it too: --poll rebuilds the table round after round,
  and a volume that cannot be read would be said at every one."""

  def __init__(self):
    logging.Filter.__init__(self)
    self.said = set()
    self.saying = set()

  def filter(self, record):
    if record.levelno < logging.WARNING:
      return True
    try:
      message = (record.levelno, record.getMessage())
    except Exception:  # pylint: disable=broad-except
      return True  # the handler says what is wrong with it
    self.saying.add(message)
    return message not in self.said

  def NextRound(self):
    self.said, self.saying = self.saying, set()


def _EntryLine(entry):
  device_type = getattr(entry.device_type, 'name', entry.device_type)
  return u'  %s mountpoint=%s label="%s" filesystem=%s device_type=%s ' \
         u'size=%s device_file=%s uuid=%s device_number=%s model=%s' % tuple(
             u'None' if value is None else text.Text(value) for value in (
                 entry.volume, entry.mountpoint, entry.label,
                 entry.filesystem, device_type, entry.size,
                 entry.device_file, entry.uuid, entry.device_number,
                 entry.model))


def _VolumeTable(record):
  """The record's one argument when it is a volume table, a dict of
  VolumeEntry records (logging unpacks a lone dict that is not empty);
  otherwise None."""
  table = record.args
  if isinstance(table, tuple) and len(table) == 1:
    table = table[0]
  if isinstance(table, dict) and all(
      isinstance(entry, volume_entry.VolumeEntry) for entry in table.values()):
    return table
  return None


class ReadableFormatter(logging.Formatter):
  """One line per record, the level first; the new table one volume per
  line instead of one repr of the whole dict; an exception as its last line
  rather than a traceback of the C call."""

  def __init__(self, encoding):
    logging.Formatter.__init__(self)
    self.encoding = encoding

  def format(self, record):
    table = _VolumeTable(record)
    if table is not None:
      # The record's own words, the number of volumes in place of the table.
      lines = [text.Text(record.msg % len(table))]
      lines.extend(_EntryLine(entry) for entry in sorted(
          table.values(), key=lambda entry: text.Text(entry.mountpoint)))
    else:
      message = text.Text(record.getMessage())
      if record.exc_info and record.exc_info[0]:
        message += u' (%s)' % text.Text(traceback.format_exception_only(
            *record.exc_info[:2])[-1].strip())
      lines = [message]
    lines[0] = u'%s %s' % (record.levelname, lines[0])
    return u'\n'.join(text.Safe(line, self.encoding)
                      for line in lines).encode(self.encoding)
