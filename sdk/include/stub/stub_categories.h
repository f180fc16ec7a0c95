/* The component categories every style package enters its two classes into,
 * for C and C++, with the Windows headers only.
 *
 *   CATID_TarvoStyles  {390F9E99-171D-4A3B-A185-A0E495BA86D0}  "Tarvo Styles"
 *   CATID_TarvoTexts   {FD8ABB6D-B549-4A66-94A9-3C360CD70490}  "Tarvo Texts"
 *
 * The identifiers are declared as Windows declares its own (DEFINE_GUID):
 * include <initguid.h> before this header in exactly one source file of the
 * program to define them there, or link the host library (Stub::Host), which
 * defines them. Ask the component categories manager (ICatInformation) for
 * the classes of each; docs/hosts.md says how.
 *
 * STUB_CATID_TARVO_STYLES_STRING and STUB_CATID_TARVO_TEXTS_STRING are the
 * identifiers' registry form as wide strings, STUB_CATEGORY_TARVO_STYLES_NAME
 * and STUB_CATEGORY_TARVO_TEXTS_NAME the descriptions the packages register
 * (locale 0x409). */
#ifndef STUB_CATEGORIES_H
#define STUB_CATEGORIES_H

#include <windows.h>
#include <guiddef.h>

#include "stub/stub_category_values.h"

/* DEFINE_GUID takes its eleven fields as separate arguments: this expands the
 * field list first. */
#define STUB_DEFINE_CATEGORY_(...) DEFINE_GUID(__VA_ARGS__)

STUB_DEFINE_CATEGORY_(CATID_TarvoStyles, STUB_CATID_TARVO_STYLES_FIELDS);
STUB_DEFINE_CATEGORY_(CATID_TarvoTexts, STUB_CATID_TARVO_TEXTS_FIELDS);

#define STUB_CATID_TARVO_STYLES_STRING L"" STUB_CATID_TARVO_STYLES_TEXT
#define STUB_CATID_TARVO_TEXTS_STRING L"" STUB_CATID_TARVO_TEXTS_TEXT
#define STUB_CATEGORY_TARVO_STYLES_NAME L"" STUB_CATEGORY_TARVO_STYLES_DESCRIPTION
#define STUB_CATEGORY_TARVO_TEXTS_NAME L"" STUB_CATEGORY_TARVO_TEXTS_DESCRIPTION

/* The locale the packages describe the categories in (English). */
#define STUB_CATEGORY_LOCALE 0x409

#endif /* STUB_CATEGORIES_H */
