#pragma once

#include <QByteArray>

// Whether a whole header line matches a whole allow pattern, both folded to lower case first.
// In the pattern:
//   "*"        any run of bytes, including none
//   "?"        any one byte
//   "#"        one digit 0-9
//   "[list]"   any one byte of the list; "x-y" inside stands for the range x..y; a "-" first
//              or last in the list is itself; the first "]" after the "[" closes the list, so
//              "[]" matches no byte and "[!]" any one byte
//   "[!list]"  any one byte not in the list
//   other      the byte itself ("*", "?", "#" and "[" lose their meaning inside a list, so "[[]"
//              matches a "[" and "[*]" a "*"; a "]" outside a list is itself)
// A pattern with a "[" that is never closed, or with a range whose ends are in descending order
// after folding (such as "[z-a]"), is ill-formed and matches nothing.
// Matching takes at most O(line length * pattern length) steps, however many "*" there are.
bool matchesAllowPattern(const QByteArray &line, const QByteArray &pattern);
