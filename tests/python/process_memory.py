"""What a process holds, read the same way on every system, for the checks
that every path of the module leaves nothing behind (tests/leak_check.py,
test_refcounts.py) and that stuck volumes hold few threads
(test_stuck_volumes.py).

On Windows the interpreter and the module each have a C runtime of their
own, each with its own heap: the bytes in use are summed over every heap of
the process.
"""

import ctypes
import os
import sys

WINDOWS = sys.platform == 'win32'
# The sanitizers' allocator serves malloc in their build, unseen by glibc's.
SANITIZED = 'libasan' in os.environ.get('LD_PRELOAD', '')


def AllocatedBytes():
  """Bytes that the C runtimes' allocators have handed out, pymalloc's
  arenas included; None where they cannot be read."""
  if WINDOWS:
    return _HeapBytesInUse()
  if SANITIZED or not sys.platform.startswith('linux'):
    return None
  info = _Glibc().mallinfo2()
  return info.uordblks + info.hblkhd


def ResidentBytes():
  """The process's memory of its own: resident pages on Linux, committed
  private bytes on Windows; None elsewhere."""
  if WINDOWS:
    counters = _ProcessMemoryCounters()
    counters.cb = ctypes.sizeof(counters)
    _Kernel32().K32GetProcessMemoryInfo(
        _Kernel32().GetCurrentProcess(), ctypes.byref(counters), counters.cb)
    # The commit charge, which PrivateUsage repeats where it is filled in
    # (Wine leaves it 0).
    return counters.PagefileUsage
  if not sys.platform.startswith('linux'):
    return None
  with open('/proc/self/statm') as statm:
    return int(statm.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')


def OpenHandles():
  """Open handles (Windows) or file descriptors (Linux); None elsewhere.
  Wine counts no handles: there it is always 0."""
  if WINDOWS:
    count = ctypes.c_uint32()
    _Kernel32().GetProcessHandleCount(_Kernel32().GetCurrentProcess(),
                                      ctypes.byref(count))
    return count.value
  if not sys.platform.startswith('linux'):
    return None
  return len(os.listdir('/proc/self/fd'))


def Threads():
  """The process's threads, the module's waiters included; None where they
  cannot be counted."""
  if WINDOWS:
    kernel32 = _Kernel32()
    snapshot = kernel32.CreateToolhelp32Snapshot(_TH32CS_SNAPTHREAD, 0)
    if snapshot in (None, ctypes.c_void_p(-1).value):
      return None
    try:
      entry = _ThreadEntry32()
      entry.dwSize = ctypes.sizeof(entry)
      count, more = 0, kernel32.Thread32First(snapshot, ctypes.byref(entry))
      while more:
        count += entry.th32OwnerProcessID == os.getpid()
        more = kernel32.Thread32Next(snapshot, ctypes.byref(entry))
      return count
    finally:
      kernel32.CloseHandle(snapshot)
  if not sys.platform.startswith('linux'):
    return None
  return len(os.listdir('/proc/self/task'))


class _ThreadEntry32(ctypes.Structure):
  """THREADENTRY32."""
  _fields_ = [(name, ctypes.c_uint32) for name in (
      'dwSize', 'cntUsage', 'th32ThreadID', 'th32OwnerProcessID', 'tpBasePri',
      'tpDeltaPri', 'dwFlags')]

_TH32CS_SNAPTHREAD = 0x4


class _MallInfo2(ctypes.Structure):
  _fields_ = [(name, ctypes.c_size_t) for name in (
      'arena', 'ordblks', 'smblks', 'hblks', 'hblkhd', 'usmblks', 'fsmblks',
      'uordblks', 'fordblks', 'keepcost')]


class _ProcessMemoryCounters(ctypes.Structure):
  """PROCESS_MEMORY_COUNTERS."""
  _fields_ = [('cb', ctypes.c_uint32), ('PageFaultCount', ctypes.c_uint32)] + [
      (name, ctypes.c_size_t) for name in (
          'PeakWorkingSetSize', 'WorkingSetSize', 'QuotaPeakPagedPoolUsage',
          'QuotaPagedPoolUsage', 'QuotaPeakNonPagedPoolUsage',
          'QuotaNonPagedPoolUsage', 'PagefileUsage', 'PeakPagefileUsage')]


class _HeapEntry(ctypes.Structure):
  """PROCESS_HEAP_ENTRY; its union left unread."""
  _fields_ = [('lpData', ctypes.c_void_p), ('cbData', ctypes.c_uint32),
              ('cbOverhead', ctypes.c_ubyte), ('iRegionIndex', ctypes.c_ubyte),
              ('wFlags', ctypes.c_uint16),
              ('union', ctypes.c_byte * (16 + 2 * ctypes.sizeof(ctypes.c_void_p)))]

_PROCESS_HEAP_ENTRY_BUSY = 0x0004
_libraries = {}


def _Glibc():
  if 'glibc' not in _libraries:
    glibc = ctypes.CDLL(None)
    glibc.mallinfo2.restype = _MallInfo2
    _libraries['glibc'] = glibc
  return _libraries['glibc']


def _Kernel32():
  if 'kernel32' not in _libraries:
    kernel32 = ctypes.WinDLL('kernel32')
    kernel32.GetCurrentProcess.restype = ctypes.c_void_p
    kernel32.K32GetProcessMemoryInfo.argtypes = (
        ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32)
    kernel32.GetProcessHandleCount.argtypes = (ctypes.c_void_p, ctypes.c_void_p)
    kernel32.GetProcessHeaps.argtypes = (ctypes.c_uint32, ctypes.c_void_p)
    for name in ('HeapLock', 'HeapUnlock'):
      getattr(kernel32, name).argtypes = (ctypes.c_void_p,)
    kernel32.HeapWalk.argtypes = (ctypes.c_void_p, ctypes.c_void_p)
    kernel32.CreateToolhelp32Snapshot.restype = ctypes.c_void_p
    kernel32.CreateToolhelp32Snapshot.argtypes = (ctypes.c_uint32, ctypes.c_uint32)
    for name in ('Thread32First', 'Thread32Next'):
      getattr(kernel32, name).argtypes = (ctypes.c_void_p, ctypes.c_void_p)
    kernel32.CloseHandle.argtypes = (ctypes.c_void_p,)
    _libraries['kernel32'] = kernel32
  return _libraries['kernel32']


def _HeapBytesInUse():
  kernel32 = _Kernel32()
  # As many heaps as the process has, asked again should one be made
  # between the two calls.
  count = kernel32.GetProcessHeaps(0, None)
  while True:
    heaps = (ctypes.c_void_p * count)()
    count = kernel32.GetProcessHeaps(len(heaps), heaps)
    if 0 < count <= len(heaps):
      break
    if count == 0:
      return None
  total = 0
  entry = _HeapEntry()
  for heap in heaps[:count]:
    kernel32.HeapLock(heap)
    try:
      entry.lpData = None
      while kernel32.HeapWalk(heap, ctypes.byref(entry)):
        if entry.wFlags & _PROCESS_HEAP_ENTRY_BUSY:
          total += entry.cbData
    finally:
      kernel32.HeapUnlock(heap)
  return total
