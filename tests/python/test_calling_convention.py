"""The calling convention shared by every function and method."""

import unittest

from simulation import Handle, Rebound, SimulatedMachineTestCase, Volume
from windows import volumes

VolumeInfoClass = volumes.VolumeInfo.__wrapped__


class CallingConventionTest(SimulatedMachineTestCase):

  def setUp(self):
    SimulatedMachineTestCase.setUp(self)
    self.UseMachine([Volume('c', ['C:\\'], handles=[1, -1], filesystem='FAT32',
                           serial=7)])
    self.service = VolumeInfoClass()

  def testNoArguments(self):
    self.assertRaisesMessage(TypeError, '_ListVolumeNames() takes no arguments (1 given)',
                             volumes._ListVolumeNames, 1)
    self.assertRaisesMessage(TypeError, '_ListVolumeNames() takes no keyword arguments',
                             volumes._ListVolumeNames, x=1)

  def testOneArgument(self):
    self.assertRaisesMessage(TypeError, 'FindVolumeID() takes exactly one argument (0 given)',
                             volumes.FindVolumeID)
    self.assertRaisesMessage(TypeError, 'GetVolumeInformation() takes exactly one argument (2 given)',
                             volumes.GetVolumeInformation, u'C:', u'D:')
    self.assertRaisesMessage(TypeError, '_VolumeIDFromSerialNumber() takes no keyword arguments',
                             volumes._VolumeIDFromSerialNumber, serial_number=1)
    # The instance is __init__'s one argument.
    self.assertRaisesMessage(TypeError, '__init__() takes exactly one argument (2 given)',
                             VolumeInfoClass, 1)
    self.assertRaisesMessage(TypeError, '__init__() takes no keyword arguments',
                             self.service.__init__, force=True)

  def testNamedParameterCounts(self):
    self.assertRaisesMessage(TypeError, 'IsFAT() takes exactly 2 positional arguments (1 given)',
                             volumes.IsFAT, 7)
    self.assertRaisesMessage(TypeError, 'IsFAT() takes exactly 2 positional arguments (3 given)',
                             volumes.IsFAT, 7, Handle(1), 3)
    self.assertRaisesMessage(TypeError, 'AllVolumeEntries() takes at most 2 positional arguments (3 given)',
                             self.service.AllVolumeEntries, True, 1)
    self.assertRaisesMessage(TypeError, 'AllVolumeEntries() takes at least 1 positional argument (0 given)',
                             VolumeInfoClass.__dict__['AllVolumeEntries'])
    self.assertRaisesMessage(TypeError, '_PopulateVolumeTable() takes exactly 2 positional arguments (1 given)',
                             self.service._PopulateVolumeTable)
    # With keywords, the count given is that of the parameters ahead of the
    # first one missing, and a missing one is reported before a surplus one.
    self.assertRaisesMessage(TypeError, 'IsFAT() takes exactly 2 positional arguments (1 given)',
                             volumes.IsFAT, 1, size=3)
    self.assertRaisesMessage(TypeError, 'IsFAT() takes exactly 2 positional arguments (0 given)',
                             volumes.IsFAT, handle=Handle(1))
    self.assertRaisesMessage(TypeError, 'IsFAT() takes exactly 2 positional arguments (1 given)',
                             volumes.IsFAT, serial_number=7, size=3)

  def testKeywordErrors(self):
    self.assertRaisesMessage(TypeError, "IsFAT() got multiple values for keyword argument 'serial_number'",
                             volumes.IsFAT, 1, Handle(1), serial_number=3)
    self.assertRaisesMessage(TypeError, "IsFAT() got an unexpected keyword argument 'size'",
                             volumes.IsFAT, 1, Handle(1), size=3)
    self.assertRaisesMessage(TypeError, "IsFAT() got an unexpected keyword argument '\xc3\xa9'",
                             volumes.IsFAT, 1, Handle(1), **{u'\xe9': 3})
    with self.assertRaises(TypeError) as caught:
      volumes.IsFAT(1, Handle(1), **{3: 4})
    self.assertEqual(str(caught.exception), 'IsFAT() keywords must be strings')
    self.assertRaisesMessage(TypeError, "FindVolumeID() got an unexpected keyword argument 'stat'",
                             self.service.FindVolumeID, 1, stat=1)

  def testKeywordsByValue(self):
    self.assertIs(volumes.IsFAT(serial_number=7, handle=Handle(1)), True)
    self.assertIs(volumes.IsFAT(**{u'serial_number': 8, u'handle': Handle(1)}), True)
    self.assertEqual(self.service.AllVolumeEntries(**{u'force_update': True}).keys(),
                     ['serial:7'])

  def testForceUpdateStyles(self):
    self.service.AllVolumeEntries()
    for call in [lambda: self.service.AllVolumeEntries(True),
                 lambda: self.service.AllVolumeEntries(force_update=True),
                 lambda: VolumeInfoClass.AllVolumeEntries(self.service, True)]:
      self.ClearJournal()
      call()
      self.assertEqual(len(self.Journal('FindFirstVolumeW')), 1)
    self.ClearJournal()
    self.service.AllVolumeEntries()
    self.service.AllVolumeEntries(force_update=False)
    self.assertEqual(self.Journal(), [])

  def testTypedParameters(self):
    self.assertRaisesMessage(TypeError, "Argument 'path' has incorrect type (expected unicode, got str)",
                             volumes.GetVolumeInformation, 'C:\\')

    class Text(unicode):
      pass
    self.assertRaisesMessage(TypeError, "Argument 'path' has incorrect type (expected unicode, got Text)",
                             volumes.GetVolumeInformation, Text(u'C:\\'))
    self.assertRaisesMessage(TypeError, 'Expected unicode, got None',
                             volumes.GetVolumeInformation, None)
    self.assertRaisesMessage(TypeError, "Argument 'guid_path' has incorrect type (expected basestring, got int)",
                             volumes._GetVolumePathNamesForVolumeName, 1)
    self.assertEqual(volumes._GetVolumePathNamesForVolumeName('C:\\'), [u'C:\\'])
    self.assertEqual(volumes._GetVolumePathNamesForVolumeName(u'C:\\'), [u'C:\\'])
    self.assertEqual(volumes._GetVolumePathNamesForVolumeName(None), [])
    self.assertEqual(self.Journal('GetVolumeInformationW'), [])

  def testNativeIntegers(self):
    class IntOnly(object):
      def __int__(self):
        return 1

    class LongOnly(object):
      def __long__(self):
        return 1L

    class BadInt(object):
      def __int__(self):
        return 'one'

    class BadLong(object):
      def __long__(self):
        return 1.0

    for handle in [1, 1L, True, 1.5, IntOnly(), LongOnly(), -1]:
      self.assertEqual(volumes.GetVolumeInformationByHandle(handle)[1], 7)
    self.assertEqual([line[1] for line in self.Journal()], ['1'] * 6 + ['-1'])
    self.assertRaisesMessage(TypeError, 'an integer is required',
                             volumes.GetVolumeInformationByHandle, 'x')
    self.assertRaisesMessage(TypeError, '__int__ returned non-int (type str)',
                             volumes.GetVolumeInformationByHandle, BadInt())
    self.assertRaisesMessage(TypeError, '__long__ returned non-long (type float)',
                             volumes.GetVolumeInformationByHandle, BadLong())
    # The range of values: test_limits.

  def testModuleNamesAreLookedUpAtEachUse(self):
    self.UseMachine([Volume('a'), Volume('a')])
    with Rebound('LOGGER'):
      self.assertRaisesMessage(NameError, "name 'LOGGER' is not defined",
                               volumes._ListVolumeNames)


if __name__ == '__main__':
  unittest.main()
