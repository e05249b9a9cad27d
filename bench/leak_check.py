"""Runs every path of the module many times and reports memory growth.

  PYTHONPATH=build/python python2.7 bench/leak_check.py [ROUNDS]

Each scenario runs a while to warm up, then ROUNDS times (20000 unless
given); the bytes that
malloc has handed out (pymalloc's arenas included) and the number of objects
the collector tracks must not grow with the rounds.  Exits 1 when a scenario
grew.
"""

import gc
import json
import logging
import os
import shutil
import sys
import tempfile

from process_memory import AllocatedBytes
from windows import volumes

ROUNDS = 20000

VolumeInfoClass = volumes.VolumeInfo.__wrapped__


class Handle(object):
  def __init__(self, handle):
    self.handle = handle


def Swallow(function, *args, **kwargs):
  try:
    function(*args, **kwargs)
  except Exception:  # pylint: disable=broad-except
    pass


def Machine(directory):
  volume = lambda guid, **fields: dict(
      {'name': u'\\\\?\\Volume{%s}\\' % guid}, **fields)
  machine = {'volumes': [
      volume('a', paths=[u'C:\\'], serial=1, handles=[1], filesystem='FAT32'),
      volume('b', paths=[u'E:\\', u'C:\\mnt\\usb\\'], serial=2, handles=[2]),
      volume('c', paths=[u'F:\\'], fail={'info': 21, 'capacity': 5}, handles=[3]),
      volume('d', paths=[u'G:\\'], fail={'paths': {'code': 5, 'returned_length': 3}}),
      volume('e'), volume('e'),
  ]}
  path = os.path.join(directory, 'machine.json')
  with open(path, 'w') as out:
    json.dump(machine, out)
  return path


def main():
  directory = tempfile.mkdtemp(prefix='volumes-leak-')
  os.environ['VOLUMES_SIMULATION'] = Machine(directory)
  logging.getLogger('windows.volumes').addHandler(logging.NullHandler())
  logging.getLogger('windows.volumes').propagate = False
  service = VolumeInfoClass()
  stat_result = os.stat(__file__)
  scenarios = [
      ('listing', volumes._ListVolumeNames),
      ('mount points, grown buffer', lambda: volumes._GetVolumePathNamesForVolumeName(u'\\\\?\\Volume{b}\\')),
      ('mount points, failure', lambda: Swallow(volumes._GetVolumePathNamesForVolumeName, u'\\\\?\\Volume{d}\\')),
      ('volume information', lambda: volumes.GetVolumeInformation(u'C:')),
      ('volume information, failure', lambda: Swallow(volumes.GetVolumeInformation, u'F:\\')),
      ('by handle', lambda: volumes.GetVolumeInformationByHandle(2)),
      ('argument errors', lambda: (Swallow(volumes.GetVolumeInformation, 'x'),
                                   Swallow(volumes.GetVolumeInformationByHandle, 'x'),
                                   Swallow(volumes.IsFAT, 1, size=2),
                                   Swallow(volumes.IsFAT, 1, 2, **{u'\xe9': 1}))),
      ('volume IDs', lambda: (volumes.FindVolumeID(stat_result),
                              volumes._VolumeIDFromSerialNumber(2**40))),
      ('IsFAT, cached and failing', lambda: (volumes.IsFAT(1, Handle(1)),
                                             volumes.IsFAT(3, Handle(3)))),
      ('refresh with skipped volumes', lambda: service.AllVolumeEntries(True)),
      ('lookups', lambda: (service.GetVolumeEntryForVolumeID('serial:1'),
                           service.GetVolumeEntryForDeviceNumber(2),
                           service.FindVolumeID(stat_result))),
  ]
  if sys.platform.startswith('linux'):
    def RealMachine():
      del os.environ['VOLUMES_SIMULATION']
      try:
        service.AllVolumeEntries(True)
        volumes.GetVolumeInformation(u'/')
      finally:
        os.environ['VOLUMES_SIMULATION'] = Machine(directory)
    scenarios.append(('this machine', RealMachine))

  rounds = int(sys.argv[1]) if len(sys.argv) > 1 else ROUNDS
  grew = False
  for name, scenario in scenarios:
    for _ in range(1000):
      scenario()
    gc.collect()
    allocated, objects = AllocatedBytes(), len(gc.get_objects())
    for _ in range(rounds):
      scenario()
    gc.collect()
    growth = AllocatedBytes() - allocated
    object_growth = len(gc.get_objects()) - objects
    leaked = growth > 64 * 1024 or object_growth > 10
    grew = grew or leaked
    print '%-30s %8d bytes %6d objects after %d rounds%s' % (
        name, growth, object_growth, rounds, '  GREW' if leaked else '')
  shutil.rmtree(directory)
  return 1 if grew else 0


if __name__ == '__main__':
  sys.exit(main())
