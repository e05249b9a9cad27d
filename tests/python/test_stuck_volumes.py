"""A volume that stops answering: every call about it answers within the
deadline (VOLUMES_QUERY_TIMEOUT_MS), a stuck volume fails at once, and the
table and IsFAT go on without it.  The simulated machine's `stall` stands
for it here; StoppedFuseDaemonTest stops a real FUSE daemon."""

import json
import logging
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from common import volume_entry
from simulation import (Handle, SimulatedMachineTestCase, Volume,
                        WhyNoMountNamespace)
from test_volume_table_tool import RunTool
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


def Until(ask, tries=100, pause=0.1):
  """The first true answer of ask(), asked every `pause` seconds."""
  for _ in range(tries):
    answer = ask()
    if answer:
      return answer
    time.sleep(pause)


class SimulatedStallTest(SimulatedMachineTestCase):

  def setUp(self):
    SimulatedMachineTestCase.setUp(self)
    os.environ['VOLUMES_QUERY_TIMEOUT_MS'] = str(int(DEADLINE_S * 1000))

  def assertTimesOut(self, timed, at_once=False):
    self.assertEqual(timed.error, ERROR_TIMEOUT)
    if at_once:
      self.assertLess(timed.seconds, AT_ONCE_S)
    else:
      self.assertTrue(DEADLINE_S * 0.9 <= timed.seconds < DEADLINE_S * 2 + 1)

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
    self.assertTimesOut(
        Timed(volumes._GetVolumePathNamesForVolumeName, name))
    # Every call about it that stalls, by name, mount point or handle.
    for function, argument in [
        (volumes._GetVolumePathNamesForVolumeName, name),
        (volumes.GetVolumeInformation, name),
        (volumes.GetVolumeInformation, u'S:\\'),
        (volumes.GetVolumeInformationByHandle, 7)]:
      self.assertTimesOut(Timed(function, argument), at_once=True)
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
    self.assertTimesOut(Timed(volumes.GetVolumeInformationByHandle, 7),
                        at_once=True)
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

  def testTheCommandShowsTheVolumeThatTheTableLeftOut(self):
    self.UseMachine([Volume('s', [u'S:\\'], serial=5, stall={'info': LONG_MS}),
                     Volume('t', [u'T:\\'], serial=6)])
    table = Timed(RunTool, ['-r', '-n', '-o', 'MOUNTPOINT,VOLUME,STATE'])
    status, out, _ = table.result
    self.assertEqual((status, out),
                     (0, 'S:\\x5c  timed\\x20out\nT:\\x5c serial:6 ok\n'))
    self.assertLess(table.seconds, DEADLINE_S * 2 + 3)  # the interpreter's start
    _, out, _ = RunTool(['-J'])
    (stuck,) = [v for v in json.loads(out)['volumes'] if v['volume'] is None]
    self.assertEqual((stuck['mountpoints'], stuck['device_file'], stuck['state']),
                     ([u'S:\\'], u'\\\\?\\Volume{s}\\', u'timed out'))


def WhyNoFuseToStop():
  why = WhyNoMountNamespace('fusefat', 'losetup', 'mkfs.vfat', 'fusermount3')
  if why is None and not os.path.exists('/dev/fuse'):
    why = 'no /dev/fuse here'
  return why


@unittest.skipIf(WhyNoFuseToStop(), WhyNoFuseToStop())
class StoppedFuseDaemonTest(unittest.TestCase):
  """A FAT filesystem through fusefat, whose daemon is stopped (SIGSTOP) as
  a hung daemon or server stops: in a private mount namespace, where
  nothing else of the machine meets it."""

  DEADLINE_MS = 1000

  def testEveryCallAnswersWithinTheDeadlineAndTheVolumeComesBack(self):
    environment = dict(os.environ, VOLUMES_QUERY_TIMEOUT_MS=str(self.DEADLINE_MS))
    seen = json.loads(subprocess.check_output(
        ['unshare', '-m', '--propagation', 'private', sys.executable,
         os.path.abspath(__file__), SCENARIO], env=environment))
    deadline = self.DEADLINE_MS / 1000.0
    self.assertLess(seen['refresh_s'], 2 * deadline + 1)
    self.assertLess(seen['longest_held_s'], 2 * deadline + 1)
    self.assertEqual(seen['answering'], seen['before'] - 1)
    self.assertLess(seen['second_refresh_s'], 0.5)
    self.assertEqual(seen['is_fat'], [False, True])
    self.assertLess(seen['is_fat_s'], deadline + 1)
    self.assertEqual(seen['information_error'], ERROR_TIMEOUT)
    self.assertLessEqual(seen['threads_added'], 8)
    self.assertEqual((seen['command_status'], seen['command_states']),
                     (0, ['timed out'] + ['ok'] * seen['answering']))
    self.assertEqual(seen['path_status'], 1)
    self.assertIn('does not answer within 1000 ms', seen['path_said'])
    self.assertEqual(seen['back'], ['STUCKFAT', 'fat32'])


SCENARIO = '--stopped-fuse-scenario'


def StoppedFuseScenario():
  """In the private namespace: what the calls do while the daemon is
  stopped and once it goes on, as JSON on standard output."""
  logging.getLogger('windows.volumes').addHandler(logging.NullHandler())
  directory = tempfile.mkdtemp(prefix='volumes-stuck-')
  image = os.path.join(directory, 'fat.img')
  with open(image, 'wb') as out:
    out.truncate(64 << 20)
  quiet = open(os.devnull, 'w')
  subprocess.check_call(['mkfs.vfat', '-F', '32', '-n', 'STUCKFAT', image],
                        stdout=quiet)
  loop = subprocess.check_output(['losetup', '--find', '--show', image]).strip()
  mount_point = os.path.join(directory, 'fat')
  os.mkdir(mount_point)
  daemon = subprocess.Popen(
      ['fusefat', '-f', '-o', 'rw+,fsname=' + loop, loop, mount_point],
      stdout=quiet, stderr=quiet)
  seen = {}
  try:
    while not os.path.ismount(mount_point):
      time.sleep(0.05)
    path = os.path.join(mount_point, 'file.txt')
    with open(path, 'w') as out:
      out.write('x')
    Stopped(daemon, path, seen)
    # A process that holds a file of a stopped FUSE daemon waits in the
    # kernel when it closes the file, at exit or at a child's exec: the
    # handle is opened only once the command has been run.
    WithAHandle(daemon, path, seen)
  finally:
    daemon.send_signal(signal.SIGCONT)
    subprocess.call(['fusermount3', '-u', mount_point], stderr=quiet)
    daemon.wait()
    subprocess.call(['losetup', '-d', loop])
    shutil.rmtree(directory, ignore_errors=True)
  sys.stdout.write(json.dumps(seen))


def Stop(daemon):
  """Stops the daemon, and waits until every thread of it has stopped: a
  signal takes effect at each thread's next step."""
  daemon.send_signal(signal.SIGSTOP)
  tasks = '/proc/%d/task' % daemon.pid
  state = lambda task: open(os.path.join(tasks, task, 'stat')).read().rsplit(
      ')', 1)[1].split()[0]
  while any(state(task) != 'T' for task in os.listdir(tasks)):
    time.sleep(0.01)


def Stopped(daemon, path, seen):
  """The table, the volume information and the command while the daemon
  is stopped; the volume back once it goes on."""
  service = VolumeInfoClass()
  seen['before'] = len(service.AllVolumeEntries(True))
  Stop(daemon)
  held, ticking = [0.0], [True]

  def Tick():
    last = time.time()
    while ticking[0]:
      time.sleep(0.01)
      now = time.time()
      held[0], last = max(held[0], now - last), now
  ticker = threading.Thread(target=Tick)
  ticker.start()
  refresh = Timed(service.AllVolumeEntries, True)
  seen['refresh_s'], seen['answering'] = refresh.seconds, len(refresh.result)
  seen['second_refresh_s'] = Timed(service.AllVolumeEntries, True).seconds
  seen['information_error'] = Timed(volumes.GetVolumeInformation,
                                    unicode(os.path.dirname(path))).error
  threads = process_memory.Threads()
  for _ in range(20):
    service.AllVolumeEntries(True)
  seen['threads_added'] = process_memory.Threads() - threads
  ticking[0] = False
  ticker.join()
  seen['longest_held_s'] = held[0]
  status, out, _ = RunTool(['-J'])
  seen['command_status'] = status
  seen['command_states'] = sorted(
      (v['state'] for v in json.loads(out)['volumes']), reverse=True)
  seen['path_status'], _, seen['path_said'] = RunTool([path])
  daemon.send_signal(signal.SIGCONT)
  entry = Until(lambda: service.AllVolumeEntries(True).get(
      volumes.FindVolumeID(os.stat(path))))
  seen['back'] = entry and [entry.label, entry.filesystem]


def WithAHandle(daemon, path, seen):
  """IsFAT of a file open on the volume, with the daemon stopped and once
  it goes on."""
  handle = Handle(os.open(path, os.O_RDONLY))
  st_dev = os.fstat(handle.handle).st_dev
  Stop(daemon)
  is_fat = Timed(volumes.IsFAT, st_dev, handle)
  seen['is_fat'], seen['is_fat_s'] = [is_fat.result], is_fat.seconds
  daemon.send_signal(signal.SIGCONT)
  seen['is_fat'].append(Until(lambda: volumes.IsFAT(st_dev, handle)) or False)
  os.close(handle.handle)


if __name__ == '__main__' and sys.argv[1:] == [SCENARIO]:
  StoppedFuseScenario()
