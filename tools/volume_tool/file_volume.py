"""A file's stat result as FindVolumeID and IsFAT take it: st_dev carrying
the volume serial number.

CPython 2.7's os.stat leaves st_dev 0 on Windows, where FindVolumeID and
IsFAT read st_dev as the volume serial number.  Where it is 0 (no Linux
filesystem has device number 0), the serial number is asked of the system
itself, as a host's own stat asks it: through GetVolumeInformationByHandleW
on a CreateFileW handle of the file on Windows (which opens directories
too), and fstat of a descriptor elsewhere.  It is the real volume's serial
number whatever machine the module answers from: a PATH names the volume
that really holds it, which a simulated machine has when it says so (a
machine captured here does).
"""

import contextlib
import os

from volume_tool import disk_space


def WithSerial(path, status):
  """`status`, os.stat(path), with st_dev the serial number of the volume
  that holds the path.  Raises OSError (WindowsError on Windows) when the
  path cannot be opened or its volume asked."""
  if status.st_dev != 0:
    return status
  with OpenHandle(path) as handle:
    serial_number = _SerialNumber(path, handle)
  values = list(status[:10])
  values[2] = serial_number  # st_dev
  return os.stat_result(values)


@contextlib.contextmanager
def OpenHandle(path):
  """A handle of `path`, file or directory, closed on the way out."""
  if os.name == 'nt':
    kernel32, handle = _CreateFile(path)
    try:
      yield handle
    finally:
      kernel32.CloseHandle(handle)
  else:
    # Without waiting: a FIFO would hold the open until a writer comes.
    descriptor = os.open(path, os.O_RDONLY | getattr(os, 'O_NONBLOCK', 0))
    try:
      yield descriptor
    finally:
      os.close(descriptor)


def VolumeRoot(path):
  """The root (mount point) of the volume that holds `path`, as
  GetVolumeInformation takes it."""
  if os.name == 'nt':
    return _VolumePathName(path)
  path = os.path.realpath(path)
  while not os.path.ismount(path):
    path = os.path.dirname(path)
  return path


def _SerialNumber(path, handle):
  if os.name != 'nt':
    return os.fstat(handle).st_dev
  import ctypes  # pylint: disable=g-import-not-at-top
  from ctypes import wintypes  # pylint: disable=g-import-not-at-top
  serial_number = wintypes.DWORD()
  if not _Kernel32().GetVolumeInformationByHandleW(
      handle, None, 0, ctypes.byref(serial_number), None, None, None, 0):
    raise _WindowsError(path)
  return serial_number.value


FILE_READ_ATTRIBUTES = 0x80
FILE_SHARE_ALL = 0x1 | 0x2 | 0x4  # read, write and delete
OPEN_EXISTING = 3
FILE_FLAG_BACKUP_SEMANTICS = 0x02000000


def _Kernel32():
  """The command's kernel32 (no "insert a disk" dialogs), with the shapes of
  the calls made here."""
  import ctypes  # pylint: disable=g-import-not-at-top
  from ctypes import wintypes  # pylint: disable=g-import-not-at-top
  kernel32 = disk_space.Kernel32()
  kernel32.CreateFileW.argtypes = (
      wintypes.LPCWSTR, wintypes.DWORD, wintypes.DWORD, ctypes.c_void_p,
      wintypes.DWORD, wintypes.DWORD, wintypes.HANDLE)
  kernel32.CreateFileW.restype = wintypes.HANDLE
  kernel32.CloseHandle.argtypes = (wintypes.HANDLE,)
  kernel32.GetVolumePathNameW.argtypes = (
      wintypes.LPCWSTR, wintypes.LPWSTR, wintypes.DWORD)
  dword_pointer = ctypes.POINTER(wintypes.DWORD)
  kernel32.GetVolumeInformationByHandleW.argtypes = (
      wintypes.HANDLE, wintypes.LPWSTR, wintypes.DWORD, dword_pointer,
      dword_pointer, dword_pointer, wintypes.LPWSTR, wintypes.DWORD)
  return kernel32


def _WideName(path):
  if isinstance(path, unicode):
    return path
  import sys  # pylint: disable=g-import-not-at-top
  return path.decode(sys.getfilesystemencoding() or 'mbcs')


def _WindowsError(path):
  import ctypes  # pylint: disable=g-import-not-at-top
  error = ctypes.WinError(ctypes.get_last_error())
  error.filename = path
  return error


def _CreateFile(path):
  """kernel32 and a handle of `path` that asks for its attributes only and
  shares everything, so that no other opener of the file is refused."""
  import ctypes  # pylint: disable=g-import-not-at-top
  kernel32 = _Kernel32()
  handle = kernel32.CreateFileW(
      _WideName(path), FILE_READ_ATTRIBUTES, FILE_SHARE_ALL, None,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, None)
  if handle is None or handle == ctypes.c_void_p(-1).value:
    raise _WindowsError(path)
  return kernel32, handle


def _VolumePathName(path):
  import ctypes  # pylint: disable=g-import-not-at-top
  size = 32768  # the longest path kernel32 takes, with its NUL
  root = ctypes.create_unicode_buffer(size)
  if not _Kernel32().GetVolumePathNameW(_WideName(path), root, size):
    raise _WindowsError(path)
  return root.value
