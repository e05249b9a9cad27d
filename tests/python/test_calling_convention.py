"""The calling convention shared by every function and method."""

import unittest

from simulation import Handle, Rebound, SimulatedMachineTestCase, Volume
from windows import volumes

VolumeInfoClass = volumes.VolumeInfo.__wrapped__


class Text(unicode):
  pass


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


# (the TypeError's text, the call, given the service): none reaches the
# platform.
REFUSED = [
    # No arguments, one argument (the instance is __init__'s one argument).
    ('_ListVolumeNames() takes no arguments (1 given)', lambda s: volumes._ListVolumeNames(1)),
    ('_ListVolumeNames() takes no keyword arguments', lambda s: volumes._ListVolumeNames(x=1)),
    ('FindVolumeID() takes exactly one argument (0 given)', lambda s: volumes.FindVolumeID()),
    ('GetVolumeInformation() takes exactly one argument (2 given)', lambda s: volumes.GetVolumeInformation(u'C:', u'D:')),
    ('_VolumeIDFromSerialNumber() takes no keyword arguments', lambda s: volumes._VolumeIDFromSerialNumber(serial_number=1)),
    ('__init__() takes exactly one argument (2 given)', lambda s: VolumeInfoClass(1)),
    ('__init__() takes no keyword arguments', lambda s: s.__init__(force=True)),
    # Named parameters: with keywords, the count given is that of the
    # parameters ahead of the first one missing, and a missing one is
    # reported before a surplus one.
    ('IsFAT() takes exactly 2 positional arguments (1 given)', lambda s: volumes.IsFAT(7)),
    ('IsFAT() takes exactly 2 positional arguments (3 given)', lambda s: volumes.IsFAT(7, Handle(1), 3)),
    ('AllVolumeEntries() takes at most 2 positional arguments (3 given)', lambda s: s.AllVolumeEntries(True, 1)),
    ('AllVolumeEntries() takes at least 1 positional argument (0 given)', lambda s: VolumeInfoClass.__dict__['AllVolumeEntries']()),
    ('_PopulateVolumeTable() takes exactly 2 positional arguments (1 given)', lambda s: s._PopulateVolumeTable()),
    ('IsFAT() takes exactly 2 positional arguments (1 given)', lambda s: volumes.IsFAT(1, size=3)),
    ('IsFAT() takes exactly 2 positional arguments (0 given)', lambda s: volumes.IsFAT(handle=Handle(1))),
    ('IsFAT() takes exactly 2 positional arguments (1 given)', lambda s: volumes.IsFAT(serial_number=7, size=3)),
    ("IsFAT() got multiple values for keyword argument 'serial_number'", lambda s: volumes.IsFAT(1, Handle(1), serial_number=3)),
    ("IsFAT() got an unexpected keyword argument 'size'", lambda s: volumes.IsFAT(1, Handle(1), size=3)),
    ("IsFAT() got an unexpected keyword argument '\xc3\xa9'", lambda s: volumes.IsFAT(1, Handle(1), **{u'\xe9': 3})),
    ('IsFAT() keywords must be strings', lambda s: volumes.IsFAT(1, Handle(1), **{3: 4})),
    ("FindVolumeID() got an unexpected keyword argument 'stat'", lambda s: s.FindVolumeID(1, stat=1)),
    # Typed parameters, and native integers (their range: test_limits).
    ("Argument 'path' has incorrect type (expected unicode, got str)", lambda s: volumes.GetVolumeInformation('C:\\')),
    ("Argument 'path' has incorrect type (expected unicode, got Text)", lambda s: volumes.GetVolumeInformation(Text(u'C:\\'))),
    ('Expected unicode, got None', lambda s: volumes.GetVolumeInformation(None)),
    ("Argument 'guid_path' has incorrect type (expected basestring, got int)", lambda s: volumes._GetVolumePathNamesForVolumeName(1)),
    ('an integer is required', lambda s: volumes.GetVolumeInformationByHandle('x')),
    ('__int__ returned non-int (type str)', lambda s: volumes.GetVolumeInformationByHandle(BadInt())),
    ('__long__ returned non-long (type float)', lambda s: volumes.GetVolumeInformationByHandle(BadLong())),
]

# (the answer, the call, given the service): keywords by value, and what a
# parameter typed basestring takes.
ACCEPTED = [
    (True, lambda s: volumes.IsFAT(serial_number=7, handle=Handle(1))),
    (True, lambda s: volumes.IsFAT(**{u'serial_number': 8, u'handle': Handle(1)})),
    (['serial:7'], lambda s: s.AllVolumeEntries(**{u'force_update': True}).keys()),
    ([u'C:\\'], lambda s: volumes._GetVolumePathNamesForVolumeName('C:\\')),
    ([u'C:\\'], lambda s: volumes._GetVolumePathNamesForVolumeName(u'C:\\')),
    ([], lambda s: volumes._GetVolumePathNamesForVolumeName(None)),
]


class CallingConventionTest(SimulatedMachineTestCase):

  def setUp(self):
    SimulatedMachineTestCase.setUp(self)
    self.UseMachine([Volume('c', ['C:\\'], handles=[1, -1], filesystem='FAT32',
                           serial=7)])
    self.service = VolumeInfoClass()

  def testRefusedCalls(self):
    for message, call in REFUSED:
      with self.assertRaises(TypeError) as caught:
        call(self.service)
      self.assertEqual(str(caught.exception), message)
    self.assertEqual(self.Journal(), [])

  def testAcceptedCalls(self):
    for index, (answer, call) in enumerate(ACCEPTED):
      result = call(self.service)
      self.assertEqual((type(result), result), (type(answer), answer), index)

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

  def testNativeIntegers(self):
    for handle in [1, 1L, True, 1.5, IntOnly(), LongOnly(), -1]:
      self.assertEqual(volumes.GetVolumeInformationByHandle(handle)[1], 7)
    self.assertEqual([line[1] for line in self.Journal()], ['1'] * 6 + ['-1'])

  def testModuleNamesAreLookedUpAtEachUse(self):
    self.UseMachine([Volume('a'), Volume('a')])
    with Rebound('LOGGER'):
      self.assertRaisesMessage(NameError, "name 'LOGGER' is not defined",
                               volumes._ListVolumeNames)


if __name__ == '__main__':
  unittest.main()
