"""One tree's refreshes of a still machine, for run.py --baseline, which
times two trees' in one run.

Run by run.py inside a private mount namespace of its own (unshare --mount
--propagation private, as root), with the tree on PYTHONPATH:

  still_refresh.py --machine FILE --mounts N

Mounts N tmpfs filesystems, answers one JSON line when ready, then one per
line read: "simulated" times the module's full refresh
(VolumeInfo.AllVolumeEntries(True)) of the simulated machine in FILE,
"real" that of this machine with the mounts, each in CPU microseconds per
volume.
"""

import argparse
import os
import sys

sys.dont_write_bytecode = True
BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

from real_refresh import Answer, Repeats, TmpfsMounts  # pylint: disable=g-import-not-at-top
import timing  # pylint: disable=g-import-not-at-top


class Refresh(object):
  """A service that refreshes the machine that `machine_file` names ('' for
  this one), and as many refreshes as make a sample."""

  def __init__(self, machine_file):
    from windows import volumes  # pylint: disable=g-import-not-at-top
    self.machine_file = machine_file
    self.Switch()
    self.service = volumes.VolumeInfo.__wrapped__()
    self.volumes = len(self.service.AllVolumeEntries(True))
    self.repeats = Repeats(self.Time(1) * self.volumes * 1e-6)

  def Switch(self):
    os.environ['VOLUMES_SIMULATION'] = self.machine_file

  def Time(self, repeats=None):
    self.Switch()
    refresh = self.service.AllVolumeEntries
    repeats = repeats or self.repeats
    start = timing.CpuTime()
    for _ in xrange(repeats):
      refresh(True)
    return (timing.CpuTime() - start) / repeats / self.volumes * 1e6


def main():
  parser = argparse.ArgumentParser()
  parser.add_argument('--machine', required=True)
  parser.add_argument('--mounts', type=int, required=True)
  args = parser.parse_args()
  with TmpfsMounts(args.mounts, 'volumes-bench-still-'):
    refreshes = {'simulated': Refresh(args.machine), 'real': Refresh('')}
    Answer({'ready': True, 'volumes': dict(
        (kind, refresh.volumes) for kind, refresh in refreshes.items())})
    for command in iter(sys.stdin.readline, ''):
      Answer({'per_volume_us': refreshes[command.strip()].Time()})


if __name__ == '__main__':
  main()
