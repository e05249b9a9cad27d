"""Every function and method, on its success path and on each error path,
called many times: the reference counts of its arguments and of the shared
objects it returns unchanged, and the collector's objects, the allocators'
bytes, the resident memory and the open handles flat.

VOLUMES_LONG_CHECKS=1 makes 100,000 calls of each path."""

import gc
import os
import sys
import unittest

from simulation import (ROOT, Handle, Scaled, SimulatedMachineTestCase, Stat,
                        VolumeName)
from windows import volumes

sys.path.insert(0, os.path.join(ROOT, 'bench'))
import process_memory  # pylint: disable=g-import-not-at-top
from volume_tool import diagnostics  # pylint: disable=g-import-not-at-top

VolumeInfoClass = volumes.VolumeInfo.__wrapped__

CALLS = Scaled(5000, 100000)
WARM_UP = 200
# Growth allowed over CALLS calls after the warm-up: less than a block a
# call, so that a leak of one small object per call shows.
MALLOC_SLACK = 16 * 1024
RESIDENT_SLACK = 1024 * 1024


def Snapshot(watched):
  """What must stay flat; measured the same way each time, so that what the
  measuring itself holds cancels out."""
  gc.collect()
  snapshot = {'objects': len(gc.get_objects()),
              'refcounts': map(sys.getrefcount, watched),
              'malloc': process_memory.AllocatedBytes() or 0,
              'resident': process_memory.ResidentBytes() or 0,
              'handles': process_memory.OpenHandles() or 0}
  return snapshot


class RefcountTest(SimulatedMachineTestCase):

  MANY_CALLS = True

  def setUp(self):
    SimulatedMachineTestCase.setUp(self)
    many_paths = [u'M:\\mount%03d\\' % n for n in range(40)]
    self.machine = self.WriteMachine({'volumes': [
        {'name': VolumeName('a'), 'paths': [u'C:\\'], 'serial': 1,
         'handles': [1], 'filesystem': 'FAT32', 'total_bytes': 10},
        {'name': VolumeName('b'), 'paths': many_paths, 'serial': 2,
         'handles': [2]},
        {'name': VolumeName('c'), 'paths': [u'I:\\'], 'serial': 3,
         'handles': [3], 'fail': {'info': 21, 'capacity': 5,
                                  'paths': {'code': 5, 'returned_length': 9}}},
        {'name': VolumeName('d'), 'paths': [u'L:\\'], 'serial': 4,
         'label': u'x' * 261}]})
    self.repeated = self.WriteMachine({'volumes': [
        {'name': VolumeName('a')}, {'name': VolumeName('a')}]}, 'repeated.json')
    self.first_fails = self.WriteMachine({'find_first_error': 21},
                                         'first_fails.json')
    self.next_fails = self.WriteMachine(
        {'volumes': [{'name': u'A'}, {'name': u'B'}],
         'find_next_error': {'after': 1, 'code': 5}}, 'next_fails.json')
    self.broken = self.WriteMachine('{"volumes": 1e400}', 'broken.json')
    os.environ['VOLUMES_SIMULATION'] = self.machine

  def Paths(self):
    """(name, machine, callable, args, kwargs) of every path to run."""
    service = VolumeInfoClass()
    service.AllVolumeEntries()
    marker = service._volume_ids
    stat = os.stat(self.machine)
    m, repeated = self.machine, self.repeated
    return [
        # Pays for what the measuring loop makes once, on its first round.
        (None, m, len, ((),), {}),
        ('GetVolumeInformation', m, volumes.GetVolumeInformation, (u'C:\\',), {}),
        ('GetVolumeInformation keyword', m, volumes.GetVolumeInformation, (), {'path': u'C:\\'}),
        ('GetVolumeInformation unknown', m, volumes.GetVolumeInformation, (u'Q:\\',), {}),
        ('GetVolumeInformation failing', m, volumes.GetVolumeInformation, (u'I:\\',), {}),
        ('GetVolumeInformation label too long', m, volumes.GetVolumeInformation, (u'L:\\',), {}),
        ('GetVolumeInformation str', m, volumes.GetVolumeInformation, ('C:\\',), {}),
        ('GetVolumeInformation no argument', m, volumes.GetVolumeInformation, (), {}),
        ('GetVolumeInformation bad keyword', m, volumes.GetVolumeInformation, (u'C:\\',), {'size': 1}),
        ('GetVolumeInformation broken file', self.broken, volumes.GetVolumeInformation, (u'C:\\',), {}),
        ('GetVolumeInformationByHandle', m, volumes.GetVolumeInformationByHandle, (Handle(1),), {}),
        ('GetVolumeInformationByHandle unknown', m, volumes.GetVolumeInformationByHandle, (Handle(99),), {}),
        ('GetVolumeInformationByHandle str handle', m, volumes.GetVolumeInformationByHandle, (Handle('x'),), {}),
        ('GetVolumeInformationByHandle no handle', m, volumes.GetVolumeInformationByHandle, (object(),), {}),
        ('_GetVolumePathNamesForVolumeName', m, volumes._GetVolumePathNamesForVolumeName, (VolumeName('a'),), {}),
        ('_GetVolumePathNamesForVolumeName growing', m, volumes._GetVolumePathNamesForVolumeName, (VolumeName('b'),), {}),
        ('_GetVolumePathNamesForVolumeName failing', m, volumes._GetVolumePathNamesForVolumeName, (VolumeName('c'),), {}),
        ('_GetVolumePathNamesForVolumeName unknown', m, volumes._GetVolumePathNamesForVolumeName, (u'nothing',), {}),
        ('_GetVolumePathNamesForVolumeName str', m, volumes._GetVolumePathNamesForVolumeName, ('x',), {}),
        ('_ListVolumeNames', m, volumes._ListVolumeNames, (), {}),
        ('_ListVolumeNames repeated name', repeated, volumes._ListVolumeNames, (), {}),
        ('_ListVolumeNames first fails', self.first_fails, volumes._ListVolumeNames, (), {}),
        ('_ListVolumeNames next fails', self.next_fails, volumes._ListVolumeNames, (), {}),
        ('_ListVolumeNames extra argument', m, volumes._ListVolumeNames, (1,), {}),
        ('FindVolumeID', m, volumes.FindVolumeID, (stat,), {}),
        ('FindVolumeID no st_dev', m, volumes.FindVolumeID, (object(),), {}),
        ('FindVolumeID str st_dev', m, volumes.FindVolumeID, (Stat('x'),), {}),
        ('FindVolumeID huge st_dev', m, volumes.FindVolumeID, (Stat(2**70),), {}),
        ('_VolumeIDFromSerialNumber', m, volumes._VolumeIDFromSerialNumber, (7,), {}),
        ('_VolumeIDFromSerialNumber long', m, volumes._VolumeIDFromSerialNumber, (2**40,), {}),
        ('_VolumeIDFromSerialNumber str', m, volumes._VolumeIDFromSerialNumber, ('7',), {}),
        ('IsFAT cached', m, volumes.IsFAT, (1, Handle(1)), {}),
        ('IsFAT keywords', m, volumes.IsFAT, (), {'serial_number': 2, 'handle': Handle(2)}),
        ('IsFAT failing', m, volumes.IsFAT, (3, Handle(3)), {}),
        ('IsFAT one argument', m, volumes.IsFAT, (1,), {}),
        ('IsFAT repeated keyword', m, volumes.IsFAT, (1, 2), {'serial_number': 3}),
        ('IsFAT bad handle', m, volumes.IsFAT, (9, Handle('x')), {}),
        ('AllVolumeEntries', m, service.AllVolumeEntries, (), {}),
        ('AllVolumeEntries forced', m, service.AllVolumeEntries, (True,), {}),
        ('AllVolumeEntries too many', m, service.AllVolumeEntries, (True, 1), {}),
        ('AllVolumeEntries empty table', self.first_fails, VolumeInfoClass().AllVolumeEntries, (), {}),
        ('GetVolumeEntryForVolumeID', m, service.GetVolumeEntryForVolumeID, ('serial:1',), {}),
        ('GetVolumeEntryForVolumeID missing', m, service.GetVolumeEntryForVolumeID, (u'serial:9',), {}),
        ('GetVolumeEntryForDeviceNumber', m, service.GetVolumeEntryForDeviceNumber, (1,), {}),
        ('GetVolumeEntryForDeviceNumber missing', m, service.GetVolumeEntryForDeviceNumber, (99,), {}),
        ('VolumeInfo.FindVolumeID', m, service.FindVolumeID, (stat,), {}),
        ('_PopulateVolumeTable stale', m, service._PopulateVolumeTable, ({},), {}),
        ('_PopulateVolumeTable current', m, service._PopulateVolumeTable, (marker,), {}),
        ('VolumeInfo()', m, VolumeInfoClass, (), {}),
    ]

  def testCountsAndMemoryStayFlat(self):
    grown = []
    with open(os.devnull, 'w') as null:
      # The broken file's lines.
      restore = diagnostics.PointStandardError(null.fileno())
      try:
        paths, calls = self.RunPaths(grown)
      finally:
        restore()
    sys.stderr.write('%d paths, %d calls\n' % (paths, calls))
    self.assertEqual(grown, [])

  def RunPaths(self, grown):
    calls = 0
    # Every name the loop binds exists before the first measurement, so the
    # first path is measured as the others are.
    before = after = growth = outcome = watched = Snapshot([])
    for name, machine, function, args, kwargs in self.Paths():
      os.environ['VOLUMES_SIMULATION'] = machine
      watched = list(args) + kwargs.values() + [None, True, False]
      outcome = self.Outcome(function, args, kwargs)
      for _ in range(WARM_UP):
        self.Outcome(function, args, kwargs)
      if not isinstance(outcome, type):
        watched.append(outcome)  # a shared result: cached IDs, True, None
      before = Snapshot(watched)
      for _ in range(CALLS):
        self.assertEqual(self.Outcome(function, args, kwargs).__class__,
                         outcome.__class__, name)
      if name is not None:
        calls += CALLS + WARM_UP + 1
      after = Snapshot(watched)
      growth = dict((key, after[key] - before[key])
                    for key in ('objects', 'malloc', 'resident', 'handles'))
      growth['refcounts'] = [a - b for a, b in zip(after['refcounts'],
                                                   before['refcounts'])]
      if (any(growth['refcounts']) or growth['objects'] > 0 or
          growth['malloc'] > MALLOC_SLACK or growth['handles'] > 0 or
          (not process_memory.SANITIZED and
           growth['resident'] > RESIDENT_SLACK)):
        if name is not None:
          grown.append((name, growth))
    return len(self.Paths()) - 1, calls

  def Outcome(self, function, args, kwargs):
    """The result, or the exception's class for a call that raises."""
    try:
      result = function(*args, **kwargs)
    except Exception as error:  # pylint: disable=broad-except
      return error.__class__
    # Results that the module makes anew each call say nothing alone: keep
    # only those it shares (interned IDs, True, False, None).
    if isinstance(result, (bool, type(None))) or sys.getrefcount(result) > 3:
      return result
    return object()


if __name__ == '__main__':
  unittest.main()
