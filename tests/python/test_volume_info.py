"""The VolumeInfo service: its lookups and the rebuild of its table."""

import sys
import threading
import unittest

from common import volume_entry
from simulation import Rebound, SimulatedMachineTestCase, Stat, Volume
from windows import volumes

VolumeInfoClass = volumes.VolumeInfo.__wrapped__
DeviceType = volume_entry.DeviceType


class RecordingLock(object):
  """A service lock that records how the rebuild leaves it."""

  def __init__(self, exit_result=False):
    self.lock = threading.Lock()
    self.exits = []
    self.exit_result = exit_result
    self.entering = threading.Event()

  def __enter__(self):
    self.entering.set()
    self.lock.acquire()

  def __exit__(self, exception_type, value, traceback):
    self.exits.append((exception_type, value))
    self.handled = sys.exc_info()[0]  # the with statement's handled one
    self.lock.release()
    return self.exit_result


class VolumeInfoTest(SimulatedMachineTestCase):

  def setUp(self):
    SimulatedMachineTestCase.setUp(self)
    self.service = VolumeInfoClass()

  def Rebuilds(self):
    return self.logs.Lines('INFO').count(
        ('INFO', 'Refreshing volume information table.'))

  def Entries(self, *machine, **top_level):
    self.UseMachine(machine, **top_level)
    return self.service.AllVolumeEntries(True)

  def testLookupsNeverRefresh(self):
    self.UseMachine([Volume('c', ['C:\\'], serial=1)])
    self.assertIsNone(self.service.GetVolumeEntryForVolumeID('serial:1'))
    self.assertIs(self.service.FindVolumeID(Stat(1)), volumes.FindVolumeID(Stat(1)))
    self.assertEqual(self.Journal(), [])
    self.service.AllVolumeEntries()
    entry = self.service.GetVolumeEntryForVolumeID(u'serial:1')
    self.assertEqual(entry.mountpoint, u'C:\\')
    self.assertIsNone(self.service.GetVolumeEntryForVolumeID('serial:2'))
    self.assertEqual(len(self.Journal('FindFirstVolumeW')), 1)

  def testEntryFields(self):
    guid = '6b29fc40-ca47-1067-b31d-00dd010662da'
    entries = self.Entries(Volume(guid, ['E:\\'], label=u'Stick', serial=2**31,
                                  filesystem='FAT32', drive_type=2,
                                  total_bytes=2**40))
    entry = entries['serial:2147483648']
    self.assertIs(entry.volume, volumes._VolumeIDFromSerialNumber(2**31))
    self.assertEqual(
        (entry.mountpoint, entry.device_file, entry.device_number, entry.uuid,
         entry.model, entry.device_type, entry.label, entry.filesystem,
         entry.size),
        (u'E:\\', u'\\\\?\\Volume{%s}\\' % guid, 2**31, guid, None,
         DeviceType.REMOVABLE, u'Stick', 'fat32', 2**40))
    self.assertIs(type(entry.uuid), str)
    self.assertIs(type(entry.size), long)

  def testDriveTypesAndNamesThatAreNoGuidPaths(self):
    entries = self.Entries({'name': u'odd', 'paths': [u'Q:\\'], 'serial': 1,
                            'drive_type': 99},
                           Volume('r', ['R:\\'], serial=2, drive_type=6))
    self.assertIs(entries['serial:1'].device_type, DeviceType.UNKNOWN)
    self.assertIsNone(entries['serial:1'].uuid)
    self.assertIs(entries['serial:2'].device_type, DeviceType.RAM)

  def testShortestMountPointWins(self):
    entries = self.Entries(
        Volume('a', ['C:\\mnt\\usb\\', 'E:\\'], serial=1),
        Volume('b', ['G:\\', 'F:\\'], serial=2))
    self.assertEqual(entries['serial:1'].mountpoint, u'E:\\')
    self.assertEqual(entries['serial:2'].mountpoint, u'G:\\')
    self.assertIn(('DEBUG', "Got multiple mounts for %s: [u'E:\\\\', u'C:\\\\mnt\\\\usb\\\\']"
                   % Volume('a')['name']), self.logs.Lines())

  def testSkippedVolumesAndCapacity(self):
    entries = self.Entries(
        Volume('none', serial=1),
        Volume('paths', ['P:\\'], serial=2, fail={'paths': {'code': 5, 'returned_length': 9}}),
        Volume('info', ['I:\\'], serial=3, fail={'info': 21}),
        Volume('size', ['S:\\'], serial=4, fail={'capacity': 21}, total_bytes=9))
    self.assertEqual(entries.keys(), ['serial:4'])
    self.assertEqual(entries['serial:4'].size, 0)
    lines = self.logs.Lines()
    self.assertIn(('DEBUG', 'Volume %s has no mount point. Skipping.' % Volume('none')['name']), lines)
    self.assertIn(('ERROR', 'Could not determine mount point for %s' % Volume('paths')['name']), lines)
    self.assertIn(('ERROR', "Unable to fetch volume info for u'I:\\\\', skipping."), lines)
    self.assertIn(('DEBUG', "Could not determine volume capacity for u'S:\\\\'"), lines)
    logged = [r for r in self.logs.records if r.levelname == 'ERROR' and r.exc_info]
    self.assertEqual([r.exc_info[1].winerror for r in logged], [5, 21])

  def testByteStringVolumeNameFailsTheUnicodeCheck(self):
    self.UseMachine([Volume('c', ['C:\\'], serial=1)])
    with Rebound('_ListVolumeNames', lambda: [str(Volume('c')['name'])]):
      self.assertEqual(self.service.AllVolumeEntries(), {})
    record = [r for r in self.logs.records if r.levelname == 'ERROR'][0]
    self.assertEqual(record.getMessage(), "Unable to fetch volume info for u'C:\\\\', skipping.")
    self.assertEqual(str(record.exc_info[1]), 'Expected unicode, got str')

  def testTheRefreshDoesWhatTheHostsCodeWouldDo(self):
    # The refresh reads the start-up's matcher, a plain dict and a plain
    # logging.Logger itself; what it finds is what their methods would.
    names = [u'\\\\?\\Volume{6b29-fc40_X}\\', u'\\\\?\\Volume{}\\',
             u'\\\\?\\Volume{ab}x', u'\\\\?\\Volume{\xe9}\\', u'\\\\?\\Volume{a}']
    machine = [{'name': name, 'paths': [u'%d:\\mnt\\' % n], 'serial': n,
                'drive_type': n % 8} for n, name in enumerate(names)]
    keeps = []

    class KeepingEntry(volume_entry.VolumeEntry):
      __slots__ = ()

      def __init__(self, **fields):
        keeps.append(fields)
        volume_entry.VolumeEntry.__init__(self, **fields)
    host = type('volume_entry', (), {'VolumeEntry': KeepingEntry,
                                     'DeviceType': DeviceType})

    def Fields(entries):
      return sorted((e.volume, e.uuid, e.device_type) for e in entries.values())
    import logging, re  # pylint: disable=g-import-not-at-top
    logging.getLogger('windows.volumes').setLevel(logging.WARNING)
    fast = Fields(self.Entries(*machine))
    said = []
    drive_types = type('Map', (dict,), {'get': lambda m, k, d: said.append(k) or d})
    with Rebound(VOLUME_NAME_GUID_MATCHER=re.compile(
        volumes.VOLUME_NAME_GUID_MATCHER.pattern), volume_entry=host,
                 DRIVE_TYPE_MAP=drive_types(volumes.DRIVE_TYPE_MAP)):
      original = logging.Logger.debug
      logging.Logger.debug = lambda logger, *args: said.append(args[0])
      try:
        slow = Fields(self.service.AllVolumeEntries(True))
      finally:
        logging.Logger.debug = original
    self.assertEqual([(v, u) for v, u, _ in slow], [(v, u) for v, u, _ in fast])
    self.assertEqual([u for _, u, _ in fast], ['6b29-fc40_X', None, None, None, None])
    # "If there is a match" is the match's truth.
    no_match = type('Matcher', (), {'match': lambda self, name: []})()
    with Rebound(VOLUME_NAME_GUID_MATCHER=no_match):
      self.assertEqual([u for _, u, _ in Fields(
          self.service.AllVolumeEntries(True))], [None] * 5)
    self.assertEqual(said.count("%s isn't big enough, allocating %s bytes."), 5)
    self.assertEqual(sorted(k for k in said if isinstance(k, long)), range(5))
    # A dict that the entry keeps is not given to the next one.
    self.assertEqual([f['volume'] for f in keeps], [v for v, _, _ in fast])

  def testLaterVolumeWithTheSameSerialWins(self):
    entries = self.Entries(Volume('a', ['A:\\'], serial=1),
                           Volume('b', ['B:\\'], serial=1))
    self.assertEqual(entries['serial:1'].mountpoint, u'B:\\')

  def testOneRebuildWhileTheTableIsFull(self):
    self.UseMachine([Volume('c', ['C:\\'], serial=1)])
    first = self.service.AllVolumeEntries()
    second = self.service.AllVolumeEntries()
    self.service.AllVolumeEntries(force_update=[])
    self.assertEqual(self.Rebuilds(), 1)
    self.assertEqual(first, second)
    self.assertIsNot(first, second)
    first.clear()
    second['serial:9'] = None
    self.assertEqual(self.service.AllVolumeEntries().keys(), ['serial:1'])
    self.assertIsNone(self.service.GetVolumeEntryForVolumeID('serial:9'))
    self.service.AllVolumeEntries(force_update=1)
    self.assertEqual(self.Rebuilds(), 2)

  def testEmptyTableRebuildsEveryTimeWithoutLookingAtForceUpdate(self):
    class Untestable(object):
      def __nonzero__(self):
        raise AssertionError('force_update evaluated')
    self.UseMachine([Volume('a', serial=1)])
    self.assertEqual(self.service.AllVolumeEntries(Untestable()), {})
    self.assertEqual(self.service.AllVolumeEntries(), {})
    self.assertEqual(self.Rebuilds(), 2)
    self.assertIn(('INFO', 'Got new volume entries: {}'), self.logs.Lines())

  def testStaleMarkerChangesNothing(self):
    self.UseMachine([Volume('c', ['C:\\'], serial=1)])
    self.service.AllVolumeEntries()
    marker, table = self.service._volume_ids, self.service._volume_entries
    self.logs.records = []
    self.assertIs(self.service._PopulateVolumeTable({}), marker)
    self.assertIs(self.service._PopulateVolumeTable(current_volume_ids=None), marker)
    self.assertEqual(self.logs.records, [])
    self.assertIs(self.service._volume_entries, table)
    new_marker = self.service._PopulateVolumeTable(marker)
    self.assertIsNot(new_marker, marker)
    self.assertIs(self.service._volume_ids, new_marker)
    self.assertEqual(new_marker, {})
    self.assertEqual(table.keys(), ['serial:1'])

  def testRacingCallersShareOneRebuild(self):
    self.UseMachine([Volume('c', ['C:\\'], serial=1)])
    self.service._lock = RecordingLock()
    listing = threading.Event()
    release = threading.Event()
    list_volume_names = volumes._ListVolumeNames

    def SlowListing():
      listing.set()
      release.wait(10)
      return list_volume_names()

    results = []
    with Rebound('_ListVolumeNames', SlowListing):
      first = threading.Thread(target=lambda: results.append(self.service.AllVolumeEntries()))
      first.start()
      listing.wait(10)
      self.service._lock.entering.clear()
      second = threading.Thread(target=lambda: results.append(self.service.AllVolumeEntries()))
      second.start()
      self.service._lock.entering.wait(10)
      release.set()
      first.join(10)
      second.join(10)
    self.assertEqual(self.Rebuilds(), 1)
    self.assertEqual([r.keys() for r in results], [['serial:1']] * 2)
    self.assertEqual(self.service._lock.exits, [(None, None)] * 2)

  def testPropagatedFailureLeavesTheLockAndKeepsTheOldTable(self):
    self.UseMachine([Volume('c', ['C:\\'], serial=1, filesystem='FAT32', handles=[1])])
    self.service.AllVolumeEntries()
    marker, table = self.service._volume_ids, self.service._volume_entries
    volumes.IsFAT(1, type('H', (), {'handle': 1})())
    self.service._lock = RecordingLock()
    self.ClearJournal()
    with Rebound('volume_entry', None):
      self.assertRaises(AttributeError, self.service.AllVolumeEntries, True)
    self.assertIs(self.service._lock.exits[0][0], AttributeError)
    self.assertIs(self.service._lock.handled, AttributeError)
    self.assertIs(self.service._volume_ids, marker)
    self.assertIs(self.service._volume_entries, table)
    volumes.IsFAT(1, None)  # still cached: the cache was not emptied

    self.service._lock = RecordingLock(exit_result=True)
    with Rebound('volume_entry', None):
      self.assertIsNone(self.service._PopulateVolumeTable(marker))
    self.assertEqual(len(self.service._lock.exits), 1)

  def testExitFollowsTheWithStatement(self):
    class RaisingExit(RecordingLock):
      def __exit__(self, exception_type, value, traceback):
        RecordingLock.__exit__(self, exception_type, value, traceback)
        raise KeyError('from __exit__')
    self.UseMachine([Volume('c', ['C:\\'], serial=1)])
    self.service.AllVolumeEntries()
    marker = self.service._volume_ids
    # On the way out of a completed rebuild, __exit__'s exception passes.
    self.service._lock = RaisingExit()
    self.assertRaises(KeyError, self.service._PopulateVolumeTable, marker)
    self.assertEqual(self.service._lock.exits, [(None, None)])
    # In flight, it replaces the rebuild's exception.
    self.service._lock = RaisingExit()
    with Rebound('volume_entry', None):
      self.assertRaises(KeyError, self.service.AllVolumeEntries, True)
    self.assertIs(self.service._lock.exits[0][0], AttributeError)
    # A lock without the protocol is never entered.
    self.service._lock = object()
    self.assertRaisesMessage(AttributeError, '__exit__',
                             self.service.AllVolumeEntries, True)

  def testFailureWhileLoggingTheNewTableKeepsIt(self):
    class FailingLogger(object):
      def __getattr__(self, level):
        def Log(message, *args):
          if message.startswith('Got new volume entries'):
            raise RuntimeError('log full')
        return Log
    self.UseMachine([Volume('c', ['C:\\'], serial=1)])
    with Rebound('LOGGER', FailingLogger()):
      self.assertRaises(RuntimeError, self.service.AllVolumeEntries)
    self.assertEqual(self.service._volume_entries.keys(), ['serial:1'])

  def testGetVolumeEntryForDeviceNumber(self):
    self.UseMachine([Volume('c', ['C:\\'], serial=5)])
    self.service.AllVolumeEntries()
    self.assertEqual(self.service.GetVolumeEntryForDeviceNumber(5).mountpoint, u'C:\\')
    self.assertIsNone(self.service.GetVolumeEntryForDeviceNumber(6))
    self.service._FindVolumeIDForDeviceNumber = lambda st_dev: 'serial:5'
    self.assertEqual(self.service.GetVolumeEntryForDeviceNumber(6).mountpoint, u'C:\\')


if __name__ == '__main__':
  unittest.main()
