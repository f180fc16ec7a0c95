// The smallest host on the host library: lists the installed packages with
// their states, and loads none of them.
#include <cstdio>
#include <vector>

#include "stub/stub_host.h"

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  std::vector<stub::host::Package> packages;
  const HRESULT result = stub::host::FindRegisteredPackages(packages);
  int code = 0;
  if (FAILED(result)) {
    std::printf("categories unreadable 0x%08lX\n", static_cast<unsigned long>(result));
    code = 2;
  } else {
    for (const stub::host::Package& package : packages) {
      std::printf("%s %ls\n", stub::host::StateName(package.state()), package.modulePath.c_str());
    }
    std::printf("packages=%u\n", static_cast<unsigned>(packages.size()));
  }
  CoUninitialize();
  return code;
}
