"""A volume that stops answering: every call about it answers within the
deadline (VOLUMES_QUERY_TIMEOUT_MS), a stuck volume fails at once, and the
table and IsFAT go on without it.  The simulated machine's `stall` stands
for it here; StoppedFuseDaemonTest stops a real FUSE daemon."""

import os
import time

from common import volume_entry
from simulation import Handle, SimulatedMachineTestCase, Volume
from windows import volumes
import process_memory

VolumeInfoClass = volumes.VolumeInfo.__wrapped__
ERROR_TIMEOUT = 1460
DEADLINE_S = 0.3
# Much longer than the deadline: a stalled call is still waiting when the
# test looks again.
LONG_MS = 3000
# Generous bounds, for a loaded machine: "within the deadline" is before
# it has passed twice, "at once" well before it has passed once.
AT_ONCE_S = DEADLINE_S / 2


class Timed(object):
  """Runs function(*args): its result or its WindowsError, and how long."""

  def __init__(self, function, *args):
    start = time.time()
    self.error = None
    try:
      self.result = function(*args)
    except WindowsError as error:
      self.error = error.winerror
    self.seconds = time.time() - start


class SimulatedStallTest(SimulatedMachineTestCase):

  def setUp(self):
    SimulatedMachineTestCase.setUp(self)
    os.environ['VOLUMES_QUERY_TIMEOUT_MS'] = str(int(DEADLINE_S * 1000))
    self.addCleanup(os.environ.pop, 'VOLUMES_QUERY_TIMEOUT_MS', None)

  def assertAnswersWithinTheDeadline(self, timed, error=ERROR_TIMEOUT):
    self.assertEqual(timed.error, error)
    self.assertGreaterEqual(timed.seconds, DEADLINE_S * 0.9)
    self.assertLess(timed.seconds, DEADLINE_S * 2 + 1)

  def assertFailsAtOnce(self, timed):
    self.assertEqual(timed.error, ERROR_TIMEOUT)
    self.assertLess(timed.seconds, AT_ONCE_S)

  def WaitUntilAnswered(self, machine, function, *args):
    """Switches to `machine`, where nothing stalls, then waits until
    function(*args) answers: the stalled call has returned."""
    self.WriteMachine(machine)
    for _ in range(int(LONG_MS / 50) * 2):
      timed = Timed(function, *args)
      if timed.error != ERROR_TIMEOUT:
        return timed
      time.sleep(0.05)
    self.fail('the volume never answered again')

  def testAStuckVolumeFailsAtOnceUntilItsCallReturns(self):
    machine = [Volume('s', [u'S:\\'], serial=5, handles=[7]),
               Volume('t', [u'T:\\'], serial=6)]
    self.UseMachine([dict(machine[0], stall={'paths': LONG_MS,
                                             'info': LONG_MS})] + machine[1:])
    name = u'\\\\?\\Volume{s}\\'
    self.assertAnswersWithinTheDeadline(
        Timed(volumes._GetVolumePathNamesForVolumeName, name))
    # Every call about it that stalls, by name, mount point or handle.
    for function, argument in [
        (volumes._GetVolumePathNamesForVolumeName, name),
        (volumes.GetVolumeInformation, name),
        (volumes.GetVolumeInformation, u'S:\\'),
        (volumes.GetVolumeInformationByHandle, 7)]:
      self.assertFailsAtOnce(Timed(function, argument))
    # The journal has each call, stuck or not, from its start.
    self.assertEqual(len(self.Journal()), 5)
    self.assertEqual(volumes.GetVolumeInformation(u'T:\\')[1], 6)
    self.assertEqual(self.WaitUntilAnswered(
        machine, volumes._GetVolumePathNamesForVolumeName, name).result,
                     [u'S:\\'])

  def testTheTableAndIsFATGoOnWithoutIt(self):
    stuck = Volume('s', [u'S:\\'], serial=5, handles=[7], filesystem='FAT32')
    self.UseMachine([Volume('a', [u'A:\\'], serial=1),
                     dict(stuck, stall={'info': LONG_MS}),
                     Volume('d', [u'D:\\'], serial=4, total_bytes=9,
                            stall={'drive_type': LONG_MS}),
                     Volume('c', [u'C:\\'], serial=3, total_bytes=9,
                            stall={'capacity': LONG_MS})])
    service = VolumeInfoClass()
    refresh = Timed(service.AllVolumeEntries, True)
    # Three volumes stall once each; nothing waits twice.
    self.assertLess(refresh.seconds, 3 * DEADLINE_S * 2 + 1)
    table = refresh.result
    self.assertEqual(sorted(table), ['serial:1', 'serial:3', 'serial:4'])
    # A drive type that does not answer is unknown, and a capacity 0; the
    # capacity of the one, which does not stall, is read all the same.
    self.assertEqual((table['serial:4'].device_type, table['serial:4'].size),
                     (volume_entry.DeviceType.UNKNOWN, 9))
    self.assertEqual(table['serial:3'].size, 0)
    (skipped,) = [r for r in self.logs.records if r.levelname == 'ERROR']
    self.assertEqual((skipped.args, skipped.exc_info[1].winerror),
                     ((u'S:\\',), ERROR_TIMEOUT))
    self.assertFailsAtOnce(Timed(volumes.GetVolumeInformationByHandle, 7))
    again = Timed(service.AllVolumeEntries, True)
    self.assertLess(again.seconds, AT_ONCE_S)
    self.assertEqual(sorted(again.result), sorted(table))

    at_once = Timed(volumes.IsFAT, 5, Handle(7))
    self.assertLess(at_once.seconds, AT_ONCE_S)
    self.assertIs(at_once.result, False)
    self.WaitUntilAnswered([stuck], volumes.GetVolumeInformationByHandle, 7)
    # The False was not kept: once the volume answers, so does IsFAT.
    self.assertIs(volumes.IsFAT(5, Handle(7)), True)

  def testAShortStallAnswersAndNoDeadlineWaitsOutALongOne(self):
    self.UseMachine([Volume('s', [u'S:\\'], serial=5, stall={'info': 100}),
                     Volume('l', [u'L:\\'], serial=6, stall={'info': 600})])
    short = Timed(volumes.GetVolumeInformation, u'S:\\')
    self.assertEqual(short.result[1], 5)
    self.assertGreaterEqual(short.seconds, 0.09)
    os.environ['VOLUMES_QUERY_TIMEOUT_MS'] = '0'
    waited = Timed(volumes.GetVolumeInformation, u'L:\\')
    self.assertEqual(waited.result[1], 6)
    self.assertGreaterEqual(waited.seconds, 0.59)

  def testWaitersAreFewWhateverIsStuck(self):
    os.environ['VOLUMES_QUERY_TIMEOUT_MS'] = '50'
    stall_ms = 800
    self.UseMachine([Volume(str(n), [u'%d:\\' % n], serial=n,
                            stall={'info': stall_ms}) for n in range(12)] +
                    [Volume('ok', [u'K:\\'], serial=99)])
    service = VolumeInfoClass()
    before = process_memory.Threads()
    start = time.time()
    for _ in range(21):
      table = service.AllVolumeEntries(True)
    self.assertEqual(list(table), ['serial:99'])
    if before is not None:
      self.assertLessEqual(process_memory.Threads() - before, 8)
    # The waiters free again for the suites after this one.
    time.sleep(max(0, stall_ms / 1000.0 - (time.time() - start)) + 0.1)
