"""The command and the smoke test where os.stat leaves st_dev 0, as CPython
2.7 does on Windows: the serial number is asked of the system through a
handle of the path.

Elsewhere the commands run under an os.stat whose st_dev is 0.  The smoke
test's IsFAT asks the module through a handle of its own: the simulated
volumes list every small value that the handle can have here, a descriptor
or a kernel32 handle.
"""

import json
import os
import sys
import unittest

from simulation import (ROOT, RealSerial, SimulatedMachineTestCase, Volume,
                        file_volume)
from test_volume_table_tool import BuildTree, RunTool, TOOL
import process_memory  # pylint: disable=g-bad-import-order

SMOKE_TEST = os.path.join(ROOT, 'tools', 'windows_smoke_test.py')
HANDLES = list(range(1, 4096))

# Runs the script of argv[1] with its arguments, os.stat giving st_dev 0.
NO_DEVICE = r'''
import os, runpy, sys
stat = os.stat
os.stat = lambda path: os.stat_result(stat(path)[:2] + (0,) + stat(path)[3:10])
sys.argv = sys.argv[1:]
sys.path.insert(0, os.path.dirname(sys.argv[0]))
runpy.run_path(sys.argv[0], run_name='__main__')
'''


def RunWithoutDevice(script, *args):
  return RunTool(args, command=[sys.executable, '-c', NO_DEVICE, script])


class SerialNumberThroughAHandleTest(SimulatedMachineTestCase):

  def testPathNamesTheVolumeWithItsRealSerialNumber(self):
    here = RealSerial(TOOL)
    self.UseMachine([Volume('a', [u'A:\\'], serial=here + 1, label=u'Other'),
                     Volume('b', [u'B:\\'], serial=here, label=u'Here')])
    status, out, err = RunWithoutDevice(TOOL, '--json', TOOL)
    self.assertEqual((status, err), (0, ''))
    (found,) = json.loads(out)['volumes']
    self.assertEqual((found['label'], found['volume']),
                     ('Here', 'serial:%d' % here))
    # Asked of the system, not of the machine that the module answers for.
    self.assertEqual(self.Journal('GetVolumeInformationByHandleW'), [])

    self.UseMachine([Volume('a', [u'A:\\'], serial=here + 1)])
    self.assertEqual(RunWithoutDevice(TOOL, TOOL), (
        1, '', 'volume_table: %s: its volume serial:%d is not in the volume '
        'table\n' % (TOOL, here)))

  def testHandleClosedOnEveryWayOut(self):
    directory = os.stat_result(os.stat(self.directory)[:2] + (0,) +
                               os.stat(self.directory)[3:10])
    handles = process_memory.OpenHandles()
    found = file_volume.WithSerial(self.directory, directory)
    self.assertEqual((found.st_dev, found.st_ino),
                     (RealSerial(self.directory), directory.st_ino))
    self.assertRaises(OSError, file_volume.WithSerial,
                      os.path.join(self.directory, 'none'), directory)
    self.assertEqual(process_memory.OpenHandles(), handles)


class SmokeTest(SimulatedMachineTestCase):
  """tools/windows_smoke_test.py, run here as on a Windows machine."""

  def Run(self, *args):
    return RunWithoutDevice(SMOKE_TEST, os.path.join(BuildTree(), 'python'),
                            *args)

  def testPassesOnThisMachine(self):
    os.environ.pop('VOLUMES_SIMULATION', None)
    status, out, err = self.Run()
    self.assertEqual((status, err), (0, ''), out)
    self.assertIn('st_dev is 0', out)
    self.assertTrue(out.endswith('\npassed\n'))
    # And as a later Python, whose st_dev carries the serial number.
    status, out, _ = RunTool([os.path.join(BuildTree(), 'python')],
                             command=[sys.executable, SMOKE_TEST])
    self.assertEqual(status, 0, out)

  def testFailsOnAMismatchOfASimulatedMachine(self):
    root = file_volume.VolumeRoot(ROOT)

    def Machine(serial):
      return [Volume('r', [root], serial=serial,
                     filesystem='exFAT', handles=HANDLES)]
    self.UseMachine(Machine(RealSerial(ROOT)))
    status, out, err = self.Run(ROOT)
    self.assertEqual((status, err), (0, ''), out)
    self.assertIn('ok: IsFAT gives True for exFAT\n', out)
    self.UseMachine(Machine(4321))
    status, out, _ = self.Run(ROOT)
    self.assertEqual(status, 1)
    self.assertIn("FAIL: FindVolumeID gives serial:%d; GetVolumeInformation's "
                  "serial, serial:4321\n" % RealSerial(ROOT), out)
    self.assertEqual(RunTool([], command=[sys.executable, SMOKE_TEST])[0], 2)

if __name__ == '__main__':
  unittest.main()
