#!/usr/bin/env python3
"""Writes tables/mdx/tzndx_collate.cpp: the rank tables of character index keys.

The sibling programs order character keys by comparing single characters
with the Windows string comparison (CompareStringA, no flags) under the
user's locale, which for them is Polish. Linux has no such comparison, and
a process locale must not change the order of a file that other programs
share, so the order is written down here once and the tables are fixed.

How the order is derived (from the published rules of the Windows
comparison; the character names are Unicode's):

1. Characters without any weight compare equal to each other and below
   everything else: the C0 controls except TAB..CR, DEL, the C1 range (the
   bytes Windows-1250 leaves undefined decode to it) and the soft hyphen.
   Equal characters keep their byte order.
2. The word-sort specials next: the apostrophe and the hyphen carry no
   alphabetic weight, only a special one that counts last, so a one-
   character comparison puts them above the weightless characters and
   below all others (apostrophe first).
3. Punctuation, in the order of the Windows table: TAB, LF, VT, FF, CR,
   space, no-break space, then  ! " # $ % & ( ) * , . / : ; ? @ [ \\ ] ^ _
   ` { | } ~  and after them the other punctuation, spacing marks and
   quotation marks of the code page by code point.
4. Symbols: + < = > and then the other mathematical, currency and other
   symbols by code point.
5. The digits 0..9.
6. Latin letters. The primary letters are the Polish alphabet
   a ą b c ć d e ę f g h i j k l ł m n ń o ó p q r s ś t u v w x y z ź ż
   (Polish makes ą ć ę ł ń ó ś ź ż letters of their own). Any other
   accented letter is its base letter with a diacritic, which weighs less
   than the letter: a one-character comparison orders first by letter,
   then by diacritic in the Unicode collation order (none, acute, grave,
   breve, circumflex, caron, ring, diaeresis, double acute, tilde, dot
   above, cedilla, ogonek, stroke), then by case, lower before upper
   (a A á Á ... ą Ą). ß weighs as "ss": after every s and before ś.
7. Other letters (the micro sign, a Greek letter to Windows) last.

Where this may differ from the sibling programs: the exact Windows weights
of the non-ASCII punctuation and symbols among themselves (step 3 and 4
order them by code point), whether TAB..CR weigh as punctuation or nothing,
and the diacritic weights of letters that no Polish text uses. Letters,
digits, blanks and the ASCII punctuation follow the documented rules.

The OEM table (CP852 keys) is built the way the sibling programs build it:
each OEM byte takes the place of its Windows-1250 character (the engine's
fixed conversion, best fit included) in the order above, bytes with the
same character in byte order. Where several OEM bytes have one character
(box drawing to "+", "-", "|"), each gets its own rank beside the others,
so that no two bytes rank alike and the order stays total.
"""
import os
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

POLISH = 'aąbcćdeęfghijklłmnńoópqrsśtuvwxyzźż'
DIACRITIC_ORDER = ['', '\u0301', '\u0300', '\u0306', '\u0302', '\u030c', '\u030a', '\u0308',
                   '\u030b', '\u0303', '\u0307', '\u0327', '\u0328', 'stroke']
ASCII_PUNCT = '\t\n\x0b\x0c\r \u00a0!"#$%&()*,./:;?@[\\]^_`{|}~'
ASCII_SYMBOLS = '+<=>'
STROKE = {'đ': 'd', 'Đ': 'D'}


def ansi_char(b):
    try:
        return bytes([b]).decode('cp1250')
    except UnicodeDecodeError:
        return chr(b)  # undefined bytes decode to the C1 control of that value


def letter_key(ch):
    """(primary, diacritic, case) of a Latin letter, or None."""
    if ch in 'ßẞ':
        return (POLISH.index('s'), len(DIACRITIC_ORDER), 0, 1)
    low = ch.lower()
    case = 0 if ch == low else 1
    if low in POLISH:
        return (POLISH.index(low), 0, case, 0)
    if low in STROKE:
        return (POLISH.index(STROKE[low].lower()), DIACRITIC_ORDER.index('stroke'), case, 0)
    decomposed = unicodedata.normalize('NFD', low)
    base, marks = decomposed[0], decomposed[1:]
    if base not in POLISH:
        return None
    mark = marks[:1]
    return (POLISH.index(base), DIACRITIC_ORDER.index(mark), case, 0)


def sort_key(b):
    ch = ansi_char(b)
    cp = ord(ch)
    cat = unicodedata.category(ch)
    if (cp < 0x20 and ch not in '\t\n\x0b\x0c\r') or 0x7f <= cp <= 0x9f or cp == 0xad:
        return (0, b)
    if ch in "'-":
        return (1, "'-".index(ch))
    if ch in ASCII_PUNCT:
        return (2, 0, ASCII_PUNCT.index(ch))
    if cat[0] in 'PZ' or cat in ('Sk', 'Lm'):
        return (2, 1, cp)
    if ch in ASCII_SYMBOLS:
        return (3, 0, ASCII_SYMBOLS.index(ch))
    if cat[0] == 'S':
        return (3, 1, cp)
    if '0' <= ch <= '9':
        return (4, cp)
    key = letter_key(ch)
    if key is not None:
        return (5,) + key
    return (6, cp)


def tables():
    order = sorted(range(256), key=sort_key)
    ansi = [0] * 256
    for rank, b in enumerate(order):
        ansi[b] = rank
    # The engine's own conversion decides each OEM byte's character.
    conv = read_oem_to_ansi()
    oem_order = sorted(range(256), key=lambda b: (ansi[conv[b]], b))
    oem = [0] * 256
    for rank, b in enumerate(oem_order):
        oem[b] = rank
    return ansi, oem


def read_oem_to_ansi():
    """kOemToAnsiTable as platform/codepage_tables.cpp holds it."""
    path = os.path.join(ROOT, 'platform', 'codepage_tables.cpp')
    text = open(path, encoding='utf-8').read()
    start = text.index('kOemToAnsiTable[256] = {')
    body = text[text.index('{', start) + 1:text.index('};', start)]
    values = [int(v, 16) for v in body.replace('\n', ' ').split(',') if v.strip()]
    assert len(values) == 256
    return values


def emit(name, values):
    lines = [f'const uint8_t {name}[256] = {{']
    for row in range(16):
        cells = ', '.join(f'{v:3d}' for v in values[row * 16:row * 16 + 16])
        lines.append(f'    {cells},')
    lines.append('};')
    return '\n'.join(lines)


def main():
    ansi, oem = tables()
    assert sorted(ansi) == list(range(256)) and sorted(oem) == list(range(256))
    doc = __doc__.split('\n\n', 1)[1].strip()
    comment = '\n'.join(('// ' + line).rstrip() for line in doc.split('\n'))
    out = ('// Generated by scripts/gen_collation.py; do not edit.\n'
           '//\n' + comment + '\n'
           '#include <cstdint>\n\n'
           '#include "tables/mdx/tzndx_internal.h"\n\n'
           'namespace ndx {\n\n'
           '// Rank of each Windows-1250 byte.\n' + emit('kAnsiRank', ansi) + '\n\n'
           '// Rank of each CP852 byte.\n' + emit('kOemRank', oem) + '\n\n'
           '}  // namespace ndx\n')
    with open(os.path.join(ROOT, 'tables', 'mdx', 'tzndx_collate.cpp'), 'w', encoding='utf-8') as f:
        f.write(out)


if __name__ == '__main__':
    main()
