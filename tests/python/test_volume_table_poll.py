"""volume_table.py --poll: changes of a simulated machine, and of this one in
a private mount namespace."""

import json
import os
import Queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from simulation import SimulatedMachineTestCase, Volume, WhyNoMountNamespace
from test_volume_table_tool import BadSerialLine, RunTool, TOOL
from volume_tool import watch

WAIT = 10  # seconds: how long a test waits for what must come


def DefaultSignals():
  # As from a terminal: whatever the test runner ignores, Ctrl-C interrupts.
  signal.signal(signal.SIGINT, signal.SIG_DFL)


class Watching(object):
  """The command running, its standard output read line by line, as text.

  Each stream is read by a thread of its own: a pipe cannot be waited on
  with a timeout on every system."""

  def __init__(self, args, prefix=()):
    self.process = subprocess.Popen(
        list(prefix) + [sys.executable, TOOL, '--poll'] + list(args),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
        preexec_fn=None if os.name == 'nt' else DefaultSignals)
    self.lines = Queue.Queue()
    self.errors = []
    self.readers = [
        threading.Thread(target=self._Read, args=(self.process.stdout,
                                                  self.lines.put)),
        threading.Thread(target=self._Read, args=(self.process.stderr,
                                                  self.errors.append))]
    for reader in self.readers:
      reader.daemon = True
      reader.start()
    self.seen = []

  @staticmethod
  def _Read(stream, keep):
    for line in iter(stream.readline, ''):
      keep(line)
    keep(None)

  def Line(self):
    try:
      line = self.lines.get(timeout=WAIT)
    except Queue.Empty:
      line = False
    if not line:
      self.Kill()
      raise AssertionError('no line from the command (%s), after %r: %r' % (
          'in time' if line is False else 'it ended', self.seen,
          ''.join(self.errors[:-1])))
    self.seen.append(line)
    return line.rstrip('\n')

  def End(self, interrupt=True):
    """(status, the rest of standard output, standard error)."""
    if interrupt:
      self.process.send_signal(signal.SIGINT)
    deadline = time.time() + WAIT
    while self.process.poll() is None and time.time() < deadline:
      time.sleep(0.01)
    self.Kill()  # one that does not end fails the test, not the run
    for reader in self.readers:
      reader.join(WAIT)
    rest = [self.lines.get() for _ in range(self.lines.qsize())]
    return (self.process.wait(), ''.join(rest[:-1]),
            ''.join(self.errors[:-1]))

  def Kill(self):
    if self.process.poll() is None:
      self.process.kill()


class SimulatedMachineTest(SimulatedMachineTestCase):

  def Watch(self, *args):
    """The command watching, until 3 s pass without a change (a process
    without a console of its own cannot be sent Ctrl-C on Windows).  Its
    looks are half a second apart, so that a file replaced after one look
    is whole at the next: a look across a replacement sees parts of both."""
    watching = Watching(('--interval', '0.5', '--timeout', '3000') + args)
    self.addCleanup(watching.Kill)
    return watching

  def WaitForFirstLook(self):
    # Its last call: the flags of the machine's one volume, after the
    # table's own volume information.
    deadline = time.time() + WAIT
    while len(self.Journal('GetVolumeInformationW')) < 2:
      self.assertLess(time.time(), deadline)
      time.sleep(0.01)

  def testReplacedFileGivesAddChangeAndRemove(self):
    a = Volume('a', [u'/a/'], serial=1, label=u'A')
    b = Volume('b', [u'/b/'], serial=2, label=u'B')
    unreadable = Volume('u', [u'/u/'], serial=3, fail={'info': 5})
    self.UseMachine([a, b, unreadable])
    watching = self.Watch('-r', '-o', 'VOLUME,LABEL,MOUNTPOINTS')
    self.assertEqual(watching.Line(), 'ACTION VOLUME LABEL MOUNTPOINTS')
    c = Volume('c', [u'/c/', u'/c 2/'], serial=4)
    self.UseMachine([a, dict(b, label=u'B2'), c, unreadable])
    self.assertEqual([watching.Line(), watching.Line()], [
        'add serial:4  /c/\\x0a/c\\x202/', 'change serial:2 B2 /b/'])
    self.UseMachine([dict(b, label=u'B2'), c, unreadable])
    self.assertEqual(watching.Line(), 'remove serial:1 A /a/')
    status, out, err = watching.End(interrupt=False)
    self.assertEqual((status, out), (0, ''))
    # The unreadable volume is said once, not at every look.
    self.assertEqual(err.count('Unable to fetch volume info'), 1, err)
    self.assertNotIn('Traceback', err)

  def testFlagsThatChangeAreAChange(self):
    a = Volume('a', [u'/a/'], serial=1, flags=0x3)
    self.UseMachine([a])
    watching = self.Watch('-r', '-n', '-o', 'VOLUME,RO,FLAGS')
    self.WaitForFirstLook()
    self.UseMachine([dict(a, flags=0x80003)])
    self.assertEqual(watching.Line(), 'change serial:1 1 '
                     'CASE_SENSITIVE_SEARCH,CASE_PRESERVED_NAMES,READ_ONLY_VOLUME')
    self.assertEqual(watching.End(interrupt=False)[:2], (0, ''))

  def testJsonFirstOnlyAndTimeout(self):
    self.UseMachine([Volume('a', [u'/a/'], serial=1)])
    (table_object,) = json.loads(RunTool(['--json'])[1])['volumes']
    self.ClearJournal()
    watching = self.Watch('-J', '--first-only')
    self.WaitForFirstLook()
    self.UseMachine([Volume('b', [u'/b/'], serial=2),
                     Volume('c', [u'/c/'], serial=3)])
    status, out, err = watching.End(interrupt=False)
    self.assertEqual((status, err), (0, ''))
    (line,) = out.splitlines()
    self.assertTrue(line.startswith('{"action": "remove", '), line)
    self.assertEqual(json.loads(line), dict(table_object, action='remove'))

    watching = self.Watch('--timeout', '300', '-n')
    self.assertEqual(watching.End(interrupt=False), (1, '', ''))

  def testFileThatGoesBadIsSaidOnceAndWatchingGoesOn(self):
    self.UseMachine([Volume('a', [u'/a/'], serial=1)])
    watching = self.Watch('-r', '-n', '-o', 'VOLUME')
    self.WaitForFirstLook()
    self.UseMachine([Volume('a', [u'/a/'], serial=-1)])
    time.sleep(1.2)  # two looks at the bad file
    self.UseMachine([Volume('a', [u'/a/'], serial=1),
                     Volume('b', [u'/b/'], serial=2)])
    self.assertEqual(watching.Line(), 'add serial:2')
    status, out, err = watching.End(interrupt=False)
    self.assertEqual((status, out), (0, ''))
    self.assertEqual(err, BadSerialLine(self.machine_file))


@unittest.skipUnless(sys.platform.startswith('linux'), 'a Linux mount table')
class MountTableWakerTest(unittest.TestCase):

  def testLooksOnlyOnceTheModuleReadsAfresh(self):
    now, changes = [0.0], [0.3, 1.5, 9.0]  # seconds, on a clock of the test's

    def Poll(seconds):
      due = [t for t in changes if seconds is None or t <= now[0] + seconds]
      now[0] = max(now[0], changes.pop(0)) if due else now[0] + seconds
      return bool(due)
    waker = watch.MountTableWaker(lambda: now[0])
    waker._Poll = Poll
    woken = []
    for look in (0.5, 0.01, 0.01):  # how long each look takes
      now[0] += look
      woken.append(now[0] if waker.Wait(12.0) else None)
    # Not before five times the first look has passed since it: the changes
    # at 0.3 and 1.5 s go into one look.  After a still spell, at once.
    self.assertEqual(woken, [3.0, 9.0, None])
    self.assertEqual(now[0], 12.0)


@unittest.skipIf(WhyNoMountNamespace('nsenter'),
                 WhyNoMountNamespace('nsenter'))
class MountTableTest(unittest.TestCase):
  """The command in a mount namespace of its own, where the test mounts."""

  def setUp(self):
    self.directory = tempfile.mkdtemp(prefix='volumes-poll-')
    self.addCleanup(shutil.rmtree, self.directory)
    os.environ.pop('VOLUMES_SIMULATION', None)

  def Watch(self, columns):
    # An hour's interval: what wakes the command is the mount table.
    watching = Watching(('--interval', '3600', '-r', '-o', columns),
                        prefix=('unshare', '-m', '--propagation', 'private'))
    self.addCleanup(watching.Kill)
    self.assertEqual(watching.Line(), 'ACTION ' + columns.replace(',', ' '))
    return watching

  @staticmethod
  def Inside(watching, *command):
    return ['nsenter', '-t', str(watching.process.pid), '-m'] + list(command)

  def Seen(self, watching, *command):
    """The line about the test's directory that `command`, run in the
    command's namespace, gives, and the seconds it took to come.  (Other
    lines may come between: the namespace began as a copy of the machine's,
    whose mounts other tests make, and whose FUSE daemons may die.)"""
    start = time.time()
    subprocess.check_call(self.Inside(watching, *command))
    line = watching.Line()
    while self.directory not in line:
      line = watching.Line()
    return line, time.time() - start

  def testMountAndUnmountWakeIt(self):
    watching = self.Watch('MOUNTPOINT,FSTYPE,USE%')
    added, add_delay = self.Seen(watching, 'mount', '-t', 'tmpfs', '-o',
                                 'size=1m', 'volumes-poll', self.directory)
    removed, remove_delay = self.Seen(watching, 'umount', self.directory)
    # No space for a volume gone: its mount point is another's now.
    self.assertEqual([added, removed], ['add %s/ tmpfs 0%%' % self.directory,
                                        'remove %s/ tmpfs ' % self.directory])
    self.assertLess(max(add_delay, remove_delay), 1.0)
    status, _, err = watching.End()
    self.assertEqual(status, 0)
    self.assertNotIn('Traceback', err)

  def testRemountReadOnlyIsAChangeAndABindMountHasItsTarget(self):
    watching = self.Watch('MOUNTPOINT,RO')
    mount = os.path.join(self.directory, 'm')
    os.mkdir(mount)
    added, _ = self.Seen(watching, 'mount', '-t', 'tmpfs', '-o', 'size=1m',
                         'volumes-poll', mount)
    self.assertEqual(added, 'add %s/ 0' % mount)
    changed, _ = self.Seen(watching, 'mount', '-o', 'remount,ro', mount)
    self.assertEqual(changed, 'change %s/ 1' % mount)
    # A bind mount of it, a longer path: the table chooses the shorter, and
    # a PATH below the bind mount lies under the longer one.
    bound = os.path.join(self.directory, 'bound-longer')
    os.mkdir(bound)
    subprocess.check_call(self.Inside(watching, 'mount', '--bind', mount, bound))
    status, out, _ = RunTool(['-r', '-n', '-o', 'PATH,TARGET,MOUNTPOINT', bound],
                             command=self.Inside(watching, sys.executable, TOOL))
    self.assertEqual((status, out), (0, '%s %s/ %s/\n' % (bound, bound, mount)))
    watching.End()


if __name__ == '__main__':
  unittest.main()
