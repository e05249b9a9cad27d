"""tools/volume_table.py, run as a user runs it."""

import json
import os
import subprocess
import sys
import unittest

from simulation import SimulatedMachineTestCase, Volume

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, 'tools', 'volume_table.py')
WORKSTATION = os.path.join(ROOT, 'examples', 'workstation.json')


class VolumeTableToolTest(SimulatedMachineTestCase):

  def Run(self, *args):
    process = subprocess.Popen([sys.executable, TOOL] + list(args),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = process.communicate()
    return process.returncode, out, err

  def testWorkstationTable(self):
    os.environ['VOLUMES_SIMULATION'] = WORKSTATION
    status, out, err = self.Run()
    self.assertEqual((status, err), (0, ''))
    lines = out.splitlines()
    self.assertEqual(lines[0].split()[:3], ['VOLUME', 'MOUNT', 'POINT'])
    self.assertEqual([line.split()[1] for line in lines[1:]],
                     ['C:\\', 'D:\\', 'E:\\', 'F:\\', 'R:\\', 'Z:\\'])
    self.assertIn('476.0 GiB', lines[1])

  def testJson(self):
    os.environ['VOLUMES_SIMULATION'] = WORKSTATION
    status, out, _ = self.Run('--json')
    entries = json.loads(out)
    self.assertEqual(status, 0)
    self.assertEqual([e['filesystem'] for e in entries],
                     ['ntfs', 'udf', 'fat32', 'exfat', 'fat32', 'ntfs'])
    self.assertEqual(entries[2]['device_type'], 'REMOVABLE')
    self.assertEqual(entries[2]['mountpoint'], 'E:\\')

  def testPathsNameTheirVolume(self):
    here = os.stat(TOOL).st_dev
    self.UseMachine([Volume('t', ['T:\\'], serial=here, label=u'Here')])
    status, out, err = self.Run('--json', TOOL, '/no/such/path')
    self.assertEqual(status, 1)
    self.assertEqual([(e['path'], e['label']) for e in json.loads(out)],
                     [(TOOL, 'Here')])
    self.assertIn('/no/such/path: No such file or directory', err)

    self.UseMachine([Volume('t', ['T:\\'], serial=here + 1)])
    status, out, err = self.Run(TOOL)
    self.assertEqual((status, out), (1, ''))
    self.assertEqual(err, 'volume_table: %s: its volume serial:%d is not in '
                     'the volume table\n' % (TOOL, here))

  def testUnusableMachineFile(self):
    os.environ['VOLUMES_SIMULATION'] = os.path.join(self.directory, 'none.json')
    status, _, err = self.Run()
    self.assertEqual(status, 2)
    self.assertIn('cannot list the volumes: [Error 1610]', err)


if __name__ == '__main__':
  unittest.main()
