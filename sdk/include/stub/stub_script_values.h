/* Where a package script names its class identifier, as plain values: the
 * one place that the module's own scan, the host library's scan of the same
 * scripts and the package checker's explanations take them from. No
 * includes, usable from C and C++ and from code that never sees the Windows
 * headers. Not installed: hosts ask the host library for a package's
 * identifiers and never scan a script themselves.
 *
 * The scan skips everything up to and including the second "{" of the file;
 * then STUB_SCRIPT_CLASSID_LEAD must follow, and the identifier's characters
 * (braces, hexadecimal digits, hyphens) are taken after it. */
#ifndef STUB_SCRIPT_VALUES_H
#define STUB_SCRIPT_VALUES_H

/* What stands between the second "{" and the identifier: a blank stands for
 * any run of whitespace (none included), every other character must match
 * exactly, in this case. */
#define STUB_SCRIPT_CLASSID_LEAD " CLSID = s '"

/* The most identifier characters the scan keeps: the module scans into a
 * buffer of one unit more, whose last unit stays the terminator, so a
 * longer run is cut there (and is no identifier). */
#define STUB_SCRIPT_CLASSID_CAPACITY 127

#endif /* STUB_SCRIPT_VALUES_H */
