"""Replacing a file by renaming another one over it, on every platform, as
a writer of machine files must (see docs/simulated-machine.md).

os.rename does that on POSIX.  On Windows it fails when the destination
exists, and MoveFileExW with MOVEFILE_REPLACE_EXISTING does it instead; that
too fails while anyone has the destination open, even a reader that shares
deletion (FILE_SHARE_DELETE), as the platform layer does for the moment of
each read: so the rename is tried again for a while.
"""

import os
import sys
import time

MOVEFILE_REPLACE_EXISTING = 0x1
ERROR_ACCESS_DENIED = 5
ERROR_SHARING_VIOLATION = 32
# Long enough for any read of a machine file to end; a destination that is
# refused for longer is refused for good (a read-only one, say).
PATIENCE_SECONDS = 5.0


def _Unicode(path):
  if isinstance(path, unicode):
    return path
  return path.decode(sys.getfilesystemencoding() or 'mbcs')


def ReplaceFile(source, destination):
  """Renames source to destination, replacing destination if it exists.

  Raises OSError (WindowsError on Windows) when it cannot.
  """
  if os.name != 'nt':
    os.rename(source, destination)
    return
  import ctypes  # pylint: disable=g-import-not-at-top
  kernel32 = ctypes.WinDLL('kernel32', use_last_error=True)
  move = kernel32.MoveFileExW
  move.argtypes = (ctypes.c_wchar_p, ctypes.c_wchar_p, ctypes.c_uint32)
  move.restype = ctypes.c_int
  source, destination = _Unicode(source), _Unicode(destination)
  deadline = time.time() + PATIENCE_SECONDS
  pause = 0.001
  while not move(source, destination, MOVEFILE_REPLACE_EXISTING):
    error = ctypes.get_last_error()
    if (error not in (ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION) or
        time.time() >= deadline):
      raise ctypes.WinError(error)
    time.sleep(pause)
    pause = min(pause * 2, 0.05)
