"""Runs Python suites under valgrind's memcheck and fails on any
definitely-lost block, or any memory error, whose stack passes through the
module or the platform layer.

  python2.7 tests/memcheck.py SUITE ...

The interpreter's own pymalloc reads outside its blocks by design; those
reports are suppressed (tests/python27.supp)."""

import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def Records(log):
  """The error and leak records of a memcheck log, as lists of lines."""
  records, current = [], []
  for line in log.splitlines():
    text = re.sub(r'^==\d+== ?', '', line)
    if not text.strip():
      if current:
        records.append(current)
      current = []
    else:
      current.append(text)
  if current:
    records.append(current)
  return records


def main(argv):
  suites = argv[1:]
  log_file = tempfile.NamedTemporaryFile(prefix='memcheck-', suffix='.log',
                                         delete=False)
  log_file.close()
  command = [
      'valgrind', '--tool=memcheck', '--leak-check=full',
      '--show-leak-kinds=definite', '--errors-for-leak-kinds=definite',
      '--suppressions=%s' % os.path.join(HERE, 'python27.supp'),
      '--num-callers=40', '--log-file=%s' % log_file.name,
      '--fullpath-after=',  # full source paths, to tell the module's frames
      sys.executable, '-m', 'unittest'] + suites
  status = subprocess.call(command)
  with open(log_file.name) as log:
    text = log.read()
  os.remove(log_file.name)
  # A frame of the module: its source files, or the module itself where it
  # has no line information.
  source = os.path.dirname(HERE)
  ours = re.compile(r'%s/(windows|platform)/|volumes\.so' % re.escape(source))
  faults = [record for record in Records(text)
            if ours.search('\n'.join(record)) and
            (re.search(r'definitely lost', record[0]) or
             re.match(r'(Invalid|Conditional|Use of uninitialised|Mismatched|'
                      r'Source and destination|Syscall param)', record[0]))]
  summary = [line for line in text.splitlines() if 'definitely lost:' in line or
             'ERROR SUMMARY' in line]
  sys.stderr.write('\n'.join(summary) + '\n')
  for record in faults:
    sys.stderr.write('\n'.join(record) + '\n\n')
  if status != 0:
    sys.stderr.write('the suites failed under valgrind (exit %d)\n' % status)
    return 1
  if faults:
    sys.stderr.write('%d reports from the module\n' % len(faults))
    return 1
  sys.stderr.write('memcheck: no report from the module\n')
  return 0


if __name__ == '__main__':
  sys.exit(main(sys.argv))
