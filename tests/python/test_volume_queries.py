"""Mount points and volume information, checked through the journal."""

import unittest

from simulation import SimulatedMachineTestCase, Volume
from windows import volumes

NAME = Volume('e')['name']
CALL = 'GetVolumePathNamesForVolumeNameW'


class MountPointsTest(SimulatedMachineTestCase):

  def MountPoints(self, **volume):
    self.UseMachine([Volume('e', **volume)])
    return volumes._GetVolumePathNamesForVolumeName(NAME)

  def testSingleDriveLetterFitsTheFirstBuffer(self):
    self.assertEqual(self.MountPoints(paths=['E:\\']), [u'E:\\'])
    self.assertEqual(self.Journal(), [(CALL, NAME, '5')])
    self.assertEqual(self.logs.records, [])

  def testNoMountPoint(self):
    self.assertEqual(self.MountPoints(paths=[]), [])

  def testBufferGrowsToTheReportedLength(self):
    paths = [u'E:\\', u'C:\\mnt\\usb\\']
    needed = 4 + 12 + 1
    self.assertEqual(self.MountPoints(paths=paths), paths)
    self.assertEqual(self.Journal(), [(CALL, NAME, '5'), (CALL, NAME, str(needed))])
    self.assertEqual(self.logs.Lines(), [
        ('DEBUG', "10 isn't big enough, allocating %d bytes." % (2 * needed))])

  def testEmptyPiecesAreDropped(self):
    self.assertEqual(self.MountPoints(paths=['', 'E:\\', '']), [u'E:\\'])

  def testFailureWithoutLengthIsNoMountPoint(self):
    self.assertEqual(
        self.MountPoints(fail={'paths': {'code': 5, 'returned_length': 0}}), [])
    self.assertEqual(self.logs.records, [])

  def testFailureIsLoggedAndRaised(self):
    with self.assertRaises(WindowsError) as caught:
      self.MountPoints(fail={'paths': {'code': 5, 'returned_length': 2}})
    self.assertEqual(caught.exception.winerror, 5)
    self.assertEqual(self.logs.Lines(), [
        ('ERROR', 'Could not write path names into 10-byte buffer.')])

  def testMoreDataThatIsNotMoreIsAnError(self):
    for needed in (3, 5):
      self.logs.records = []
      with self.assertRaises(WindowsError) as caught:
        self.MountPoints(fail={'paths': {'code': 234, 'returned_length': needed}})
      self.assertEqual(caught.exception.winerror, 234)
      self.assertEqual(len(self.Journal()), 1)
      self.assertEqual(self.logs.Lines('ERROR'), [
          ('ERROR', 'Could not write path names into 10-byte buffer.')])

  def testHugeLengthNeverWrapsIntoASmallBuffer(self):
    # 2 * (2**32 - 1) bytes: more than a 32-bit size can count.  Where the
    # allocation fails the MemoryError names the full size; where it
    # succeeds, the same length again is no larger and ends as an error.
    try:
      self.MountPoints(fail={'paths': {'code': 234, 'returned_length': 2**32 - 1}})
    except MemoryError as error:
      self.assertEqual(str(error), 'Could not allocate 8589934590 bytes.')
    except WindowsError as error:
      self.assertEqual(error.winerror, 234)
      self.assertEqual(self.Journal()[1], (CALL, NAME, str(2**32 - 1)))
    else:
      self.fail('no exception')
    self.assertEqual(self.logs.Lines('DEBUG'), [
        ('DEBUG', "10 isn't big enough, allocating 8589934590 bytes.")])

  def testNamesAreConvertedBeforeAnyCall(self):
    self.UseMachine([Volume('e', ['E:\\'])])
    self.assertEqual(volumes._GetVolumePathNamesForVolumeName(str(NAME)), [u'E:\\'])
    self.assertEqual(volumes._GetVolumePathNamesForVolumeName(None), [])
    self.assertEqual(self.Journal()[-1], (CALL, 'None', '5'))
    self.ClearJournal()
    self.assertRaises(UnicodeDecodeError,
                      volumes._GetVolumePathNamesForVolumeName, '\xff')
    self.assertRaisesMessage(ValueError, 'embedded null character in guid_path',
                             volumes._GetVolumePathNamesForVolumeName, u'E:\\\0x')
    self.assertEqual(self.Journal(), [])


class VolumeInformationTest(SimulatedMachineTestCase):

  def setUp(self):
    SimulatedMachineTestCase.setUp(self)
    self.UseMachine([
        Volume('e', ['E:\\'], label=u'Cl\xe9', serial=2**32 - 2, flags=2**31,
               max_component_length=255, filesystem='FAT32', handles=[-1, 9]),
        Volume('n', ['N:\\'], fail={'info': 21}),
    ])

  def Roots(self, *paths):
    for path in paths:
      try:
        volumes.GetVolumeInformation(path)
      except WindowsError:
        pass
    return [line[1] for line in self.Journal('GetVolumeInformationW')]

  def testRootPathGetsOneTrailingBackslash(self):
    self.assertEqual(self.Roots(u'E:', u'E:\\', u'E:/', u''),
                     ['E:\\', 'E:\\', 'E:/\\', '\\'])

  def testFiveTuple(self):
    label, serial, length, flags, filesystem = volumes.GetVolumeInformation(u'E:\\')
    self.assertEqual((label, serial, length, flags, filesystem),
                     (u'Cl\xe9', 2**32 - 2, 255, 2**31, 'FAT32'))
    self.assertIs(type(label), unicode)
    self.assertEqual([type(n) for n in (serial, length, flags)], [long] * 3)
    self.assertIs(type(filesystem), str)

  def testEmptyLabelAndSmallNumbersAreStillLongs(self):
    self.UseMachine([Volume('e', ['E:\\'], serial=1)])
    label, serial, _, flags, filesystem = volumes.GetVolumeInformation(u'E:\\')
    self.assertEqual((label, serial, flags, filesystem), (u'', 1L, 0L, 'NTFS'))
    self.assertIs(type(serial), long)

  def testFailures(self):
    with self.assertRaises(WindowsError) as caught:
      volumes.GetVolumeInformation(u'N:\\')
    self.assertEqual(caught.exception.winerror, 21)
    # None and byte strings: test_calling_convention.
    self.assertRaisesMessage(ValueError, 'embedded null character in path',
                             volumes.GetVolumeInformation, u'E:\0\\')
    self.assertEqual(self.Journal(), [('GetVolumeInformationW', 'N:\\')])

  def testByHandle(self):
    self.assertEqual(volumes.GetVolumeInformationByHandle(-1),
                     volumes.GetVolumeInformation(u'E:'))
    with self.assertRaises(WindowsError) as caught:
      volumes.GetVolumeInformationByHandle(8)
    self.assertEqual(caught.exception.winerror, 6)
    self.assertEqual(self.Journal('GetVolumeInformationByHandleW'),
                     [('GetVolumeInformationByHandleW', '-1'),
                      ('GetVolumeInformationByHandleW', '8')])


if __name__ == '__main__':
  unittest.main()
