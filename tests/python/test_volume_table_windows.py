"""The command and the smoke test where os.stat leaves st_dev 0, as CPython
2.7 does on Windows: the serial number is read through a handle of the path.

The commands run under an os.stat whose st_dev is 0.  Their handles are file
descriptors here, so a simulated volume that lists every small descriptor
answers GetVolumeInformationByHandleW for whichever one they open.
"""

import json
import os
import sys
import unittest

from simulation import SimulatedMachineTestCase, Volume
from test_volume_table_tool import BuildTree, ROOT, RunTool, TOOL
from windows import volumes

sys.path.insert(0, os.path.join(ROOT, 'tools'))
from volume_tool import file_volume  # pylint: disable=g-import-not-at-top

SMOKE_TEST = os.path.join(ROOT, 'tools', 'windows_smoke_test.py')
DESCRIPTORS = list(range(3, 256))

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

  def testPathNamesTheVolumeThatAnswersItsHandle(self):
    self.UseMachine([Volume('a', [u'A:\\'], serial=5, label=u'Other'),
                     Volume('b', [u'B:\\'], serial=77, label=u'Here',
                            handles=DESCRIPTORS)])
    status, out, err = RunWithoutDevice(TOOL, '--json', TOOL)
    self.assertEqual((status, err), (0, ''))
    (found,) = json.loads(out)['volumes']
    self.assertEqual((found['label'], found['volume']), ('Here', 'serial:77'))
    self.assertEqual(len(self.Journal('GetVolumeInformationByHandleW')), 1)

    self.UseMachine([Volume('b', [u'B:\\'], serial=77)])
    self.assertEqual(RunWithoutDevice(TOOL, TOOL), (
        1, '', 'volume_table: %s: cannot read its volume serial number: '
        '[Error 6] The handle is invalid\n' % TOOL))

  def testHandleClosedOnEveryWayOut(self):
    directory = os.stat_result(os.stat(self.directory)[:2] + (0,) +
                               os.stat(self.directory)[3:10])
    for handles, outcome in (([], WindowsError), (DESCRIPTORS, None)):
      self.UseMachine([Volume('b', [u'B:\\'], serial=77, handles=handles)])
      if outcome:
        self.assertRaises(outcome, file_volume.WithSerial, volumes,
                          self.directory, directory)
      else:
        found = file_volume.WithSerial(volumes, self.directory, directory)
        self.assertEqual((found.st_dev, found.st_ino), (77, directory.st_ino))
      ((_, handle),) = self.Journal('GetVolumeInformationByHandleW')
      self.assertRaises(OSError, os.fstat, int(handle))


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
    def Machine(root_handles, other_handles):
      return [Volume('r', [u'/'], serial=4321, filesystem='exFAT',
                     handles=root_handles),
              Volume('s', [u'/s/'], serial=99, handles=other_handles)]
    self.UseMachine(Machine(DESCRIPTORS, []))
    status, out, err = self.Run('/')
    self.assertEqual((status, err), (0, ''), out)
    self.assertIn('ok: IsFAT gives True for exFAT\n', out)
    self.UseMachine(Machine([], DESCRIPTORS))
    status, out, _ = self.Run('/')
    self.assertEqual(status, 1)
    self.assertIn("FAIL: FindVolumeID gives serial:99; GetVolumeInformation's "
                  "serial, serial:4321\n", out)
    self.assertEqual(RunTool([], command=[sys.executable, SMOKE_TEST])[0], 2)

if __name__ == '__main__':
  unittest.main()
