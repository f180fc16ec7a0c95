// The host library's listing of registered packages against the bare
// enumeration of the two component categories a host without the library
// starts from, in one process under Wine:
//
//   host_listing.exe [--packages=N] [--rounds=R]   (1,000 and 5 by default)
//
// Installs N packages in a folder of its own (a copy of the module, its
// package folder with both scripts, and the keys regsvr32 writes, made by
// direct registry calls), then takes turns: the bare enumeration
// (ICatInformation::EnumClassesOfCategories over both categories, every
// identifier fetched) and FindRegisteredPackages; then, to tell where the
// listing's time goes, CheckPackage again over every package it listed (all
// the checks, the registration read anew). Every round must list each
// package once, Ready. Prints "name value" lines (milliseconds, medians of
// the rounds; the ratio is the median of the rounds' own ratios) and
// removes what it installed.
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "installed_packages.h"
#include "stub/stub_host.h"

namespace {

namespace host = stub::host;

// The packages of this run that came out Ready; -1 when one came out otherwise.
int ReadyPackages(const std::vector<host::Package>& packages, const std::wstring& folder) {
  int ready = 0;
  for (const host::Package& package : packages) {
    if (package.modulePath.compare(0, folder.size(), folder) != 0) continue;
    if (package.state() != host::State::Ready) return -1;
    ++ready;
  }
  return ready;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int count = bench::Argument(argc, argv, L"--packages=", 1000);
  const int rounds = bench::Argument(argc, argv, L"--rounds=", 5);
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  bench::Installed installed;
  const double installStart = bench::Now();
  if (!bench::InstallPackages(installed, L"HostListing", count)) return 2;
  std::printf("install_ms %.1f\n", (bench::Now() - installStart) * 1000);
  std::vector<double> bare, listing, checking, ratios;
  bool ok = true;
  for (int round = 0; round < rounds + 1 && ok; ++round) {
    double start = bench::Now();
    const size_t enumerated = bench::EnumerateCategories();
    const double bareTime = bench::Now() - start;
    std::vector<host::Package> packages;
    start = bench::Now();
    const HRESULT found = host::FindRegisteredPackages(packages);
    const double listTime = bench::Now() - start;
    start = bench::Now();
    for (host::Package& package : packages) host::CheckPackage(package);
    const double checkTime = bench::Now() - start;
    const int ready = ReadyPackages(packages, installed.folder);
    if (FAILED(found) || ready != count || enumerated < static_cast<size_t>(2 * count)) {
      std::fprintf(stderr,
                   "host_listing: round %d listed %d of %d packages ready (0x%08lX), enumerated %zu\n", round,
                   ready, count, static_cast<unsigned long>(found), enumerated);
      ok = false;
    }
    if (round == 0) continue;  // the first round warms the caches
    bare.push_back(bareTime * 1000);
    listing.push_back(listTime * 1000);
    checking.push_back(checkTime * 1000);
    ratios.push_back(listTime / bareTime);
  }
  bench::Uninstall(installed, count);
  CoUninitialize();
  if (!ok) return 1;
  std::printf("packages %d\nrounds %d\n", count, rounds);
  std::printf("enumeration_ms %.2f\nlisting_ms %.2f\ncheck_again_ms %.2f\n", bench::Median(bare),
              bench::Median(listing), bench::Median(checking));
  // The median of each round's own ratio: the machine's load drifts between
  // rounds, less within one.
  std::printf("ratio %.3f\n", bench::Median(ratios));
  return 0;
}
