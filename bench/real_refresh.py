"""One count of tmpfs mounts, for the real Linux machine's refresh.

Run by run.py inside a private mount namespace of its own (unshare --mount
--propagation private, as root), so that the mounts made here are seen by
this process and its children only and vanish with them:

  real_refresh.py --mounts N

Mounts N tmpfs filesystems, answers one JSON line when ready, then one per
line read: "module" times the module's full refresh
(VolumeInfo.AllVolumeEntries(True)) per volume, "psutil" psutil's per mount
(psutil_worker.py, under Debian's Python 3, in the same namespace).  run.py
runs one of these per count at once and asks them in interleaved rounds.
"""

import argparse
import contextlib
import ctypes
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

import timing  # pylint: disable=g-import-not-at-top

MNT_DETACH = 2
SAMPLE_SECONDS = 0.05

_libc = ctypes.CDLL(None, use_errno=True)


def Mount(target, source='bench'):
  if _libc.mount(source, target, 'tmpfs', 0, 'size=64k') != 0:
    error = ctypes.get_errno()
    raise OSError(error, 'mount %s: %s' % (target, os.strerror(error)))


def Unmount(target):
  _libc.umount2(target, MNT_DETACH)


@contextlib.contextmanager
def TmpfsMounts(count, prefix):
  """A new directory with `count` tmpfs filesystems mounted in it, named 0
  to count - 1; all unmounted and the directory removed on the way out."""
  directory = tempfile.mkdtemp(prefix=prefix)
  mounted = []
  try:
    for number in range(count):
      target = os.path.join(directory, str(number))
      os.mkdir(target)
      Mount(target)
      mounted.append(target)
    yield directory
  finally:
    for target in reversed(mounted):
      Unmount(target)
    shutil.rmtree(directory, ignore_errors=True)


class Psutil(object):
  """The Python 3 process that times psutil on request."""

  def __init__(self):
    # Python 2's search path means nothing to Python 3.
    environment = dict((key, value) for key, value in os.environ.items()
                       if not key.startswith('PYTHON'))
    self.process = subprocess.Popen(
        ['/usr/bin/python3', os.path.join(BENCH, 'psutil_worker.py')],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment)

  def Time(self, repeats):
    self.process.stdin.write('%d\n' % repeats)
    self.process.stdin.flush()
    answer = self.process.stdout.readline()
    if not answer:
      raise SystemExit('psutil_worker.py ended early')
    return json.loads(answer)

  def Close(self):
    self.process.stdin.close()
    self.process.wait()


class Module(object):
  """The module's refresh, timed in this process."""

  def __init__(self):
    from windows import volumes  # pylint: disable=g-import-not-at-top
    self.service = volumes.VolumeInfo.__wrapped__()
    self.volumes = len(self.service.AllVolumeEntries(True))

  def Time(self, repeats):
    refresh = self.service.AllVolumeEntries
    start = timing.CpuTime()
    for _ in xrange(repeats):
      refresh(True)
    return timing.CpuTime() - start


def Answer(value):
  sys.stdout.write(json.dumps(value) + '\n')
  sys.stdout.flush()


def Repeats(elapsed_once):
  return max(1, int(SAMPLE_SECONDS / max(elapsed_once, 1e-6)))


def main():
  parser = argparse.ArgumentParser()
  parser.add_argument('--mounts', type=int, required=True)
  args = parser.parse_args()

  with TmpfsMounts(args.mounts, 'volumes-bench-mounts-'):
    Serve(args)


def Serve(args):
  """Answers run.py's requests over the mounts made."""
  psutil = None
  try:
    module = Module()
    module_repeats = Repeats(module.Time(1))
    psutil = Psutil()
    psutil_repeats = Repeats(psutil.Time(1)['cpu_s'])
    Answer({'ready': True, 'volumes': module.volumes})
    for command in iter(sys.stdin.readline, ''):
      command = command.strip()
      if command == 'module':
        elapsed = module.Time(module_repeats)
        Answer({'per_volume_us':
                elapsed / module_repeats / module.volumes * 1e6})
      elif command == 'psutil':
        answer = psutil.Time(psutil_repeats)
        answer['per_mount_us'] = (
            answer['cpu_s'] / psutil_repeats / answer['mounts'] * 1e6)
        Answer(answer)
      else:
        raise SystemExit('unknown command %r' % command)
  finally:
    if psutil:
      psutil.Close()


if __name__ == '__main__':
  main()
