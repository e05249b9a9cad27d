"""How long the module's calls take, in nanoseconds per call.

  PYTHONPATH=build/python python2.7 bench/module_bench.py

Runs against the simulated workstation of examples/ and, on Linux, against
this machine.
"""

import os
import sys
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ['VOLUMES_SIMULATION'] = os.path.join(ROOT, 'examples', 'workstation.json')

from windows import volumes  # pylint: disable=g-import-not-at-top

VolumeInfoClass = volumes.VolumeInfo.__wrapped__


class Handle(object):
  handle = 2048


def Measure(label, function, repeat=5):
  calls = 1
  while timeit.timeit(function, number=calls) < 0.2:
    calls *= 4
  best = min(timeit.repeat(function, number=calls, repeat=repeat)) / calls
  print '%-52s %12.0f ns' % (label, best * 1e9)


def main():
  service = VolumeInfoClass()
  service.AllVolumeEntries()
  stat_result = os.stat(__file__)
  volume_id = volumes._VolumeIDFromSerialNumber(1223812934)
  volumes.IsFAT(1223812934, Handle())

  Measure('_VolumeIDFromSerialNumber(int)',
          lambda: volumes._VolumeIDFromSerialNumber(1223812934))
  Measure('FindVolumeID(stat_result)', lambda: volumes.FindVolumeID(stat_result))
  Measure('VolumeInfo.FindVolumeID(stat_result)',
          lambda: service.FindVolumeID(stat_result))
  Measure('IsFAT, cached', lambda: volumes.IsFAT(1223812934, Handle()))
  Measure('GetVolumeEntryForVolumeID', lambda: service.GetVolumeEntryForVolumeID(volume_id))
  Measure('AllVolumeEntries() (a copy of 6 entries)', service.AllVolumeEntries)
  Measure('GetVolumeInformation(u"E:\\\\"), simulated',
          lambda: volumes.GetVolumeInformation(u'E:\\'))
  Measure('AllVolumeEntries(True), simulated workstation',
          lambda: service.AllVolumeEntries(True))
  if sys.platform.startswith('linux'):
    del os.environ['VOLUMES_SIMULATION']
    count = len(service.AllVolumeEntries(True))
    Measure('AllVolumeEntries(True), this machine (%d volumes)' % count,
            lambda: service.AllVolumeEntries(True))
    Measure('GetVolumeInformation(u"/"), this machine',
            lambda: volumes.GetVolumeInformation(u'/'))


if __name__ == '__main__':
  main()
