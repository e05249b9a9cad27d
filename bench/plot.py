"""Draws the benchmark's figures (run.py's JSON) as one PNG (Python 3).

  python3 bench/plot.py bench/results.json bench/results.png

Left: refresh time per volume against the number of volumes, simulated and
real, with psutil's per mount.  Middle: the per-call cost of the module, the
same Python compiled with Cython, that Python interpreted, and the floor.
Right: a refresh of 10,000 mounts with the mount table still and while
another process changes it.
"""

import json
import sys

import matplotlib

matplotlib.use('Agg')
import matplotlib.pyplot as plt  # noqa: E402

OPERATIONS = [
    ('volume_id', '_VolumeIDFromSerialNumber\nfloor: no-op METH_O',
     'floor.noop'),
    ('find_volume_id', 'FindVolumeID\nfloor: no-op METH_O', 'floor.noop'),
    ('find_volume_id_method', 'VolumeInfo.FindVolumeID', None),
    ('is_fat', 'IsFAT hit, by position\nfloor: bound dict.get(k, d)',
     'floor.dict_get_default'),
    ('is_fat_keyword', 'IsFAT hit, by keyword', None),
    ('entry_hit', 'GetVolumeEntryForVolumeID hit\nfloor: bound dict.get(k)',
     'floor.dict_get'),
    ('entry_miss', 'GetVolumeEntryForVolumeID miss\nfloor: bound dict.get(k)',
     'floor.dict_get_miss'),
    ('all_entries_10', 'AllVolumeEntries(), 10\nfloor: d.copy()',
     'floor.dict_copy_10'),
    ('all_entries_1000', 'AllVolumeEntries(), 1,000\nfloor: d.copy()',
     'floor.dict_copy_1000'),
]
SERIES = [('native', 'module (C++)', '#1f77b4'),
          ('cython', 'Cython 0.29', '#ff7f0e'),
          ('python', 'plain Python 2.7', '#d62728'),
          ('floor', 'floor', '#7f7f7f')]


def Errors(summaries):
  return [[s['median'] - s['q1'] for s in summaries],
          [s['q3'] - s['median'] for s in summaries]]


def PlotChurn(axes, churn):
  axes.set_title('Refresh while mounts change')
  if not churn.get('available'):
    axes.text(0.5, 0.5, 'not measured:\n%s' % churn.get('reason'),
              ha='center', va='center', transform=axes.transAxes)
    axes.set_axis_off()
    return
  cases = [('still', 'still'), ('churn_100', '100\nchanges/s'),
           ('churn_unthrottled', 'as fast as\nthey come')]
  rows = [churn[key]['refresh_s'] for key, _ in cases]
  places = range(len(cases))
  axes.bar(places, [r['median'] for r in rows], color='#1f77b4',
           label='median')
  axes.scatter(places, [r['max'] for r in rows], color='#d62728', zorder=3,
               label='slowest')
  axes.axhline(2 * rows[0]['median'], color='#7f7f7f', linestyle='--',
               label='2x the still median (the target is per round)')
  axes.set_xticks(list(places))
  axes.set_xticklabels([label for _, label in cases])
  axes.set_ylim(bottom=0)
  axes.set_ylabel('wall-clock seconds per refresh, %d mounts' %
                  churn['mounts'])
  axes.grid(True, axis='y', alpha=0.3)
  axes.legend(loc='upper left', fontsize=9)


def main():
  source, target = sys.argv[1], sys.argv[2]
  with open(source) as results_file:
    results = json.load(results_file)
  figure, (refresh, calls, churn) = plt.subplots(
      1, 3, figsize=(20, 7), gridspec_kw={'width_ratios': [1, 1.35, 0.6]})

  simulated = results.get('refresh_simulated', [])
  if simulated:
    refresh.errorbar([r['volumes'] for r in simulated],
                     [r['per_volume_us']['median'] for r in simulated],
                     yerr=Errors([r['per_volume_us'] for r in simulated]),
                     marker='o', capsize=3, label='module, simulated machine')
  real = results.get('refresh_real', {})
  if real.get('available'):
    rows = real['rows']
    refresh.errorbar([r['volumes'] for r in rows],
                     [r['module_per_volume_us']['median'] for r in rows],
                     yerr=Errors([r['module_per_volume_us'] for r in rows]),
                     marker='s', capsize=3, label='module, tmpfs mounts')
    refresh.errorbar([r['psutil_mounts'] for r in rows],
                     [r['psutil_per_mount_us']['median'] for r in rows],
                     yerr=Errors([r['psutil_per_mount_us'] for r in rows]),
                     marker='^', capsize=3, linestyle='--',
                     label='psutil partitions + usage, same mounts')
  refresh.set_xscale('log')
  refresh.set_ylim(bottom=0)
  refresh.set_xlabel('volumes in the table')
  refresh.set_ylabel('CPU time per volume (microseconds)')
  refresh.set_title('Full refresh, per volume (flat = linear)')
  refresh.grid(True, which='both', alpha=0.3)
  refresh.legend(loc='lower right', fontsize=9)

  figures = results['calls']
  height = 0.2
  positions = range(len(OPERATIONS))
  for offset, (kind, label, colour) in enumerate(SERIES):
    values, spreads, places = [], [], []
    for place, (key, _, floor) in zip(positions, OPERATIONS):
      name = floor if kind == 'floor' else '%s.%s' % (key, kind)
      if name is None or name not in figures:
        continue
      values.append(figures[name]['median'])
      spreads.append(figures[name])
      places.append(place + (offset - 1.5) * height)
    calls.barh(places, values, height=height, xerr=Errors(spreads),
               color=colour, label=label, capsize=2)
  calls.set_yticks(list(positions))
  calls.set_yticklabels([label for _, label, _ in OPERATIONS])
  calls.invert_yaxis()
  calls.set_xscale('log')
  calls.set_xlabel('nanoseconds per call (median, bars: q1-q3), log scale')
  calls.set_title('Per-call cost')
  calls.grid(True, axis='x', which='both', alpha=0.3)
  calls.legend(loc='upper right', fontsize=9)

  PlotChurn(churn, results.get('refresh_churn', {}))

  figure.suptitle('windows.volumes benchmark, %s, commit %s (%d rounds)' % (
      results['when'], results['commit'], results['method']['rounds']))
  figure.tight_layout()
  figure.savefig(target, dpi=90)


if __name__ == '__main__':
  main()
