"""Used and available space of a mounted filesystem, as df reports them.

Read from the mount point through the standard library (statvfs) on POSIX
systems and through kernel32's GetDiskFreeSpaceExW on Windows, beside the
module rather than through it: the volume table records only the size.
Each read is made within the deadline (deadline.py).
"""

import os
import sys

from volume_tool import deadline


def DiskSpace(mount_point):
  """(size, used, available) bytes of the filesystem mounted at
  `mount_point`, or None when they cannot be read.  Available is what an
  unprivileged user may still write, so used + available falls short of the
  size where blocks are reserved, as with df."""
  if sys.platform == 'win32':
    return _Kernel32DiskSpace(mount_point)
  return _StatvfsDiskSpace(mount_point)


def DiskSpaces(mount_points):
  """DiskSpace of each mount point, all read at once within one deadline:
  None for one that cannot be read or does not answer in time."""
  answers = deadline.Answers([(mount_point, DiskSpace, (mount_point,))
                              for mount_point in mount_points])
  return [None if isinstance(answer, Exception) else answer
          for answer in answers]


def UsePercent(used, available):
  """df's Use%: used over used + available, rounded up; None for nothing."""
  if used + available <= 0:
    return None
  return -(-used * 100 // (used + available))


def _StatvfsDiskSpace(mount_point):
  if isinstance(mount_point, unicode):
    # The mount table's names are UTF-8, whatever the locale says.
    mount_point = mount_point.encode('utf-8')
  try:
    status = os.statvfs(mount_point)
  except OSError:
    return None
  return (status.f_blocks * status.f_frsize,
          (status.f_blocks - status.f_bfree) * status.f_frsize,
          status.f_bavail * status.f_frsize)


_kernel32 = None


def Kernel32():
  """kernel32 through ctypes, with the last error kept per call, and with
  the system's "insert a disk" dialogs off, since a drive without its medium
  is an answer here, not a question to the user."""
  global _kernel32
  if _kernel32 is None:
    import ctypes
    kernel32 = ctypes.WinDLL('kernel32', use_last_error=True)
    sem_failcriticalerrors, sem_noopenfileerrorbox = 0x0001, 0x8000
    kernel32.SetErrorMode(sem_failcriticalerrors | sem_noopenfileerrorbox)
    _kernel32 = kernel32
  return _kernel32


def Kernel32Capacity(directory):
  """(total, total free, free to the caller) bytes from GetDiskFreeSpaceExW,
  or the WindowsError that it failed with."""
  import ctypes
  available = ctypes.c_ulonglong()
  total = ctypes.c_ulonglong()
  free = ctypes.c_ulonglong()
  if not Kernel32().GetDiskFreeSpaceExW(
      ctypes.c_wchar_p(directory), ctypes.byref(available),
      ctypes.byref(total), ctypes.byref(free)):
    return ctypes.WinError(ctypes.get_last_error())
  return total.value, free.value, available.value


def _Kernel32DiskSpace(mount_point):
  capacity = Kernel32Capacity(mount_point)
  if isinstance(capacity, Exception):
    return None
  total, free, available = capacity
  return total, total - free, available
