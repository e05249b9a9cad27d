"""volume_table.py --capture: machines written as simulated-machine files."""

import json
import os
import sys
import unittest

from simulation import Volume
from test_volume_table_tool import ToolTestCase, WORKSTATION

# What a simulated machine cannot show: the space of this machine's mounts.
SPACE_KEYS = ('used', 'avail', 'use%')
NO_SPACE_COLUMNS = 'MOUNTPOINTS,LABEL,FSTYPE,TYPE,SIZE,VOLUME,GUIDPATH,UUID,SERIAL'


class CaptureTest(ToolTestCase):

  def Views(self, machine_file):
    """The JSON volumes, less the space, the table and the log of a
    machine (None: this one)."""
    os.environ['VOLUMES_SIMULATION'] = machine_file or ''
    status, out, log = self.Run('--json')
    self.assertEqual(status, 0)
    volumes = json.loads(out)['volumes']
    for volume in volumes:
      for key in SPACE_KEYS:
        volume.pop(key)
    status, table, table_log = self.Run('-o', NO_SPACE_COLUMNS)
    self.assertEqual((status, table_log), (0, log))
    return volumes, table, log

  def Capture(self, machine_file):
    captured = os.path.join(self.directory, 'captured.json')
    os.environ['VOLUMES_SIMULATION'] = machine_file or ''
    status, out, _ = self.Run('--capture', captured)
    self.assertEqual((status, out), (0, ''))
    with open(captured) as machine:
      return captured, json.load(machine)

  def testWorkstationRoundTrip(self):
    captured, machine = self.Capture(WORKSTATION)
    self.assertEqual(self.Views(captured), self.Views(WORKSTATION))
    volumes = machine['volumes']
    with open(WORKSTATION) as original:
      self.assertEqual([v['name'] for v in volumes],
                       [v['name'] for v in json.load(original)['volumes']])
    # The volume without a mount point is part of the machine.
    self.assertEqual(volumes[0], {
        'name': '\\\\?\\Volume{5d3a1c2e-0000-0000-0000-100000000000}\\',
        'paths': [], 'label': 'System Reserved', 'serial': 2886729985,
        'max_component_length': 255, 'flags': 65482495,
        'filesystem': 'NTFS', 'drive_type': 0, 'total_bytes': 0})
    self.assertEqual(volumes[3]['paths'], ['E:\\', 'C:\\mnt\\usb\\'])
    # The optical drive reads back as removable, as the table has it.
    self.assertEqual([v['drive_type'] for v in volumes], [0, 3, 2, 2, 2, 4, 6])

  def testFailuresAreCaptured(self):
    self.UseMachine([
        Volume('a', [u'/a/'], serial=7, filesystem='ext4', drive_type=3,
               total_bytes=4096),
        Volume('b', [u'/b/'], serial=8, fail={'info': 534}),
        Volume('c', serial=9, fail={'paths': {'code': 5,
                                              'returned_length': 40}})])
    captured, machine = self.Capture(self.machine_file)
    self.assertEqual([v.get('fail') for v in machine['volumes']], [
        None, {'info': 534}, {'paths': {'code': 5, 'returned_length': 2}}])
    self.assertNotIn('serial', machine['volumes'][1])
    views = self.Views(self.machine_file)
    self.assertEqual(self.Views(captured), views)
    self.assertEqual(views[2].count('ERROR '), 3)

  def testStandardOutputAndWriteFailures(self):
    captured, _ = self.Capture(WORKSTATION)
    status, out, err = self.Run('--capture', '-')
    with open(captured) as machine:
      self.assertEqual((status, out, err), (0, machine.read(), ''))
    unwritable = os.path.join(self.directory, 'no', 'file')
    status, out, err = self.Run('--capture', unwritable)
    self.assertEqual((status, out), (2, ''))
    self.assertEqual(err, 'volume_table: cannot write %s: No such file or '
                     'directory\n' % unwritable)
    self.assertEqual(sorted(os.listdir(self.directory)),
                     ['captured.json', 'journal'])
    status, _, err = self.Run('--capture', captured, '/')
    self.assertEqual(status, 2)
    self.assertIn('--capture takes no PATH', err)

  @unittest.skipUnless(sys.platform.startswith('linux') or
                       sys.platform == 'win32',
                       'no volumes here but simulated ones')
  def testThisMachineRoundTrip(self):
    # Other tests mount and unmount filesystems meanwhile: a capture counts
    # when the table was the same before and after it.
    for _ in range(10):
      before = self.Views(None)
      captured, _ = self.Capture(None)
      if self.Views(None) == before:
        break
    else:
      self.fail('the mount table kept changing during the capture')
    self.assertEqual(self.Views(captured), before)


if __name__ == '__main__':
  unittest.main()
