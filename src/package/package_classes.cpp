#include "package/package_classes.h"

#include "server/class_table.h"
// The category identifiers and descriptions come from the same table as the
// public header's, so the module and the hosts built against it cannot disagree.
#include "stub/stub_category_values.h"

const CATID CATID_TarvoStyles = STUB_CATID_TARVO_STYLES_INITIALIZER;
const CATID CATID_TarvoTexts = STUB_CATID_TARVO_TEXTS_INITIALIZER;

const PackageClass PackageClasses[2] = {
    {u"Style.rgs", u"Stub", &CLSID_Stub, &CATID_TarvoStyles, u"" STUB_CATEGORY_TARVO_STYLES_DESCRIPTION},
    {u"StyleText.rgs", u"StubText", &CLSID_StubText, &CATID_TarvoTexts,
     u"" STUB_CATEGORY_TARVO_TEXTS_DESCRIPTION},
};
