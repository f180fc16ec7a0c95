// Inside the host library: the two halves of a package's check, for the
// trial and the creation, which need them apart.
#ifndef STUB_SDK_HOST_CHECKS_H
#define STUB_SDK_HOST_CHECKS_H

#include <string>

#include "stub/stub_host.h"

namespace stub {
namespace host {
namespace detail {

// What the registry and the files say now (CheckPackage less the memory of
// verdicts); a class created before that passes again stays Working.
void CheckFiles(Package& package);

// The machine field of a PE image's file header, read without loading the
// file; 0 where it is no PE image or cannot be read.
WORD ImageMachine(const std::wstring& path);

// Gives the classes in use that passed their checks the state of the
// verdict remembered for their module where it refuses them (Crashed,
// Exited, TimedOut); a class created before stays Working.
void ApplyRememberedHazards(Package& package);

}  // namespace detail
}  // namespace host
}  // namespace stub

#endif  // STUB_SDK_HOST_CHECKS_H
