"""Text for a terminal or a script: safe, measured, and laid out in columns.

Names come from mount tables, labels and command lines, so they may hold
control characters, bytes that are not UTF-8, or wide CJK characters.  They
are shown as findmnt shows them: every unsafe character as the \\xNN escapes
of its UTF-8 bytes, every byte that is not UTF-8 as \\xNN, so that each row
stays one line and the columns line up by display width.  On Windows a name
in bytes is in the ANSI code page, as the interpreter and the module encode
names there ("mbcs"), and every such name decodes.
"""

import codecs
import sys
import unicodedata

_NAME_ENCODING = 'mbcs' if sys.platform == 'win32' else 'utf-8'

# Categories that would break a row or reorder it on screen: controls
# (newline, escape), line and paragraph separators, format characters
# (bidirectional overrides, zero-width joiners), surrogates and unassigned.
_UNSAFE_CATEGORIES = frozenset(('Cc', 'Cf', 'Cs', 'Co', 'Cn', 'Zl', 'Zp'))


def _HexEscapes(error):
  """Codec error handler: undecodable bytes or unencodable characters as
  the \\xNN escapes of their bytes."""
  if isinstance(error, UnicodeDecodeError):
    bad = error.object[error.start:error.end]
  else:
    bad = error.object[error.start:error.end].encode('utf-8')
  return u''.join(u'\\x%02x' % ord(byte) for byte in bad), error.end

codecs.register_error('volume_table.hex', _HexEscapes)


def StreamEncoding(stream):
  """The codec's own name of what a terminal takes, UTF-8 for a pipe."""
  try:
    return codecs.lookup(getattr(stream, 'encoding', None) or 'utf-8').name
  except LookupError:
    return 'utf-8'


def Text(value):
  """Any value as unicode: bytes read as the system's names (UTF-8 but on
  Windows), bytes that are not as \\xNN."""
  if value is None:
    return u''
  if isinstance(value, unicode):
    return value
  if not isinstance(value, str):
    value = str(value)
  return value.decode(_NAME_ENCODING, 'volume_table.hex')


def _Escaped(character):
  return u''.join(u'\\x%02x' % ord(byte)
                  for byte in character.encode('utf-8'))


def Safe(text, encoding='utf-8', raw=False):
  """`text` with every character that is unsafe, or that `encoding` cannot
  write, escaped; raw output also escapes blanks and backslashes, as in
  findmnt --raw, so that a space always separates columns."""
  pieces = []
  for character in Text(text):
    unsafe = unicodedata.category(character) in _UNSAFE_CATEGORIES
    if not unsafe and raw:
      unsafe = character.isspace() or character == u'\\'
    if not unsafe and encoding != 'utf-8':
      try:
        character.encode(encoding)
      except UnicodeError:
        unsafe = True
    pieces.append(_Escaped(character) if unsafe else character)
  return u''.join(pieces)


def DisplayWidth(text):
  """Terminal columns of safe text: wide East Asian characters take two,
  combining marks none."""
  width = 0
  for character in text:
    if unicodedata.combining(character) or unicodedata.category(
        character) in ('Mn', 'Me'):
      continue
    width += 2 if unicodedata.east_asian_width(character) in ('W', 'F') else 1
  return width


def HumanSize(size):
  """Bytes as df -h shows them: powers of 1024, rounded up, one decimal
  below 10 (4.0K, 9.6G, 476G)."""
  if size < 1024:
    return '%d' % size
  for power, unit in enumerate('KMGTPE', 1):
    base = 1024 ** power
    if size < 10 * base:
      tenths = -(-size * 10 // base)
      if tenths < 100:
        return '%d.%d%s' % (tenths // 10, tenths % 10, unit)
      return '10' + unit
    whole = -(-size // base)
    if whole < 1024 or unit == 'E':
      return '%d%s' % (whole, unit)


def FormatTable(header, rows, right_aligned=(), raw=False, headings=True,
                encoding='utf-8', widths=None):
  """The lines of a table, as unicode.

  A cell is a value or a list of values; the values of a list are shown one
  under the other (continuation lines leave the other cells empty), or,
  in raw output, joined by a newline that shows as \\x0a.  Aligned columns
  are two spaces apart; raw columns one.  `widths`, a list, holds least
  widths of the aligned columns and is widened to the widths used, so that
  tables printed one after another line up.
  """
  right_aligned = [index in right_aligned for index in range(len(header))]
  rows = ([[[Text(name)] for name in header]] if headings else []) + [
      [cell if isinstance(cell, list) else [cell] for cell in row]
      for row in rows]
  if raw:
    return [u' '.join(Safe(u'\n'.join(Text(value) for value in cell),
                           encoding, raw=True) for cell in row)
            for row in rows]
  lines = []
  for row in rows:
    cells = [[Safe(value, encoding) for value in cell] for cell in row]
    for index in range(max(len(cell) for cell in cells) or 1):
      lines.append([cell[index] if index < len(cell) else u''
                    for cell in cells])
  if not lines:
    return []
  least = widths or [0] * len(header)
  used = [max([least[column]] + [DisplayWidth(line[column]) for line in lines])
          for column in range(len(header))]
  if widths is not None:
    widths[:] = used
  widths = used
  last = len(header) - 1
  out = []
  for line in lines:
    pieces = []
    for column, cell in enumerate(line):
      padding = u' ' * (widths[column] - DisplayWidth(cell))
      if right_aligned[column]:
        pieces.append(padding + cell)
      elif column == last:
        pieces.append(cell)
      else:
        pieces.append(cell + padding)
    out.append(u'  '.join(pieces).rstrip(u' '))
  return out
