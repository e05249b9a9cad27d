"""Volume IDs and the cached FAT-family test."""

import os
import unittest

from simulation import Handle, Rebound, SimulatedMachineTestCase, Stat, Volume
from windows import volumes

VolumeInfoClass = volumes.VolumeInfo.__wrapped__


class VolumeIDTest(unittest.TestCase):

  def testFormatAndInterning(self):
    volume_id = volumes._VolumeIDFromSerialNumber(1234)
    self.assertEqual(volume_id, 'serial:1234')
    self.assertIs(volumes._VolumeIDFromSerialNumber(1234L), volume_id)
    self.assertIs(intern('serial:' + '1234'), volume_id)
    for serial, expected in [(2**32, 'serial:4294967296'), (0, 'serial:0'),
                             (-5, 'serial:-5'), ('abc', 'serial:abc'),
                             (2**63 - 1, 'serial:%d' % (2**63 - 1)),
                             (-2**63, 'serial:%d' % -2**63),
                             (None, 'serial:None'), ((7,), 'serial:7')]:
      self.assertEqual(volumes._VolumeIDFromSerialNumber(serial), expected)
      self.assertIs(type(volumes._VolumeIDFromSerialNumber(serial)), str)

  def testFormattingFailures(self):
    class FormatsToNone(str):
      def __rmod__(self, unused_format):
        return None
    for serial, got in [(u'1234', 'unicode'), (FormatsToNone('1'), 'NoneType')]:
      with self.assertRaises(TypeError) as caught:
        volumes._VolumeIDFromSerialNumber(serial)
      self.assertEqual(str(caught.exception), 'Expected str, got %s' % got)
    self.assertRaises(TypeError, volumes._VolumeIDFromSerialNumber, (1, 2))

  def testFindVolumeID(self):
    here = volumes.FindVolumeID(os.stat(__file__))
    self.assertIs(here, volumes.FindVolumeID(os.stat(os.path.dirname(os.path.abspath(__file__)))))
    self.assertEqual(here, 'serial:%d' % os.stat(__file__).st_dev)
    self.assertIs(VolumeInfoClass().FindVolumeID(os.stat(__file__)), here)
    self.assertEqual(volumes.FindVolumeID(Stat(99)), 'serial:99')
    self.assertRaises(AttributeError, volumes.FindVolumeID, object())
    with self.assertRaises(TypeError) as caught:
      volumes.FindVolumeID(stat_result=Stat(1))
    self.assertEqual(str(caught.exception),
                     'FindVolumeID() takes no keyword arguments')


class IsFATTest(SimulatedMachineTestCase):

  def setUp(self):
    SimulatedMachineTestCase.setUp(self)
    self.UseMachine([
        Volume('u', ['E:\\'], serial=1, filesystem='FAT32', handles=[10]),
        Volume('n', ['C:\\'], serial=2, filesystem='NTFS', handles=[20]),
        Volume('x', ['F:\\'], serial=3, filesystem='exfat', handles=[30]),
        Volume('f', ['A:\\'], serial=4, filesystem='FAT', handles=[40]),
        Volume('z', ['Z:\\'], serial=5, filesystem='', handles=[50]),
        Volume('w', ['W:\\'], serial=6, filesystem='EXFAT', handles=[60]),
        Volume('b', ['B:\\'], serial=7, fail={'info': 21}, handles=[70]),
    ])
    # Every test starts from an empty cache: a rebuild empties it.
    VolumeInfoClass().AllVolumeEntries()
    self.ClearJournal()
    self.logs.records = []

  def Queries(self):
    return len(self.Journal('GetVolumeInformationByHandleW'))

  def testFamilyByName(self):
    answers = [volumes.IsFAT(serial, Handle(serial * 10)) for serial in range(1, 7)]
    self.assertEqual(answers, [True, False, True, False, False, True])
    self.assertTrue(all(type(answer) is bool for answer in answers))

  def testAnswersAreCachedPerVolumeID(self):
    self.assertIs(volumes.IsFAT(1, Handle(10)), True)
    self.assertIs(volumes.IsFAT(1L, None), True)
    self.assertIs(volumes.IsFAT(serial_number=2, handle=Handle(20)), False)
    # A cached False is a hit too.
    self.assertIs(volumes.IsFAT(2, handle=Handle(10)), False)
    self.assertEqual(self.Queries(), 2)

  def testMismatchedPairStoresTheHandlesAnswer(self):
    self.assertIs(volumes.IsFAT(2, Handle(10)), True)
    self.assertIs(volumes.IsFAT(2, None), True)

  def testWindowsErrorIsLoggedAndAnsweredFalseEachTime(self):
    for _ in range(2):
      self.assertIs(volumes.IsFAT(7, Handle(70)), False)
    self.assertEqual(self.Queries(), 2)
    self.assertEqual(self.logs.Lines(), [('ERROR', 'WindowsError')] * 2)
    for record in self.logs.records:
      self.assertIs(record.exc_info[0], WindowsError)
      self.assertEqual(record.exc_info[1].winerror, 21)
    self.assertIsNone(__import__('sys').exc_info()[0])

  def testOtherFailuresPass(self):
    self.assertRaises(AttributeError, volumes.IsFAT, 1, None)
    self.assertRaises(TypeError, volumes.IsFAT, 1, Handle('x'))
    self.assertRaises(OverflowError, volumes.IsFAT, 1, Handle(2**64))
    self.assertRaises(TypeError, volumes.IsFAT, u'1', Handle(10))
    self.assertEqual(self.logs.records, [])
    self.assertIs(volumes.IsFAT(1, Handle(10)), True)
    self.assertEqual(self.Queries(), 1)

  def testRebuildEmptiesTheCacheAndASkippedOneDoesNot(self):
    service = VolumeInfoClass()
    volumes.IsFAT(1, Handle(10))
    service._PopulateVolumeTable({})
    volumes.IsFAT(1, Handle(10))
    self.assertEqual(self.Queries(), 1)
    service.AllVolumeEntries(force_update=True)
    volumes.IsFAT(1, Handle(10))
    self.assertEqual(self.Queries(), 2)

  def testRebindingTheIDFunction(self):
    with Rebound('_VolumeIDFromSerialNumber', lambda serial: 'id-%s' % serial):
      self.assertEqual(volumes.FindVolumeID(Stat(5)), 'id-5')
      self.assertEqual(volumes.FindVolumeID(os.stat(__file__)),
                       'id-%d' % os.stat(__file__).st_dev)
      self.assertEqual(VolumeInfoClass().FindVolumeID(Stat(5)), 'id-5')
      self.assertIs(volumes.IsFAT(1, Handle(10)), True)
      self.assertIs(volumes.IsFAT(2, Handle(10)), True)
      self.assertEqual(self.Queries(), 2)
    with Rebound('_VolumeIDFromSerialNumber', lambda serial: []):
      self.assertRaises(TypeError, volumes.IsFAT, 1, Handle(10))
    with Rebound('_VolumeIDFromSerialNumber'):
      self.assertRaisesMessage(NameError, "name '_VolumeIDFromSerialNumber' "
                               "is not defined", volumes.FindVolumeID, Stat(5))
    # The module's own function again, once the name is bound to it.
    self.assertEqual(volumes.FindVolumeID(Stat(5)), 'serial:5')
    service = VolumeInfoClass()
    with Rebound('FindVolumeID', lambda stat_result: 'found'):
      self.assertEqual(service.FindVolumeID(Stat(5)), 'found')
    with Rebound('FindVolumeID'):
      self.assertRaisesMessage(NameError, "name 'FindVolumeID' is not defined",
                               service.FindVolumeID, Stat(5))
    self.assertEqual(service.FindVolumeID(os.stat(__file__)),
                     'serial:%d' % os.stat(__file__).st_dev)


if __name__ == '__main__':
  unittest.main()
