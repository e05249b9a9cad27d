"""The benchmark's own parts: that its loops run what they say, that its
plain-Python host answers as the module does (else the comparison is of
different work), and that its verdicts read the ratios the right way round.
The benchmark itself runs from bench/run.sh, never here."""

import imp
import os
import sys
import unittest

from windows import volumes

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), 'bench')
sys.path.insert(0, BENCH)
sys.dont_write_bytecode = True

import run  # pylint: disable=g-import-not-at-top
import timing  # pylint: disable=g-import-not-at-top

host = imp.load_source('host_equivalent_test',
                       os.path.join(BENCH, 'host_equivalent.py'))


class Counter(object):
  def __init__(self):
    self.count = 0

  def __call__(self, *args, **kwargs):
    self.count += 1


class TimingTest(unittest.TestCase):

  def testLoopRunsTheStatementRepeatTimesPerIteration(self):
    counter = Counter()
    case = timing.Case('count', 'f(x, key=y)', f=counter, x=1, y=2)
    self.assertGreaterEqual(case.Time(7), 0)
    self.assertEqual(counter.count, 7 * timing.REPEAT)

  def testEmptyLoopIsSubtractedPerRound(self):
    counter = Counter()
    figures, empty = timing.TimeCases(
        [timing.Case('count', 'f()', f=counter)], rounds=3,
        sample_seconds=0.0005)
    self.assertEqual(len(figures['count']), 3)
    self.assertEqual(len(empty), 3)
    self.assertGreater(min(figures['count']), 0)

  def testSummary(self):
    summary = timing.Summary([5, 1, 4, 2, 3])
    self.assertEqual((summary['median'], summary['q1'], summary['q3']),
                     (3, 2, 4))
    self.assertEqual((summary['min'], summary['max'], summary['rounds']),
                     (1, 5, 5))
    self.assertEqual(timing.Percentile([1, 2], 0.5), 1.5)


class HostEquivalentTest(unittest.TestCase):

  def testAnswersAsTheModuleDoes(self):
    for serial in (0, 1234, 2**32, 5L):
      self.assertIs(host._VolumeIDFromSerialNumber(serial),
                    volumes._VolumeIDFromSerialNumber(serial))
    stat_result = os.stat(__file__)
    self.assertIs(host.FindVolumeID(stat_result),
                  volumes.FindVolumeID(stat_result))

  def testIsFatIsCachedPerVolumeID(self):
    class Handle(object):
      filesystem = 'FAT32'
    self.assertIs(host.IsFAT(77, Handle()), True)
    Handle.filesystem = 'NTFS'
    self.assertIs(host.IsFAT(77, Handle()), True)
    self.assertIs(host.IsFAT(78, Handle()), False)

  def testServiceReadsTheTableItIsGiven(self):
    table = {'serial:1': 'entry'}
    service = host.VolumeInfo(table)
    self.assertEqual(service.GetVolumeEntryForVolumeID('serial:1'), 'entry')
    self.assertIsNone(service.GetVolumeEntryForVolumeID('serial:2'))
    copy = service.AllVolumeEntries()
    self.assertEqual(copy, table)
    self.assertIsNot(copy, table)


class VerdictTest(unittest.TestCase):

  def Results(self, native, python, floor):
    ratios = {}
    for _, module_key, comparisons in run.TARGETS:
      for _, other_key, kind, _ in comparisons:
        if kind == 'faster':
          ratios['%s/%s' % (other_key, module_key)] = {
              'median': (python if 'python' in other_key else python / 2.0)
                        / native}
        else:
          ratios['%s/%s' % (module_key, other_key)] = {
              'median': native / floor}
    return {'ratios': ratios, 'refresh_real': {'available': False,
                                               'reason': 'left out'}}

  def testSpeedupsAndFloorsReadTheRightWay(self):
    verdicts = run.Verdicts(self.Results(native=10.0, python=1000.0,
                                         floor=10.0))
    calls = [v for v in verdicts if not v[0].startswith('refresh')]
    self.assertTrue(all(met for _, _, _, met in calls), calls)
    verdicts = run.Verdicts(self.Results(native=100.0, python=110.0,
                                         floor=10.0))
    self.assertFalse(any(met for _, _, _, met in verdicts), verdicts)

  def testRefreshFlatnessAndTotal(self):
    results = self.Results(native=10.0, python=1000.0, floor=10.0)

    def Sizes(per_volume):
      return [{'volumes': count, 'per_volume_us': {'median': us},
               'refresh_s': us * count * 1e-6}
              for count, us in zip(run.SIMULATED_SIZES, per_volume)]
    results['refresh_simulated'] = Sizes([20, 22, 24, 26])
    flat, total = [v[3] for v in run.Verdicts(results)
                   if v[0] == 'refresh, simulated']
    self.assertEqual((flat, total), (True, True))
    results['refresh_simulated'] = Sizes([20, 22, 40, 60])
    flat, total = [v[3] for v in run.Verdicts(results)
                   if v[0] == 'refresh, simulated']
    self.assertEqual((flat, total), (False, False))

  def testChurnReadsEveryRefreshAgainstItsRoundsStillOne(self):
    results = self.Results(native=10.0, python=1000.0, floor=10.0)

    def Churn(worst, cut=0):
      row = {'vs_still': {'median': 1.0, 'max': worst}, 'cut': cut}
      return {'available': True, 'mounts': 10, 'churn_100': row,
              'churn_unthrottled': row}

    for churn, expected in ((Churn(1.9), True), (Churn(2.1), False),
                            (Churn(1.0, cut=1), False)):
      results['refresh_churn'] = churn
      met = [v[3] for v in run.Verdicts(results)
             if v[0] == 'refresh under churn, real Linux']
      self.assertEqual(met, [expected, expected], churn)


if __name__ == '__main__':
  unittest.main()
