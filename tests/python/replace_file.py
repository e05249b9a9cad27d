"""Replacing a file by renaming another one over it, on every platform.

A machine file changes by a new file renamed over the old one.  os.rename
does that on POSIX; on Windows it fails when the destination exists, and
MoveFileExW with MOVEFILE_REPLACE_EXISTING does it instead.
"""

import os
import sys

MOVEFILE_REPLACE_EXISTING = 0x1


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
  import ctypes
  kernel32 = ctypes.WinDLL('kernel32', use_last_error=True)
  move = kernel32.MoveFileExW
  move.argtypes = (ctypes.c_wchar_p, ctypes.c_wchar_p, ctypes.c_uint32)
  move.restype = ctypes.c_int
  if not move(_Unicode(source), _Unicode(destination),
              MOVEFILE_REPLACE_EXISTING):
    raise ctypes.WinError(ctypes.get_last_error())
