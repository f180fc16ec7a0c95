/* The public category header from C, without the host library: one source
 * file defines the identifiers, as with Windows' own. */
#include <initguid.h>

#include <stdio.h>

#include "stub/stub_categories.h"

int main(void) {
  wchar_t text[40];
  if (!StringFromGUID2(&CATID_TarvoStyles, text, 40) || lstrcmpW(text, STUB_CATID_TARVO_STYLES_STRING))
    return 1;
  printf("%ls %ls\n", text, STUB_CATEGORY_TARVO_STYLES_NAME);
  if (!StringFromGUID2(&CATID_TarvoTexts, text, 40) || lstrcmpW(text, STUB_CATID_TARVO_TEXTS_STRING))
    return 1;
  printf("%ls %ls\n", text, STUB_CATEGORY_TARVO_TEXTS_NAME);
  return 0;
}
