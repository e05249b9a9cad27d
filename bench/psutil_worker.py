"""psutil's view of the mounts, timed on request (Debian's Python 3).

Started by real_refresh.py in the same mount namespace.  Each line read,
"N", makes it run N times psutil.disk_partitions(all=True) and then
psutil.disk_usage() on every partition that is storage; it answers one JSON
line: the CPU seconds this process spent, the partitions listed and the
mounts whose usage was read.

all=True because psutil leaves out every filesystem that the kernel marks
"nodev" otherwise, tmpfs included; the kernel's pseudo filesystems are left
out here instead, as the module leaves them out.
"""

import json
import sys
import time

import psutil

PSEUDO = frozenset([
    'autofs', 'binfmt_misc', 'bpf', 'cgroup', 'cgroup2', 'configfs',
    'debugfs', 'devpts', 'efivarfs', 'fusectl', 'hugetlbfs', 'mqueue',
    'nsfs', 'proc', 'pstore', 'rpc_pipefs', 'securityfs', 'selinuxfs',
    'sysfs', 'tracefs'])


def Refresh():
  partitions = psutil.disk_partitions(all=True)
  mounts = 0
  for partition in partitions:
    if partition.fstype in PSEUDO:
      continue
    try:
      psutil.disk_usage(partition.mountpoint)
    except OSError:
      continue
    mounts += 1
  return len(partitions), mounts


def main():
  for line in sys.stdin:
    repeats = int(line)
    start = time.process_time()
    for _ in range(repeats):
      partitions, mounts = Refresh()
    elapsed = time.process_time() - start
    print(json.dumps({'cpu_s': elapsed, 'partitions': partitions,
                      'mounts': mounts, 'psutil': psutil.__version__}),
          flush=True)


if __name__ == '__main__':
  main()
