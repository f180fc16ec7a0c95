#include "package/package_classes.h"

#include "server/class_table.h"

// {390F9E99-171D-4A3B-A185-A0E495BA86D0}
const CATID CATID_TarvoStyles = {
    0x390F9E99, 0x171D, 0x4A3B, {0xA1, 0x85, 0xA0, 0xE4, 0x95, 0xBA, 0x86, 0xD0}};
// {FD8ABB6D-B549-4A66-94A9-3C360CD70490}
const CATID CATID_TarvoTexts = {
    0xFD8ABB6D, 0xB549, 0x4A66, {0x94, 0xA9, 0x3C, 0x36, 0x0C, 0xD7, 0x04, 0x90}};

const PackageClass PackageClasses[2] = {
    {u"Style.rgs", u"Stub", &CLSID_Stub, &CATID_TarvoStyles, u"Tarvo Styles"},
    {u"StyleText.rgs", u"StubText", &CLSID_StubText, &CATID_TarvoTexts, u"Tarvo Texts"},
};
