/* The two component categories of style packages, as plain values: the one
 * table that both the module (which enters its classes into them) and the
 * public header stub_categories.h take them from. No includes, usable from
 * C and C++ and from code that never sees the Windows headers.
 *
 * Each identifier is given as STUB_CATID_..._APPLY(m), which applies a
 * macro m of the caller's to the identifier's eleven fields, in the order of
 * DEFINE_GUID: Data1, Data2, Data3, then the eight bytes of Data4; the
 * fields are written out in its replacement, so it expands the same under
 * every preprocessor (MSVC's traditional one included) and needs no variadic
 * macro (C89). STUB_CATID_..._INITIALIZER is the braced initializer of a
 * GUID, STUB_CATID_..._FIELDS the plain field list. Each description is an
 * ordinary string literal; write L"" STUB_..._DESCRIPTION (or u"") for the
 * wide form. The descriptions are registered for locale 0x409 (English). */
#ifndef STUB_CATEGORY_VALUES_H
#define STUB_CATEGORY_VALUES_H

/* "Tarvo Styles", {390F9E99-171D-4A3B-A185-A0E495BA86D0}: the style class of
 * every package (its identifier named in Style.rgs). */
#define STUB_CATID_TARVO_STYLES_APPLY(m) \
  m(0x390F9E99, 0x171D, 0x4A3B, 0xA1, 0x85, 0xA0, 0xE4, 0x95, 0xBA, 0x86, 0xD0)
#define STUB_CATID_TARVO_STYLES_TEXT "{390F9E99-171D-4A3B-A185-A0E495BA86D0}"
#define STUB_CATEGORY_TARVO_STYLES_DESCRIPTION "Tarvo Styles"

/* "Tarvo Texts", {FD8ABB6D-B549-4A66-94A9-3C360CD70490}: the text style class
 * of every package (its identifier named in StyleText.rgs). */
#define STUB_CATID_TARVO_TEXTS_APPLY(m) \
  m(0xFD8ABB6D, 0xB549, 0x4A66, 0x94, 0xA9, 0x3C, 0x36, 0x0C, 0xD7, 0x04, 0x90)
#define STUB_CATID_TARVO_TEXTS_TEXT "{FD8ABB6D-B549-4A66-94A9-3C360CD70490}"
#define STUB_CATEGORY_TARVO_TEXTS_DESCRIPTION "Tarvo Texts"

/* The braced initializer of a GUID from its eleven fields, and the fields as
 * a plain list:
 * const GUID id = STUB_CATID_TARVO_STYLES_INITIALIZER; */
/* clang-format off */
#define STUB_GUID_BRACED(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  { l, w1, w2, { b1, b2, b3, b4, b5, b6, b7, b8 } }
#define STUB_GUID_FIELDS(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8
/* clang-format on */
#define STUB_CATID_TARVO_STYLES_INITIALIZER STUB_CATID_TARVO_STYLES_APPLY(STUB_GUID_BRACED)
#define STUB_CATID_TARVO_TEXTS_INITIALIZER STUB_CATID_TARVO_TEXTS_APPLY(STUB_GUID_BRACED)
#define STUB_CATID_TARVO_STYLES_FIELDS STUB_CATID_TARVO_STYLES_APPLY(STUB_GUID_FIELDS)
#define STUB_CATID_TARVO_TEXTS_FIELDS STUB_CATID_TARVO_TEXTS_APPLY(STUB_GUID_FIELDS)

#endif /* STUB_CATEGORY_VALUES_H */
