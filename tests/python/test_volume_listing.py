"""_ListVolumeNames on simulated machines."""

import unittest

from simulation import Rebound, SimulatedMachineTestCase, Volume
from windows import volumes

A, B = Volume('a'), Volume('b')


class ListVolumeNamesTest(SimulatedMachineTestCase):

  def assertClosedOnce(self):
    self.assertEqual(self.Journal('FindVolumeClose'), [('FindVolumeClose', '1')])

  def testSingleVolume(self):
    self.UseMachine([A])
    names = volumes._ListVolumeNames()
    self.assertEqual(names, [A['name']])
    self.assertIs(type(names[0]), unicode)
    self.assertEqual(self.Journal(), [('FindFirstVolumeW', '261'),
                                      ('FindNextVolumeW', '1', '261'),
                                      ('FindVolumeClose', '1')])
    self.assertEqual(self.logs.records, [])

  def testRepeatedNameEndsTheListWithAnErrorLog(self):
    self.UseMachine([A, B, B, Volume('c')])
    self.assertEqual(volumes._ListVolumeNames(), [A['name'], B['name']])
    self.assertEqual(self.logs.Lines(), [
        ('ERROR', 'FindNextVolume improperly returned same value %s' % B['name'])])
    self.assertClosedOnce()

  def testNameSeenBeforeAnotherIsKept(self):
    self.UseMachine([A, B, A])
    self.assertEqual(volumes._ListVolumeNames(),
                     [A['name'], B['name'], A['name']])
    self.assertEqual(self.logs.records, [])

  def testFailureAfterTwoNamesClosesTheHandle(self):
    self.UseMachine([A, B, Volume('c')], find_next_error={'after': 2, 'code': 5})
    with self.assertRaises(WindowsError) as caught:
      volumes._ListVolumeNames()
    self.assertEqual(caught.exception.winerror, 5)
    self.assertEqual(len(self.Journal('FindNextVolumeW')), 2)
    self.assertClosedOnce()

  def testFindFirstFailure(self):
    self.UseMachine([A], find_first_error=21)
    with self.assertRaises(WindowsError) as caught:
      volumes._ListVolumeNames()
    self.assertEqual(caught.exception.winerror, 21)
    self.assertEqual(self.Journal(), [('FindFirstVolumeW', '261')])

  def testNoVolumes(self):
    self.UseMachine([])
    with self.assertRaises(WindowsError) as caught:
      volumes._ListVolumeNames()
    self.assertEqual(caught.exception.winerror, 18)

  def testLoggingFailureStillClosesTheHandle(self):
    self.UseMachine([A, A])
    with Rebound('LOGGER', None):
      self.assertRaises(AttributeError, volumes._ListVolumeNames)
    self.assertClosedOnce()

  def testNameThatFillsTheBuffer(self):
    longest = u'\\\\?\\' + u'x' * 256
    self.UseMachine([{'name': longest}, {'name': longest + u'y'}])
    with self.assertRaises(WindowsError) as caught:
      volumes._ListVolumeNames()
    self.assertEqual(caught.exception.winerror, 206)
    self.assertClosedOnce()


if __name__ == '__main__':
  unittest.main()
