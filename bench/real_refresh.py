"""The real Linux machine's refresh against psutil's, over tmpfs mounts.

Run by run.py inside a private mount namespace (unshare --mount
--propagation private, as root), so that the mounts made here are seen by
this process and its children only and vanish with them.  Mounts 100, then
1,000, then 3,000 tmpfs filesystems and times, at each count, the module's
full refresh (VolumeInfo.AllVolumeEntries(True)) in rounds that alternate
with psutil's (psutil_worker.py, under Python 3, in the same namespace).
"""

import argparse
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

MOUNT_COUNTS = (100, 1000, 3000)
MNT_DETACH = 2

_libc = ctypes.CDLL(None, use_errno=True)


def Mount(target):
  if _libc.mount('bench', target, 'tmpfs', 0, 'size=64k') != 0:
    error = ctypes.get_errno()
    raise OSError(error, 'mount %s: %s' % (target, os.strerror(error)))


def Unmount(target):
  _libc.umount2(target, MNT_DETACH)


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


def main():
  parser = argparse.ArgumentParser()
  parser.add_argument('--out', required=True)
  parser.add_argument('--rounds', type=int, default=9)
  parser.add_argument('--quick', action='store_true')
  args = parser.parse_args()

  from windows import volumes  # pylint: disable=g-import-not-at-top
  service = volumes.VolumeInfo.__wrapped__()
  directory = tempfile.mkdtemp(prefix='volumes-bench-mounts-')
  mounted = []
  rows = []
  psutil = Psutil()
  try:
    counts = MOUNT_COUNTS[:2] if args.quick else MOUNT_COUNTS
    for count in counts:
      while len(mounted) < count:
        target = os.path.join(directory, str(len(mounted)))
        os.mkdir(target)
        Mount(target)
        mounted.append(target)
      volume_count = len(service.AllVolumeEntries(True))  # reads the mounts
      start = timing.CpuTime()
      service.AllVolumeEntries(True)
      once = timing.CpuTime() - start
      repeats = max(1, int(0.05 / max(once, 1e-6)))
      first = psutil.Time(1)
      psutil_repeats = max(1, int(0.05 / max(first['cpu_s'], 1e-6)))
      module_figures, psutil_figures, ratios = [], [], []
      for round_number in range(args.rounds):
        # Alternating which goes first, so that neither always follows
        # the other's effect on the caches.
        def TimeModule():
          start = timing.CpuTime()
          for _ in xrange(repeats):
            service.AllVolumeEntries(True)
          return (timing.CpuTime() - start) / repeats / volume_count * 1e6

        def TimePsutil():
          answer = psutil.Time(psutil_repeats)
          TimePsutil.answer = answer
          return answer['cpu_s'] / psutil_repeats / answer['mounts'] * 1e6

        if round_number % 2:
          psutil_figure, module_figure = TimePsutil(), TimeModule()
        else:
          module_figure, psutil_figure = TimeModule(), TimePsutil()
        module_figures.append(module_figure)
        psutil_figures.append(psutil_figure)
        ratios.append(module_figure / psutil_figure)
        sys.stderr.write('\rreal refresh, %d mounts: round %d of %d ' %
                         (count, round_number + 1, args.rounds))
      sys.stderr.write('\n')
      answer = TimePsutil.answer
      rows.append({
          'mounts': count,
          'volumes': volume_count,
          'module_per_volume_us': timing.Summary(module_figures),
          'module_refresh_s': timing.Summary(
              [f * volume_count * 1e-6 for f in module_figures]),
          'psutil_per_mount_us': timing.Summary(psutil_figures),
          'psutil_partitions': answer['partitions'],
          'psutil_mounts': answer['mounts'],
          'psutil_version': answer['psutil'],
          'module_vs_psutil': timing.Summary(ratios),
      })
  finally:
    psutil.Close()
    for target in reversed(mounted):
      Unmount(target)
    shutil.rmtree(directory, ignore_errors=True)
  with open(args.out, 'w') as result_file:
    json.dump({'available': True, 'rows': rows,
               'namespace': 'unshare --mount --propagation private'},
              result_file)


if __name__ == '__main__':
  main()
