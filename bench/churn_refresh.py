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
import ctypes
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

import timing  # pylint: disable=g-import-not-at-top

MNT_DETACH = 2
# (name, changes a second; 0: as fast as it can)
CHURNS = (('churn_100', 100), ('churn_unthrottled', 0))

_libc = ctypes.CDLL(None, use_errno=True)


def Mount(target, source='bench'):
  if _libc.mount(source, target, 'tmpfs', 0, 'size=64k') != 0:
    error = ctypes.get_errno()
    raise OSError(error, 'mount %s: %s' % (target, os.strerror(error)))


def Churn(target, rate):
  """The churning process: mounts and unmounts `target` until SIGTERM, `rate`
  changes a second (a mount and an unmount are two; 0: as fast as it can),
  then prints the rate it made."""
  stopping = []
  signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
  changes = 0
  start = timing.WallTime()
  while not stopping:
    Mount(target, 'churn')
    _libc.umount2(target, MNT_DETACH)
    changes += 2
    if rate:
      delay = start + changes / float(rate) - timing.WallTime()
      if delay > 0:
        timing.Sleep(delay)
  sys.stdout.write('%f\n' % (changes / (timing.WallTime() - start)))


class Churner(object):
  """A process of its own changing the mount table while it lives: started
  afresh rather than forked, so that this process's memory is not shared
  with it copy-on-write, which would slow this one down instead."""

  def __init__(self, target, rate):
    self.process = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), '--churn', target,
         '--rate', str(rate)], stdout=subprocess.PIPE)

  def Stop(self):
    """Ends the process; the changes a second it made."""
    self.process.terminate()
    rate = float(self.process.stdout.read() or 0)
    self.process.wait()
    return rate


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
  parser.add_argument('--rate', type=float, help=argparse.SUPPRESS)
  args = parser.parse_args()
  if args.churn:
    Churn(args.churn, args.rate)
    return

  directory = tempfile.mkdtemp(prefix='volumes-bench-churn-')
  mounted = []
  try:
    for number in range(args.mounts):
      target = os.path.join(directory, str(number))
      os.mkdir(target)
      Mount(target)
      mounted.append(target)
    churn_target = os.path.join(directory, 'churn')
    os.mkdir(churn_target)
    from windows import volumes  # pylint: disable=g-import-not-at-top
    service = volumes.VolumeInfo.__wrapped__()
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
          seconds['still'].append(TimeRefresh(refresh))
          continue
        name, rate = case
        churner = Churner(churn_target, rate)
        timing.Sleep(0.2)  # under way before the refresh starts
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
    sys.stdout.write(json.dumps(result) + '\n')
  finally:
    for target in reversed(mounted):
      _libc.umount2(target, MNT_DETACH)
    shutil.rmtree(directory, ignore_errors=True)


if __name__ == '__main__':
  main()
