"""Benchmarks of windows.volumes against the same logic in plain Python 2.7,
that Python compiled with Cython, the floor of the interpreter, and psutil.

  bench/run.sh [--out FILE] [--rounds N] [--refresh-rounds N] [--quick]
               [--no-real] [--tree DIR] [--baseline DIR]
  bench/run.sh --check [FILE]

bench/run.sh builds the module and the benchmark's helpers first, then runs
this file with the module's Python 2.7 and draws the plot.  It prints a
table, writes every figure to FILE (bench/results.json), and ends with each
target of the table below as met or missed.  --check prints that verdict
for a FILE written before, without measuring, and exits 1 when a target
is missed.

Every ratio comes from this one run: the per-call costs are timed in the
same interleaved rounds, the refreshes of every size in the same rounds, and
the real machine's too (one mount namespace per count, each with its own
psutil process, the module and psutil alternating within each).  The
refresh of 10,000 mounts while another process changes the mount table is
timed by the wall clock in a namespace of its own (churn_refresh.py), the
still refresh in the same rounds.
"""

import argparse
import imp
import json
import operator
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
BUILD = os.path.join(ROOT, 'build')
sys.path.insert(0, BENCH)

import timing  # pylint: disable=g-import-not-at-top

SIMULATED_SIZES = (10, 100, 1000, 10000)
# The key suffix of the bare form of a statement: the callable in a local
# variable, so that the figure is the call alone.
BARE = '@bare'

# (row, key of the module's figure, [(what, key compared, kind, bound)]):
# kind 'faster' is compared / module >= bound, 'floor' module / compared
# <= bound.
TARGETS = [
    ('_VolumeIDFromSerialNumber', 'volume_id.native', [
        ('vs plain Python', 'volume_id.python', 'faster', 10),
        ('vs Cython', 'volume_id.cython', 'faster', 7),
        ('vs a no-op METH_O call', 'floor.noop', 'floor', 1.2)]),
    ('FindVolumeID', 'find_volume_id.native', [
        ('vs plain Python', 'find_volume_id.python', 'faster', 9),
        ('vs Cython', 'find_volume_id.cython', 'faster', 5),
        ('vs a no-op METH_O call', 'floor.noop', 'floor', 2)]),
    ('VolumeInfo.FindVolumeID', 'find_volume_id_method.native', [
        ('vs plain Python', 'find_volume_id_method.python', 'faster', 9),
        ('vs Cython', 'find_volume_id_method.cython', 'faster', 5)]),
    ('IsFAT hit, by position', 'is_fat.native', [
        ('vs plain Python', 'is_fat.python', 'faster', 7),
        ('vs Cython', 'is_fat.cython', 'faster', 4),
        ('vs dict.get(k, d)', 'floor.dict_get_default', 'floor', 1.2)]),
    ('IsFAT hit, by keyword', 'is_fat_keyword.native', [
        ('vs plain Python', 'is_fat_keyword.python', 'faster', 3)]),
    ('GetVolumeEntryForVolumeID hit', 'entry_hit.native', [
        ('vs plain Python', 'entry_hit.python', 'faster', 1.8),
        ('vs Cython', 'entry_hit.cython', 'faster', 1.4),
        ('vs a bound dict.get', 'floor.dict_get', 'floor', 2.5)]),
    ('GetVolumeEntryForVolumeID miss', 'entry_miss.native', [
        ('vs plain Python', 'entry_miss.python', 'faster', 1.8),
        ('vs Cython', 'entry_miss.cython', 'faster', 1.4),
        ('vs a bound dict.get', 'floor.dict_get_miss', 'floor', 2.5)]),
    ('AllVolumeEntries(), 10 entries', 'all_entries_10.native', [
        ('vs plain Python', 'all_entries_10.python', 'faster', 1.2),
        ('vs dict.copy', 'floor.dict_copy_10', 'floor', 1.7)]),
    ('AllVolumeEntries(), 1,000 entries', 'all_entries_1000.native', [
        ('vs dict.copy', 'floor.dict_copy_1000', 'floor', 1.1)]),
]


# ---------------------------------------------------------------------------
# Simulated machines

def GuidPath(number):
  return u'\\\\?\\Volume{%08x-0000-4000-8000-%012x}\\' % (number, number)


def WriteMachine(directory, count):
  """A machine of `count` volumes, each with a drive-letter-like mount point
  and a folder mount point; the first lists handle 2048."""
  volumes = []
  for number in range(count):
    volumes.append({
        'name': GuidPath(number),
        'paths': [u'V%d:\\' % number, u'C:\\Volumes\\%d\\' % number],
        'label': u'Volume %d' % number,
        'serial': 1000000 + number,
        'filesystem': u'FAT32' if number % 2 else u'NTFS',
        'total_bytes': (number + 1) << 30,
        'handles': [2048] if number == 0 else [],
    })
  path = os.path.join(directory, 'machine-%d.json' % count)
  with open(path, 'w') as machine_file:
    json.dump({'volumes': volumes}, machine_file)
  return path


class Handle(object):
  handle = 2048
  filesystem = 'NTFS'  # what the plain Python's IsFAT reads on a miss


# ---------------------------------------------------------------------------
# Per-call costs

def LoadImplementations():
  from windows import volumes  # pylint: disable=g-import-not-at-top
  python = imp.load_source('host_equivalent_py',
                           os.path.join(BENCH, 'host_equivalent.py'))
  cython = imp.load_dynamic(
      'host_equivalent', os.path.join(BUILD, 'bench', 'host_equivalent.so'))
  floor = imp.load_dynamic('floor', os.path.join(BUILD, 'bench', 'floor.so'))
  if type(cython.IsFAT).__name__ == 'function':
    raise SystemExit('build/bench/host_equivalent.so is not compiled code')
  return volumes, python, cython, floor


def CallCases(volumes, python, cython, floor, machines):
  """The statements timed, keyed 'operation.implementation'."""
  volume_info_class = volumes.VolumeInfo.__wrapped__
  services = {}
  for count in (10, 1000):
    os.environ['VOLUMES_SIMULATION'] = machines[count]
    service = volume_info_class()
    if len(service.AllVolumeEntries(True)) != count:
      raise SystemExit('the simulated machine of %d volumes lists %d' %
                       (count, len(service.AllVolumeEntries())))
    services[count] = service
  os.environ['VOLUMES_SIMULATION'] = machines[10]

  serial = 1000000  # the first volume's, an int as st_dev is
  handle = Handle()
  stat_result = os.stat(__file__)
  volume_id = volumes._VolumeIDFromSerialNumber(serial)
  missing_id = volumes._VolumeIDFromSerialNumber(1)
  for module in (volumes, python, cython):
    module.IsFAT(serial, handle)  # the hit that every IsFAT case times
  entries = dict((count, services[count].AllVolumeEntries())
                 for count in (10, 1000))

  cases = []

  def Add(operation, statement, global_values, values, bare_statement=None,
          **bare_values):
    """`statement` as a host writes it: the callable reached through the
    module globals `global_values`, the arguments local variables
    (`values`).  Its bare form reads local variables only, so that its
    figure is the call alone: `bare_statement` with `bare_values`, or, when
    none is given, the same statement with the globals made locals."""
    cases.append(timing.Case(operation, statement, global_values, **values))
    local_values = dict(values)
    if bare_statement is None:
      bare_statement = statement
      local_values.update(global_values)
    else:
      local_values.update(bare_values)
    cases.append(timing.Case(operation + BARE, bare_statement, **local_values))

  implementations = (('native', volumes, services),
                     ('python', python, None), ('cython', cython, None))
  for name, module, native_services in implementations:
    if native_services is None:
      own = dict((count, module.VolumeInfo(dict(entries[count])))
                 for count in (10, 1000))
    else:
      own = native_services
    host = {'volumes': module}
    Add('volume_id.' + name, 'volumes._VolumeIDFromSerialNumber(s)', host,
        {'s': serial}, 'f(s)', f=module._VolumeIDFromSerialNumber)
    Add('find_volume_id.' + name, 'volumes.FindVolumeID(st)', host,
        {'st': stat_result}, 'f(st)', f=module.FindVolumeID)
    Add('is_fat.' + name, 'volumes.IsFAT(s, h)', host,
        {'s': serial, 'h': handle}, 'f(s, h)', f=module.IsFAT)
    Add('is_fat_keyword.' + name, 'volumes.IsFAT(serial_number=s, handle=h)',
        host, {'s': serial, 'h': handle}, 'f(serial_number=s, handle=h)',
        f=module.IsFAT)
    for key, statement, service, value in [
        ('find_volume_id_method', 'service.FindVolumeID(v)', own[10],
         stat_result),
        ('entry_hit', 'service.GetVolumeEntryForVolumeID(v)', own[10],
         volume_id),
        ('entry_miss', 'service.GetVolumeEntryForVolumeID(v)', own[10],
         missing_id)]:
      Add('%s.%s' % (key, name), statement, {'service': service}, {'v': value})
    for count in (10, 1000):
      Add('all_entries_%d.%s' % (count, name), 'service.AllVolumeEntries()',
          {'service': own[count]}, {})

  table_10 = dict(entries[10])
  cache = {volume_id: True}
  Add('floor.noop', 'floor.noop(x)', {'floor': floor}, {'x': stat_result},
      'f(x)', f=floor.noop)
  Add('floor.attrgetter', 'st_dev_of(st)',
      {'st_dev_of': operator.attrgetter('st_dev')}, {'st': stat_result})
  Add('floor.dict_get', 'table_get(v)', {'table_get': table_10.get},
      {'v': volume_id})
  Add('floor.dict_get_miss', 'table_get(v)', {'table_get': table_10.get},
      {'v': missing_id})
  Add('floor.dict_get_default', 'cache.get(v, d)', {'cache': cache},
      {'v': volume_id, 'd': None}, 'f(v, d)', f=cache.get)
  for count in (10, 1000):
    Add('floor.dict_copy_%d' % count, 'table.copy()',
        {'table': dict(entries[count])}, {})
  return cases


# ---------------------------------------------------------------------------
# Refreshes

def CountJournal(service, machine, directory):
  """The platform calls of one refresh, by call, from the journal."""
  journal = os.path.join(directory, 'journal')
  os.environ['VOLUMES_SIMULATION'] = machine
  os.environ['VOLUMES_SIMULATION_JOURNAL'] = journal
  try:
    service.AllVolumeEntries(True)
  finally:
    del os.environ['VOLUMES_SIMULATION_JOURNAL']
  counts = {}
  with open(journal) as lines:
    for line in lines:
      call = line.split('\t', 1)[0].strip()
      counts[call] = counts.get(call, 0) + 1
  os.remove(journal)
  return counts


def TimeSimulatedRefreshes(volumes, machines, directory, rounds, chooser):
  volume_info_class = volumes.VolumeInfo.__wrapped__
  services = {}
  repeats = {}
  for count in SIMULATED_SIZES:
    os.environ['VOLUMES_SIMULATION'] = machines[count]
    services[count] = volume_info_class()
    start = timing.CpuTime()
    services[count].AllVolumeEntries(True)
    elapsed = timing.CpuTime() - start
    repeats[count] = max(1, int(0.05 / max(elapsed, 1e-6)))
  per_volume = dict((count, []) for count in SIMULATED_SIZES)
  for round_number in range(rounds):
    order = list(SIMULATED_SIZES)
    chooser.shuffle(order)
    for count in order:
      os.environ['VOLUMES_SIMULATION'] = machines[count]
      service = services[count]
      service.AllVolumeEntries(True)  # the file's parse, kept for the rest
      start = timing.CpuTime()
      for _ in xrange(repeats[count]):
        service.AllVolumeEntries(True)
      elapsed = timing.CpuTime() - start
      per_volume[count].append(elapsed / repeats[count] / count * 1e6)
    Progress('simulated refreshes', round_number + 1, rounds)
  results = []
  for count in SIMULATED_SIZES:
    calls = CountJournal(services[count], machines[count], directory)
    summary = timing.Summary(per_volume[count])
    results.append({
        'volumes': count,
        'per_volume_us': summary,
        'refresh_s': summary['median'] * count * 1e-6,
        'refreshes_per_sample': repeats[count],
        'platform_calls': calls,
        'platform_calls_per_volume': sum(calls.values()) / float(count),
    })
  return results


REAL_MOUNTS = (100, 1000, 3000)
# The most the module's refresh may cost per volume, in psutil's per mount.
REAL_BOUNDS = {1000: 1.0, 3000: 1.0}


class RealMachine(object):
  """real_refresh.py in a private mount namespace with `mounts` tmpfs."""

  def __init__(self, namespace, tree, mounts):
    environment = dict(os.environ)
    environment.pop('VOLUMES_SIMULATION', None)
    environment.pop('VOLUMES_SIMULATION_JOURNAL', None)
    environment['PYTHONPATH'] = os.pathsep.join([tree, BENCH])
    self.mounts = mounts
    self.process = subprocess.Popen(
        namespace + [sys.executable, os.path.join(BENCH, 'real_refresh.py'),
                     '--mounts', str(mounts)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment)
    self.volumes = self.Read()['volumes']

  def Read(self):
    line = self.process.stdout.readline()
    if not line:
      raise SystemExit('the real machine of %d mounts failed (exit %s)' %
                       (self.mounts, self.process.wait()))
    return json.loads(line)

  def Ask(self, command):
    self.process.stdin.write(command + '\n')
    self.process.stdin.flush()
    return self.Read()

  def Close(self):
    self.process.stdin.close()
    self.process.wait()


def TimeRealRefreshes(tree, rounds, quick, chooser):
  """This Linux machine with 100, 1,000 and 3,000 tmpfs mounts, one private
  mount namespace per count, all asked in the same interleaved rounds."""
  if not sys.platform.startswith('linux'):
    return {'available': False, 'reason': 'not Linux'}
  if os.geteuid() != 0:
    return {'available': False, 'reason': 'mounting needs root'}
  namespace = ['unshare', '--mount', '--propagation', 'private']
  with open(os.devnull, 'w') as quiet:
    try:
      allowed = subprocess.call(namespace + ['true'], stderr=quiet) == 0
    except OSError:
      allowed = False
  if not allowed:
    return {'available': False,
            'reason': 'no private mount namespace here (unshare --mount)'}
  counts = REAL_MOUNTS[:2] if quick else REAL_MOUNTS
  machines = []
  try:
    for count in counts:
      machines.append(RealMachine(namespace, tree, count))
    module_figures = dict((count, []) for count in counts)
    psutil_figures = dict((count, []) for count in counts)
    ratios = dict((count, []) for count in counts)
    last_psutil = {}
    for round_number in range(rounds):
      order = list(machines)
      chooser.shuffle(order)
      for machine in order:
        # Which goes first alternates, so that neither always follows the
        # other's effect on the caches.
        commands = ['module', 'psutil'][::1 if round_number % 2 else -1]
        answers = dict((command, machine.Ask(command)) for command in commands)
        module_figure = answers['module']['per_volume_us']
        psutil_figure = answers['psutil']['per_mount_us']
        module_figures[machine.mounts].append(module_figure)
        psutil_figures[machine.mounts].append(psutil_figure)
        ratios[machine.mounts].append(module_figure / psutil_figure)
        last_psutil[machine.mounts] = answers['psutil']
      Progress('real refreshes', round_number + 1, rounds)
  finally:
    for machine in machines:
      machine.Close()
  rows = []
  for machine in machines:
    count, psutil = machine.mounts, last_psutil[machine.mounts]
    rows.append({
        'mounts': count,
        'volumes': machine.volumes,
        'module_per_volume_us': timing.Summary(module_figures[count]),
        'module_refresh_s': timing.Summary(
            [f * machine.volumes * 1e-6 for f in module_figures[count]]),
        'psutil_per_mount_us': timing.Summary(psutil_figures[count]),
        'psutil_partitions': psutil['partitions'],
        'psutil_mounts': psutil['mounts'],
        'psutil_version': psutil['psutil'],
        'module_vs_psutil': timing.Summary(ratios[count]),
    })
  return {'available': True, 'rows': rows,
          'namespace': ' '.join(namespace) + ', one per count'}


CHURN_MOUNTS = 10000
CHURN_CASES = (('churn_100', '100 changes/s'),
               ('churn_unthrottled', 'changes as fast as they come'))


def TimeChurnRefreshes(tree, rounds, quick):
  """This Linux machine with 10,000 tmpfs mounts in a private mount
  namespace: the refresh with the mount table still and while another
  process changes it (churn_refresh.py)."""
  if not sys.platform.startswith('linux'):
    return {'available': False, 'reason': 'not Linux'}
  if os.geteuid() != 0:
    return {'available': False, 'reason': 'mounting needs root'}
  namespace = ['unshare', '--mount', '--propagation', 'private']
  environment = dict(os.environ)
  environment.pop('VOLUMES_SIMULATION', None)
  environment.pop('VOLUMES_SIMULATION_JOURNAL', None)
  environment['PYTHONPATH'] = os.pathsep.join([tree, BENCH])
  mounts = 2000 if quick else CHURN_MOUNTS
  sys.stderr.write('refresh under churn: %d mounts, %d rounds\n' %
                   (mounts, rounds))
  try:
    output = subprocess.check_output(
        namespace + [sys.executable, os.path.join(BENCH, 'churn_refresh.py'),
                     '--mounts', str(mounts), '--rounds', str(rounds)],
        env=environment)
  except (OSError, subprocess.CalledProcessError) as error:
    return {'available': False, 'reason': 'churn_refresh.py: %s' % error}
  result = json.loads(output)
  result['available'] = True
  result['namespace'] = ' '.join(namespace)
  return result


STILL_CASES = (('simulated', 'simulated machine'), ('real', 'tmpfs mounts, still'))
# How much slower than the baseline the still refreshes may be: what one
# run's noise makes of two equal trees.
BASELINE_SLACK = 1.05


def TimeAgainstBaseline(tree, baseline, machine_file, rounds, quick):
  """The still refreshes of `tree` and of `baseline`, in the same
  interleaved rounds: the simulated machine of machine_file and this
  machine with CHURN_MOUNTS still tmpfs mounts, one namespace per tree
  (still_refresh.py)."""
  if not sys.platform.startswith('linux') or os.geteuid() != 0:
    return {'available': False, 'reason': 'needs root on Linux'}
  mounts = 2000 if quick else CHURN_MOUNTS
  workers = {}
  try:
    for name, path in (('tree', tree), ('baseline', baseline)):
      environment = dict(os.environ)
      environment.pop('VOLUMES_SIMULATION_JOURNAL', None)
      environment['PYTHONPATH'] = os.pathsep.join([path, BENCH])
      process = subprocess.Popen(
          ['unshare', '--mount', '--propagation', 'private', sys.executable,
           os.path.join(BENCH, 'still_refresh.py'), '--machine', machine_file,
           '--mounts', str(mounts)],
          stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment)
      workers[name] = process
      if not process.stdout.readline():
        return {'available': False, 'reason': 'still_refresh.py failed for %s' % path}

    def Ask(name, command):
      workers[name].stdin.write(command + '\n')
      workers[name].stdin.flush()
      return json.loads(workers[name].stdout.readline())['per_volume_us']
    figures = dict(((kind, name), []) for kind, _ in STILL_CASES
                   for name in workers)
    for round_number in range(rounds):
      for kind, _ in STILL_CASES:
        for name in ['tree', 'baseline'][::1 if round_number % 2 else -1]:
          figures[(kind, name)].append(Ask(name, kind))
      Progress('still refreshes against the baseline', round_number + 1, rounds)
  finally:
    for process in workers.values():
      process.stdin.close()
      process.wait()
  result = {'available': True, 'baseline': baseline, 'mounts': mounts}
  for kind, _ in STILL_CASES:
    tree_figures, baseline_figures = figures[(kind, 'tree')], figures[(kind, 'baseline')]
    result[kind] = {
        'tree_per_volume_us': timing.Summary(tree_figures),
        'baseline_per_volume_us': timing.Summary(baseline_figures),
        'vs_baseline': timing.Summary(
            [a / b for a, b in zip(tree_figures, baseline_figures)]),
    }
  return result


# ---------------------------------------------------------------------------
# Verdicts and the table

def Ratio(figures, numerator, denominator):
  """Median and spread of the per-round ratio numerator / denominator."""
  ratios = [a / b for a, b in zip(figures[numerator], figures[denominator])
            if b > 0]
  return timing.Summary(ratios) if ratios else None


def RatioKey(module_key, other_key, kind, form=''):
  """'slower/faster' for a speed-up, 'module/floor' for a floor."""
  if kind == 'faster':
    return '%s%s/%s%s' % (other_key, form, module_key, form)
  return '%s%s/%s%s' % (module_key, form, other_key, form)


def AllRatios(figures):
  ratios = {}
  for _, module_key, comparisons in TARGETS:
    for _, other_key, kind, _ in comparisons:
      for form in ('', BARE):
        numerator, denominator = RatioKey(module_key, other_key, kind,
                                          form).split('/')
        ratios[numerator + '/' + denominator] = Ratio(figures, numerator,
                                                      denominator)
  return ratios


def Verdicts(results):
  """[(row, target, figure text, met)] for every target of the table: met
  or missed on the statements as a host writes them, the bare calls'
  figure beside."""
  verdicts = []
  ratios = results['ratios']
  for row, module_key, comparisons in TARGETS:
    for what, other_key, kind, bound in comparisons:
      ratio = ratios.get(RatioKey(module_key, other_key, kind))
      if ratio is None:
        verdicts.append((row, what, 'not measured', False))
        continue
      value = ratio['median']
      bare = ratios.get(RatioKey(module_key, other_key, kind, BARE))
      bare_text = ' (bare call %.2fx)' % bare['median'] if bare else ''
      if kind == 'faster':
        verdicts.append((row, '%s >= %gx' % (what, bound),
                         '%.2fx faster%s' % (value, bare_text),
                         value >= bound))
      else:
        verdicts.append((row, '%s <= %gx' % (what, bound),
                         '%.2fx its cost%s' % (value, bare_text),
                         value <= bound))

  def Flatness(row, sizes):
    medians = [size['median'] for size in sizes]
    middle = timing.Percentile(medians, 0.5)
    worst = max(abs(m / middle - 1) for m in medians)
    verdicts.append((row, 'per volume within +-25% of the sizes\' median',
                     ' / '.join('%.1f' % m for m in medians) +
                     ' us (worst %+.0f%%)' % (100 * worst), worst <= 0.25))

  simulated = results.get('refresh_simulated')
  if simulated:
    Flatness('refresh, simulated', [r['per_volume_us'] for r in simulated])
    largest = simulated[-1]
    verdicts.append(('refresh, simulated',
                     '%d volumes in <= 0.35 s' % largest['volumes'],
                     '%.3f s' % largest['refresh_s'],
                     largest['refresh_s'] <= 0.35))
  real = results.get('refresh_real', {})
  if real.get('available'):
    Flatness('refresh, real Linux',
             [r['module_per_volume_us'] for r in real['rows']])
    for row in real['rows']:
      ratio = row['module_vs_psutil']['median']
      bound = REAL_BOUNDS.get(row['mounts'], 2)
      verdicts.append(('refresh, real Linux',
                       '%d mounts: <= %gx psutil per mount' % (row['mounts'], bound),
                       '%.2fx' % ratio, ratio <= bound))
  else:
    verdicts.append(('refresh, real Linux', 'measured',
                     real.get('reason', 'not run'), False))
  churn = results.get('refresh_churn', {})
  if churn.get('available'):
    for key, label in CHURN_CASES:
      ratio = churn[key]['vs_still']
      verdicts.append(('refresh under churn, real Linux',
                       '%d mounts, %s: every refresh <= 2x still' %
                       (churn['mounts'], label),
                       'at most %.2fx its round\'s still (median %.2fx)%s' %
                       (ratio['max'], ratio['median'],
                        ', %d cut' % churn[key]['cut']
                        if churn[key]['cut'] else ''),
                       ratio['max'] <= 2 and not churn[key]['cut']))
  else:
    verdicts.append(('refresh under churn, real Linux', 'measured',
                     churn.get('reason', 'not run'), False))
  still = results.get('refresh_against_baseline')
  if still and still.get('available'):
    for kind, label in STILL_CASES:
      ratio = still[kind]['vs_baseline']['median']
      verdicts.append(('still refresh vs the baseline',
                       '%s: <= %gx the baseline' % (label, BASELINE_SLACK),
                       '%.2fx' % ratio, ratio <= BASELINE_SLACK))
  elif still:
    verdicts.append(('still refresh vs the baseline', 'measured',
                     still.get('reason'), False))
  return verdicts


def PrintVerdicts(results):
  print
  load = results['machine'].get('load_average', {})
  print 'Targets (%s, module %s, load average %.1f before, %.1f after)' % (
      results['when'], results['commit'], load.get('before', -1),
      load.get('after', -1))
  met = 0
  verdicts = Verdicts(results)
  for row, target, figure, ok in verdicts:
    met += ok
    print '  %-6s %-34s %-44s %s' % ('met' if ok else 'MISSED', row, target,
                                     figure)
  print '  %d of %d met' % (met, len(verdicts))
  return met == len(verdicts)


def PrintTable(results):
  calls = results['calls']
  print
  print ('%-34s %9s %9s %9s | %9s %9s %9s' %
         ('ns per call, median', 'module', 'Cython', 'Python', 'module',
          'Cython', 'Python'))
  print '%-34s %-29s | %s' % ('', '  as a host writes it', '  bare call')
  labels = [
      ('volume_id', '_VolumeIDFromSerialNumber(n)'),
      ('find_volume_id', 'FindVolumeID(st)'),
      ('find_volume_id_method', 'VolumeInfo.FindVolumeID(st)'),
      ('is_fat', 'IsFAT(n, h), hit'),
      ('is_fat_keyword', 'IsFAT(serial_number=, handle=)'),
      ('entry_hit', 'GetVolumeEntryForVolumeID hit'),
      ('entry_miss', 'GetVolumeEntryForVolumeID miss'),
      ('all_entries_10', 'AllVolumeEntries(), 10'),
      ('all_entries_1000', 'AllVolumeEntries(), 1,000'),
  ]

  def Figure(key):
    return calls[key]['median'] if key in calls else float('nan')

  for key, label in labels:
    print '%-34s %9.1f %9.1f %9.1f | %9.1f %9.1f %9.1f' % ((label,) + tuple(
        Figure('%s.%s%s' % (key, kind, form)) for form in ('', BARE)
        for kind in ('native', 'cython', 'python')))
  print
  for key, label in [('floor.noop', 'no-op METH_O f(x)'),
                     ('floor.attrgetter', "attrgetter('st_dev')(st)"),
                     ('floor.dict_get', 'bound dict.get(k), hit'),
                     ('floor.dict_get_miss', 'bound dict.get(k), miss'),
                     ('floor.dict_get_default', 'dict.get(k, d)'),
                     ('floor.dict_copy_10', 'd.copy(), 10 entries'),
                     ('floor.dict_copy_1000', 'd.copy(), 1,000 entries')]:
    print '%-34s %9.1f %19s | %9.1f %19s' % (label, Figure(key), 'floor',
                                            Figure(key + BARE), 'floor')
  print '%-34s %9.1f   ns per iteration, subtracted; %d rounds' % (
      'empty loop', results['empty_loop_ns']['median'],
      results['empty_loop_ns']['rounds'])

  print
  print '%-34s %12s %12s %12s' % ('refresh, simulated machine',
                                  'us/volume', 'refresh s', 'calls/volume')
  for row in results.get('refresh_simulated', []):
    print '%-34s %12.2f %12.4f %12.1f' % (
        '%d volumes' % row['volumes'], row['per_volume_us']['median'],
        row['refresh_s'], row['platform_calls_per_volume'])
  real = results.get('refresh_real', {})
  print
  if real.get('available'):
    print '%-34s %12s %12s %12s' % ('refresh, this machine (tmpfs)',
                                    'us/volume', 'psutil us', 'ratio')
    for row in real['rows']:
      print '%-34s %12.2f %12.2f %12.2f' % (
          '%d mounts (%d volumes)' % (row['mounts'], row['volumes']),
          row['module_per_volume_us']['median'],
          row['psutil_per_mount_us']['median'],
          row['module_vs_psutil']['median'])
  else:
    print 'refresh, this machine: not measured (%s)' % real.get('reason')
  churn = results.get('refresh_churn', {})
  print
  if churn.get('available'):
    print '%-34s %10s %10s %10s %10s' % (
        'refresh, %d tmpfs mounts' % churn['mounts'], 'median s', 'max s',
        'vs still', 'changes/s')
    for key, label in (('still', 'mount table still'),) + CHURN_CASES:
      row = churn[key]
      print '%-34s %10.3f %10.3f %10s %10s' % (
          label, row['refresh_s']['median'], row['refresh_s']['max'],
          '%.2fx' % row['vs_still']['median'] if 'vs_still' in row else '',
          '%.0f' % row['changes_per_s']['median']
          if 'changes_per_s' in row else '')
  else:
    print 'refresh under churn: not measured (%s)' % churn.get('reason')
  still = results.get('refresh_against_baseline')
  if still and still.get('available'):
    print
    print '%-34s %9s %9s %9s' % ('still refresh, us/volume', 'tree',
                                 'baseline', 'ratio')
    for kind, label in STILL_CASES:
      row = still[kind]
      print '%-34s %9.2f %9.2f %9.2f' % (
          label if kind == 'simulated' else '%d %s' % (still['mounts'], label),
          row['tree_per_volume_us']['median'],
          row['baseline_per_volume_us']['median'], row['vs_baseline']['median'])


def Progress(what, done, total):
  sys.stderr.write('\r%s: round %d of %d ' % (what, done, total))
  if done == total:
    sys.stderr.write('\n')
  sys.stderr.flush()


def Commit():
  try:
    return subprocess.check_output(
        ['git', '-C', ROOT, 'describe', '--always', '--dirty']).strip()
  except (OSError, subprocess.CalledProcessError):
    return 'unknown'


def main():
  parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
  parser.add_argument('--out', default=os.path.join(BENCH, 'results.json'))
  parser.add_argument('--rounds', type=int, default=101,
                      help='rounds of the per-call costs')
  parser.add_argument('--refresh-rounds', type=int, default=15)
  parser.add_argument('--tree', default=os.path.join(BUILD, 'python'),
                      help='the importable tree of the module to measure '
                           '(default build/python)')
  parser.add_argument('--quick', action='store_true',
                      help='few rounds, to try the benchmark out')
  parser.add_argument('--no-real', action='store_true',
                      help='leave out the real machine\'s refreshes')
  parser.add_argument('--baseline', metavar='DIR',
                      help='another build\'s importable tree, whose still '
                      'refreshes (simulated, and of this machine\'s tmpfs '
                      'mounts) are timed in the same rounds as the tree\'s')
  parser.add_argument('--check', nargs='?', const='', metavar='FILE',
                      help='print the verdicts of FILE (default --out)')
  args = parser.parse_args()
  if args.check is not None:
    with open(args.check or args.out) as result_file:
      results = json.load(result_file)
    PrintTable(results)
    sys.exit(0 if PrintVerdicts(results) else 1)
  if args.quick:
    args.rounds, args.refresh_rounds = 7, 3
  sys.path.insert(0, os.path.abspath(args.tree))

  import random  # pylint: disable=g-import-not-at-top
  chooser = random.Random(12)
  load_before = os.getloadavg()
  directory = tempfile.mkdtemp(prefix='volumes-bench-')
  try:
    machines = dict((count, WriteMachine(directory, count))
                    for count in SIMULATED_SIZES)
    volumes, python, cython, floor = LoadImplementations()
    cases = CallCases(volumes, python, cython, floor, machines)
    figures, empty = timing.TimeCases(
        cases, args.rounds, progress=lambda d, t: Progress('per-call costs', d, t))
    results = {
        'when': time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime()),
        'commit': Commit(),
        'module_tree': os.path.abspath(args.tree),
        'machine': {'cpus': os.sysconf('SC_NPROCESSORS_ONLN'),
                    'python': sys.version.split()[0],
                    'platform': platform.platform()},
        'method': {'repeat_per_iteration': timing.REPEAT,
                   'clock': 'CLOCK_PROCESS_CPUTIME_ID',
                   'rounds': args.rounds},
        'calls': dict((key, timing.Summary(values))
                      for key, values in figures.items()),
        'empty_loop_ns': timing.Summary(empty),
    }
    ratios = AllRatios(figures)
    results['ratios'] = ratios
    results['refresh_simulated'] = TimeSimulatedRefreshes(
        volumes, machines, directory, args.refresh_rounds, chooser)
    if args.baseline:
      results['refresh_against_baseline'] = TimeAgainstBaseline(
          os.path.abspath(args.tree), os.path.abspath(args.baseline),
          machines[SIMULATED_SIZES[-1]], args.refresh_rounds, args.quick)
  finally:
    shutil.rmtree(directory, ignore_errors=True)
  if args.no_real:
    results['refresh_real'] = {'available': False, 'reason': 'left out'}
    results['refresh_churn'] = {'available': False, 'reason': 'left out'}
  else:
    results['refresh_real'] = TimeRealRefreshes(
        os.path.abspath(args.tree), args.refresh_rounds, args.quick, chooser)
    results['refresh_churn'] = TimeChurnRefreshes(
        os.path.abspath(args.tree), args.refresh_rounds, args.quick)
  # CPU time leaves out the time others ran, not their effect on the caches
  # and the clock rate: a busy machine shows in every figure of a run alike.
  results['machine']['load_average'] = {'before': load_before[0],
                                        'after': os.getloadavg()[0]}
  results['verdicts'] = [
      {'row': row, 'target': target, 'figure': figure, 'met': bool(ok)}
      for row, target, figure, ok in Verdicts(results)]
  with open(args.out, 'w') as result_file:
    json.dump(results, result_file, indent=1, sort_keys=True)
  PrintTable(results)
  PrintVerdicts(results)
  print
  print 'Figures written to %s' % args.out


if __name__ == '__main__':
  main()
