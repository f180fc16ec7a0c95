// The one definition of the two category identifiers in a program that links
// the host library: stub_categories.h declares them as Windows declares its
// own, and <initguid.h> turns the declarations into definitions here.
#include <initguid.h>

#include "stub/stub_categories.h"
