"""The real Linux machine's refresh while another process changes mounts.

Run by run.py inside a private mount namespace of its own (unshare --mount
--propagation private, as root), so that the mounts made here are seen by
this process and its children only and vanish with them:

  churn_refresh.py --mounts N --rounds R [--limit SECONDS]

Mounts N tmpfs filesystems, then times the module's full refresh
(VolumeInfo.AllVolumeEntries(True)) by the wall clock, which is what the
host's threads wait, in R rounds.  Each round times, in a fresh random order,
one refresh with the mount table still and one under each churn: a child
process mounting and unmounting one more tmpfs at 100 changes a second, and
one doing it as fast as it can.  A refresh under churn that runs past
--limit seconds is cut short by stopping the churn (the refresh then ends)
and counts as its time so far, marked "cut".  Prints one JSON object.
"""

import argparse
import json
import os
import random
import select
import signal
import subprocess
import sys

sys.dont_write_bytecode = True
BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

from real_refresh import Mount, TmpfsMounts, Unmount  # pylint: disable=g-import-not-at-top
import timing  # pylint: disable=g-import-not-at-top

SETTLE_SECONDS = 0.5
# (name, changes a second; 0: as fast as it can)
CHURNS = (('churn_100', 100), ('churn_unthrottled', 0))

def Churn(target):
  """The churning process.  Reads commands on its standard input: a rate,
  in changes a second (a mount and an unmount are two; 0: as fast as it
  can), starts mounting and unmounting `target`, answered "churning" once it
  has for SETTLE_SECONDS; "stop" stops, answered with the rate it made."""
  command = sys.stdin.readline()
  while command:
    rate = float(command)
    changes = 0
    start = timing.WallTime()
    ready = False
    while True:
      Mount(target, 'churn')
      Unmount(target)
      changes += 2
      now = timing.WallTime()
      if not ready and now - start >= SETTLE_SECONDS:
        sys.stdout.write('churning\n')
        sys.stdout.flush()
        ready = True
      delay = start + changes / rate - now if rate else 0
      if select.select([sys.stdin], [], [], max(delay, 0))[0]:
        break
    if sys.stdin.readline().strip() != 'stop':
      raise SystemExit('churn: expected "stop"')
    sys.stdout.write('%f\n' % (changes / (timing.WallTime() - start)))
    sys.stdout.flush()
    command = sys.stdin.readline()


class Churner(object):
  """A process of its own that changes the mount table when asked.  It is
  started once, before the refreshes are timed: starting a process forks
  this one, and its memory, shared copy-on-write until then, costs a page
  fault per page at its next write, which would be counted against the
  refresh."""

  def __init__(self, target):
    self.process = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), '--churn', target],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)

  def Start(self, rate):
    """Returns once the mount table has been changing for a while: past the
    start, steadily."""
    self.process.stdin.write('%d\n' % rate)
    self.process.stdin.flush()
    if self.process.stdout.readline() != 'churning\n':
      raise SystemExit('the churning process failed (exit %s)' %
                       self.process.wait())

  def Stop(self):
    """The changes a second that it made."""
    self.process.stdin.write('stop\n')
    self.process.stdin.flush()
    return float(self.process.stdout.readline())

  def Close(self):
    self.process.stdin.close()
    self.process.wait()


class Watchdog(object):
  """Stops a churner once a refresh has run `limit` seconds, so that a
  refresh that lasts as long as the changes do ends."""

  def __init__(self, churner, limit):
    self.cut = False
    self.churner = churner
    signal.signal(signal.SIGALRM, self.Expire)
    signal.setitimer(signal.ITIMER_REAL, limit)

  def Expire(self, *_):
    self.cut = True
    self.churner.process.send_signal(signal.SIGSTOP)

  def Disarm(self):
    signal.setitimer(signal.ITIMER_REAL, 0)
    if self.cut:
      self.churner.process.send_signal(signal.SIGCONT)


def TimeRefresh(refresh):
  start = timing.WallTime()
  refresh(True)
  return timing.WallTime() - start


def main():
  parser = argparse.ArgumentParser()
  parser.add_argument('--mounts', type=int)
  parser.add_argument('--rounds', type=int)
  parser.add_argument('--limit', type=float, default=30)
  parser.add_argument('--churn', metavar='TARGET', help=argparse.SUPPRESS)
  args = parser.parse_args()
  if args.churn:
    Churn(args.churn)
    return

  with TmpfsMounts(args.mounts, 'volumes-bench-churn-') as directory:
    churn_target = os.path.join(directory, 'churn')
    os.mkdir(churn_target)
    churner = Churner(churn_target)
    try:
      sys.stdout.write(json.dumps(TimeRounds(args, churner)) + '\n')
    finally:
      churner.Close()
      Unmount(churn_target)  # where the churn was cut short mounted


def TimeRounds(args, churner):
  """Every case's refreshes, in interleaved rounds."""
  from windows import volumes  # pylint: disable=g-import-not-at-top
  service = volumes.VolumeInfo.__wrapped__()
  # Twice: the first pays for the pages that starting the churner left
  # shared.
  service.AllVolumeEntries(True)
  table = len(service.AllVolumeEntries(True))
  refresh = service.AllVolumeEntries
  seconds = dict((name, []) for name in ['still'] + [n for n, _ in CHURNS])
  rates = dict((name, []) for name, _ in CHURNS)
  cut = dict((name, 0) for name, _ in CHURNS)
  chooser = random.Random(18)
  for _ in range(args.rounds):
    cases = ['still'] + list(CHURNS)
    chooser.shuffle(cases)
    for case in cases:
      if case == 'still':
        # The first takes in the changes of the churn before it, if any;
        # the pause is the one a churn's start makes before its refresh.
        refresh(True)
        timing.Sleep(SETTLE_SECONDS)
        seconds['still'].append(TimeRefresh(refresh))
        continue
      name, rate = case
      churner.Start(rate)
      watchdog = Watchdog(churner, args.limit)
      seconds[name].append(TimeRefresh(refresh))
      watchdog.Disarm()
      cut[name] += watchdog.cut
      rates[name].append(churner.Stop())
  result = {'mounts': args.mounts, 'volumes': table, 'limit_s': args.limit}
  for name, values in seconds.items():
    result[name] = {'refresh_s': timing.Summary(values)}
    if name in rates:
      result[name]['changes_per_s'] = timing.Summary(rates[name])
      result[name]['cut'] = cut[name]
      # Against the still refresh of the same round: the machine's speed
      # drifts over a run, less over a round.
      result[name]['vs_still'] = timing.Summary(
          [churned / still for churned, still in zip(values,
                                                     seconds['still'])])
  return result


if __name__ == '__main__':
  main()
