"""Stand-in for the host's common.utils: GetMonotonicTime."""

import ctypes
import sys
import threading

if sys.platform == 'win32':
  _kernel32 = ctypes.windll.kernel32
  _kernel32.GetTickCount64.restype = ctypes.c_ulonglong

  def _ReadClock():
    return _kernel32.GetTickCount64() / 1000.0
else:
  class _Timespec(ctypes.Structure):
    _fields_ = [('tv_sec', ctypes.c_long), ('tv_nsec', ctypes.c_long)]

  _CLOCK_MONOTONIC = 1
  _libc = ctypes.CDLL(None, use_errno=True)
  _clock_gettime = _libc.clock_gettime
  _clock_gettime.argtypes = [ctypes.c_int, ctypes.POINTER(_Timespec)]

  def _ReadClock():
    now = _Timespec()
    if _clock_gettime(_CLOCK_MONOTONIC, ctypes.byref(now)) != 0:
      error = ctypes.get_errno()
      raise OSError(error, 'clock_gettime failed')
    return now.tv_sec + now.tv_nsec * 1e-9

_lock = threading.Lock()
_last = [0.0]


def GetMonotonicTime():
  """Seconds from a clock that never goes backwards (Python 2.7 has none)."""
  with _lock:
    _last[0] = max(_last[0], _ReadClock())
    return _last[0]
