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

/* DEFINE_GUID takes its eleven fields as separate arguments: each
 * identifier's APPLY macro hands them to it one by one, the same under every
 * preprocessor. */
#define STUB_DEFINE_TARVO_STYLES_(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  DEFINE_GUID(CATID_TarvoStyles, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
#define STUB_DEFINE_TARVO_TEXTS_(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  DEFINE_GUID(CATID_TarvoTexts, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)

STUB_CATID_TARVO_STYLES_APPLY(STUB_DEFINE_TARVO_STYLES_);
STUB_CATID_TARVO_TEXTS_APPLY(STUB_DEFINE_TARVO_TEXTS_);

#define STUB_CATID_TARVO_STYLES_STRING L"" STUB_CATID_TARVO_STYLES_TEXT
#define STUB_CATID_TARVO_TEXTS_STRING L"" STUB_CATID_TARVO_TEXTS_TEXT
#define STUB_CATEGORY_TARVO_STYLES_NAME L"" STUB_CATEGORY_TARVO_STYLES_DESCRIPTION
#define STUB_CATEGORY_TARVO_TEXTS_NAME L"" STUB_CATEGORY_TARVO_TEXTS_DESCRIPTION

/* The locale the packages describe the categories in (English). */
#define STUB_CATEGORY_LOCALE 0x409

#endif /* STUB_CATEGORIES_H */
