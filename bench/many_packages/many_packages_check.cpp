// The short version of the many-packages run, with the same checks: a few
// dozen packages installed and removed, and a busy host for a few seconds.
#include <gtest/gtest.h>

#include <cstdio>

#include "many_packages.h"

namespace many {
namespace {

std::string Join(const Problems& problems) {
  std::string text;
  for (const std::string& line : problems) text += "\n  " + line;
  return text;
}

TEST(ManyPackages, InstallingAndRemovingManyPackagesLeavesTheRegistryAsItWas) {
  Problems problems;
  PackageSet packages(PackageSet::Kind::kModule, 25, problems);
  ASSERT_TRUE(problems.empty()) << Join(problems);
  const RegistrySnapshot before = RegistrySnapshot::Take();
  const DWORD handlesBefore = HandleCount();
  packages.RegisterAll(problems);
  const DWORD handlesRegistered = HandleCount();
  packages.CheckRegistered(problems);
  packages.UnregisterAll(problems);
  const DWORD handlesRemoved = HandleCount();
  CheckRemoved(before, packages, problems);
  EXPECT_TRUE(problems.empty()) << Join(problems);
  // Removal holds on to nothing. Registration may grow by one handle per entry
  // into a category (four per package), as Wine's categories manager keeps a
  // registry handle per RegisterClassImplCategories call, and by a few when
  // that manager is first made; a module that left its own keys open would
  // hold ten or more per package.
  EXPECT_LE(handlesRegistered, handlesBefore + 4 * packages.size() + 8);
  EXPECT_LE(handlesRemoved, handlesRegistered);
}

TEST(ManyPackages, BusyHostGetsEveryPackageRightAndLetsEveryCopyGo) {
  HostOptions options;
  options.packages = 8;
  options.milliseconds = 2500;
  Problems problems;
  const HostResult result = RunHost(options, problems);
  CheckFlat(result, problems);
  EXPECT_TRUE(problems.empty()) << Join(problems);
  EXPECT_EQ(result.failures, 0);
  EXPECT_EQ(result.wrongPaths, 0);
  EXPECT_GT(result.activations, 100);
  EXPECT_EQ(result.packagesLoaded, options.packages);
  EXPECT_GT(result.loads, options.packages) << "no copy was unloaded and loaded again under load";
  EXPECT_EQ(result.loads, result.unloads);
  std::printf("%lld activations in %.1f s, %ld loads, %ld unloads, %lld unload calls\n", result.activations,
              result.seconds, result.loads, result.unloads, result.freeCalls);
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
  many::PrintCrash(exception);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace
}  // namespace many

int main(int argc, char** argv) {
  // A crash must fail the run, not wait on an error dialog or a debugger.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(&many::ReportCrash);
  testing::InitGoogleTest(&argc, argv);
  // Registration enters the classes into their categories through COM.
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  const int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}
