// Entry point of the end-to-end client. Besides running the tests it keeps a
// hung test (a message box nobody closes, a deadlock in the loader) from
// stalling the whole run: a watchdog ends the process with the test's name.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "e2e_support.h"

namespace {

constexpr DWORD kTestTimeoutMs = 30000;

class Watchdog : public testing::EmptyTestEventListener {
 public:
  Watchdog() {
    InitializeCriticalSection(&lock_);
    CreateThread(nullptr, 0, &Watchdog::Run, this, 0, nullptr);
  }

  void OnTestStart(const testing::TestInfo& test) override {
    EnterCriticalSection(&lock_);
    name_ = std::string(test.test_suite_name()) + "." + test.name();
    started_ = GetTickCount();
    running_ = true;
    LeaveCriticalSection(&lock_);
  }
  void OnTestEnd(const testing::TestInfo&) override {
    EnterCriticalSection(&lock_);
    running_ = false;
    LeaveCriticalSection(&lock_);
  }

 private:
  static DWORD WINAPI Run(void* self) {
    auto* watchdog = static_cast<Watchdog*>(self);
    for (;;) {
      Sleep(200);
      EnterCriticalSection(&watchdog->lock_);
      const bool hung = watchdog->running_ && GetTickCount() - watchdog->started_ > kTestTimeoutMs;
      const std::string name = watchdog->name_;
      LeaveCriticalSection(&watchdog->lock_);
      if (hung) {
        std::fprintf(stderr, "\n%s did not finish within %lu ms; stopping the run\n", name.c_str(),
                     kTestTimeoutMs);
        std::fflush(nullptr);
        TerminateProcess(GetCurrentProcess(), 3);
      }
    }
  }

  CRITICAL_SECTION lock_;
  std::string name_;
  DWORD started_ = 0;
  bool running_ = false;
};

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::fprintf(stderr, "\nexception 0x%08lx at %p in %s.%s; stopping the run\n",
               exception->ExceptionRecord->ExceptionCode, exception->ExceptionRecord->ExceptionAddress,
               test ? test->test_suite_name() : "?", test ? test->name() : "?");
  std::fflush(nullptr);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
  // A crash must fail the run, not wait on an error dialog or a debugger.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(&ReportCrash);
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);

  for (const std::wstring& path : {e2e::StubModulePath(), e2e::EngineModulePath()}) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
      std::fprintf(stderr, "missing %s: build it first\n", e2e::Narrow(path).c_str());
      return 2;
    }
  }
  return RUN_ALL_TESTS();
}
