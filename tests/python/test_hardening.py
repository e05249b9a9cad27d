"""The module against hostile machine files, special files and machine
switches in the middle of a call: an exception or the right answer, never a
crash, a hang or a wrong answer."""

import os
import subprocess
import sys
import textwrap
import time
import unittest

from simulation import CapturedLogs, SimulatedMachineTestCase, Volume, VolumeName
from windows import volumes

CONFIGURATION_ERROR = 1610


class HardeningTest(SimulatedMachineTestCase):

  def WhenLogged(self, action):
    """Runs `action` once, when the first record is logged: when the
    repeated-name error is, in the middle of the enumeration of
    _ListVolumeNames."""
    pending = [action]

    def RunOnce(unused_record):
      if pending:
        pending.pop()()
    return CapturedLogs(self, on_record=RunOnce)

  def RepeatedName(self):
    return [Volume('a'), Volume('a'), Volume('b')]

  def testNumbersTooLargeForAnyTypeFailEveryCall(self):
    for text in ['{"find_first_error": 1e400}', '{"find_first_error": -1e400}',
                 '{"volumes": [{"name": "A", "serial": %s}]}' % ('9' * 400)]:
      self.UseMachine(text)
      self.assertWindowsError(CONFIGURATION_ERROR, volumes._ListVolumeNames)
      self.assertWindowsError(CONFIGURATION_ERROR,
                              volumes.GetVolumeInformation, u'C:\\')

  def testAFileGoneBadDuringAnEnumerationEndsItCleanly(self):
    # The file turns into a number too large while the listing is open.
    self.UseMachine(self.RepeatedName())
    self.WhenLogged(lambda: self.WriteMachine('{"find_first_error": 1e400}'))
    self.assertEqual(volumes._ListVolumeNames(), [VolumeName('a')])
    self.assertWindowsError(CONFIGURATION_ERROR, volumes._ListVolumeNames)
    # The handle was closed: the next enumeration gets the first value.
    self.UseMachine(self.RepeatedName())
    volumes._ListVolumeNames()
    self.assertEqual(self.Journal('FindVolumeClose'), [('FindVolumeClose', '1')])

  def testACallToldToFailWithCodeZeroFails(self):
    self.UseMachine({'find_first_error': 0, 'volumes': [{'name': u'A'}]})
    self.assertWindowsError(0, volumes._ListVolumeNames)
    self.UseMachine({'find_next_error': {'after': 1, 'code': 0},
                     'volumes': [{'name': u'A'}, {'name': u'B'}]})
    self.assertWindowsError(0, volumes._ListVolumeNames)
    self.UseMachine({'volumes': [{'name': u'A', 'paths': [u'C:\\'],
                                  'fail': {'info': 0}}]})
    self.assertWindowsError(0, volumes.GetVolumeInformation, u'C:\\')

  def testANulByteIsNotTheEndOfTheFile(self):
    self.UseMachine('{}\0garbage')
    self.assertWindowsError(CONFIGURATION_ERROR, volumes._ListVolumeNames)
    self.UseMachine('{"volumes": [{"name": "A"}]}\0')
    self.assertWindowsError(CONFIGURATION_ERROR, volumes._ListVolumeNames)

  def testAnEnumerationStaysWithTheMachineThatOpenedIt(self):
    other = self.WriteMachine({'volumes': [{'name': u'X'}, {'name': u'Y'}]},
                              'other.json')
    self.UseMachine(self.RepeatedName())
    handler = self.WhenLogged(
        lambda: os.environ.__setitem__('VOLUMES_SIMULATION', other))
    self.assertEqual(volumes._ListVolumeNames(), [VolumeName('a')])
    self.assertTrue(handler.records)
    # Switched back to the real machine in the middle: still the first one's.
    self.UseMachine(self.RepeatedName())
    self.WhenLogged(lambda: os.environ.pop('VOLUMES_SIMULATION'))
    self.assertEqual(volumes._ListVolumeNames(), [VolumeName('a')])
    os.environ['VOLUMES_SIMULATION'] = other
    self.assertEqual(volumes._ListVolumeNames(), [u'X', u'Y'])

  def RunWithSwitch(self, machine, journal=None, seconds=20):
    """Lists the volumes in a child interpreter; returns its exit status and
    output, or fails when it has not finished in `seconds`."""
    environment = dict(os.environ, VOLUMES_SIMULATION=machine)
    if journal:
      environment['VOLUMES_SIMULATION_JOURNAL'] = journal
    child = subprocess.Popen(
        [sys.executable, '-c', textwrap.dedent('''
            from windows import volumes
            try:
              print volumes._ListVolumeNames()
            except WindowsError as error:
              print error.winerror
            ''')],
        env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.time() + seconds
    while child.poll() is None and time.time() < deadline:
      time.sleep(0.05)
    if child.poll() is None:
      child.kill()
      child.wait()
      self.fail('the call blocked')
    output, errors = child.communicate()
    return child.returncode, output.strip(), errors

  def SpecialFiles(self):
    """Files that are no regular file, whose reading would wait or never
    end: a FIFO or a named pipe without a writer, a device, a directory."""
    if os.name != 'nt':
      fifo = os.path.join(self.directory, 'fifo')
      os.mkfifo(fifo)
      return [fifo, '/dev/zero', self.directory]
    import ctypes  # pylint: disable=g-import-not-at-top
    kernel32 = ctypes.WinDLL('kernel32')
    kernel32.CreateNamedPipeW.restype = ctypes.c_void_p
    kernel32.CloseHandle.argtypes = (ctypes.c_void_p,)
    pipe = u'\\\\.\\pipe\\volumes-hardening-%d' % os.getpid()
    # An instance for each time the machine file is opened.
    for _ in range(4):
      handle = kernel32.CreateNamedPipeW(pipe, 3, 0, 255, 4096, 4096, 0, None)
      self.assertNotIn(handle, (None, ctypes.c_void_p(-1).value))
      self.addCleanup(kernel32.CloseHandle, handle)
    return [str(pipe), 'NUL', self.directory]

  def testSpecialFilesNeverBlockOrExhaustMemory(self):
    for machine in self.SpecialFiles():
      status, output, errors = self.RunWithSwitch(machine)
      self.assertEqual((status, output), (0, str(CONFIGURATION_ERROR)))
      self.assertIn('%s: not a regular file' % machine, errors)

  @unittest.skipIf(os.name == 'nt', 'Windows has no FIFO that a file opens')
  def testAJournalThatNobodyReadsLosesItsLines(self):
    fifo = os.path.join(self.directory, 'fifo')
    os.mkfifo(fifo)
    status, output, _ = self.RunWithSwitch(
        self.WriteMachine({'volumes': [{'name': u'A'}]}), journal=fifo)
    self.assertEqual((status, output), (0, "[u'A']"))

  def testAFileLargerThanTheLimitIsRefusedUnread(self):
    path = os.path.join(self.directory, 'large.json')
    with open(path, 'wb') as out:
      out.truncate(16 * 1024 * 1024 + 1)
    status, output, errors = self.RunWithSwitch(path)
    self.assertEqual((status, output), (0, str(CONFIGURATION_ERROR)))
    self.assertIn('larger than 16777216 bytes', errors)


if __name__ == '__main__':
  unittest.main()
