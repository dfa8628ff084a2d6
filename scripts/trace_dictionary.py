#!/usr/bin/env python3
"""Writes runtime/TraceDictionary.h: the words the stub's trace formats are packed with.

    python3 scripts/trace_dictionary.py [--check]

The trace macros store a literal format with each of these words as one byte (0x80 + its index),
chosen at compile time by the longest word that matches; the writer puts the words back. Run this
when many formats have changed: a format the words fit badly still round-trips, only less small.
--check prints what the current header saves without writing it.
"""
import collections
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER = ROOT / 'runtime' / 'TraceDictionary.h'
FOLDERS = ['runtime', 'package', 'system', 'net', 'components', 'stub']
MAX_WORDS = 128
CALL = re.compile(r'\bTrace(?:Error|Warning|Info)\s*\(\s*((?:L"(?:[^"\\]|\\.)*"\s*)+)')
LITERAL = re.compile(r'L"((?:[^"\\]|\\.)*)"')
ESCAPES = {'n': '\n', 'r': '\r', 't': '\t', '\\': '\\', '"': '"', "'": "'"}


def unescape(text):
    return re.sub(r'\\(.)', lambda m: ESCAPES[m.group(1)], text)


def formats():
    found = set()
    for folder in FOLDERS:
        for path in sorted((ROOT / folder).glob('*.[ch]*')):
            for call in CALL.finditer(path.read_text()):
                found.add(unescape(''.join(LITERAL.findall(call.group(1)))))
    return sorted(found)


def packed_size(text, words):
    """Bytes of text packed as the macros pack it (terminator included)."""
    size = i = 0
    while i < len(text):
        longest = max((len(w) for w in words if text.startswith(w, i)), default=0)
        i += longest or 1
        size += 1
    return size + 1


def choose_words(texts):
    """Greedy: the substring that saves the most, replaced, then the next."""
    current, words = list(texts), []
    for index in range(MAX_WORDS):
        counts = collections.Counter()
        for text in current:
            for length in range(3, 48):
                for start in range(len(text) - length + 1):
                    part = text[start:start + length]
                    if all(ord(c) < 0x80 for c in part):
                        counts[part] += 1
        # Each use saves all but one byte; the word costs its bytes and a pointer.
        word, uses = max(counts.items(), key=lambda item: (len(item[0]) - 1) * item[1] - len(item[0]) - 5)
        if (len(word) - 1) * uses <= len(word) + 5:
            break
        words.append(word)
        current = [text.replace(word, chr(0x80 + index)) for text in current]
    return words


def cpp_literal(word):
    return '"' + word.replace('\\', '\\\\').replace('"', '\\"').replace('\r', '\\r').replace('\n', '\\n') \
        .replace('\t', '\\t') + '"'


def write_header(words):
    lines = [
        '#pragma once',
        '// The words trace formats are packed with (see Trace.h). Made by scripts/trace_dictionary.py',
        '// from the formats of the code; a format they do not fit is stored as it is.',
        '#include <cstddef>',
        '',
        'namespace qlLib {',
        'namespace trace_format {',
        '',
        'inline constexpr const char* kWords[] = {',
    ]
    lines += ['    %s,' % cpp_literal(word) for word in words]
    lines += [
        '};',
        'inline constexpr size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);',
        '',
        '}  // namespace trace_format',
        '}  // namespace qlLib',
        '',
    ]
    HEADER.write_text('\n'.join(lines))


def current_words():
    if not HEADER.exists():
        return []
    text = HEADER.read_text()
    body = text[text.index('kWords[] = {'):text.index('};')]
    return [unescape(word) for word in re.findall(r'"((?:[^"\\]|\\.)*)"', body)]


def main():
    texts = formats()
    words = current_words() if '--check' in sys.argv else choose_words(texts)
    plain = sum(len(t) + 1 for t in texts)
    packed = sum(packed_size(t, words) for t in texts)
    table = sum(len(w) + 1 + 4 for w in words)
    print('%d formats: %d bytes narrow, %d packed with %d words (%d bytes)'
          % (len(texts), plain, packed, len(words), table))
    if '--check' not in sys.argv:
        write_header(words)
        print('wrote', HEADER.relative_to(ROOT))


if __name__ == '__main__':
    main()
