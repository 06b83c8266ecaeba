// The check-and-report harness of the C++ test programs: named cases, checks that note a failure
// and go on (so one run shows every broken case), and an exit status for ctest.
#pragma once

#include <cstdio>
#include <exception>
#include <functional>
#include <string>

namespace harness {

inline int passed = 0;
inline int failed = 0;
inline int checks = 0;
inline bool case_ok = true;
inline std::string case_name;

inline void report_failure(const char* file, int line, const std::string& what) {
  std::printf("FAIL [%s] %s:%d: %s\n", case_name.c_str(), file, line, what.c_str());
  case_ok = false;
}

// Runs one case; an exception escaping it fails the case instead of ending the program.
inline void run_case(const std::string& name, const std::function<void()>& body) {
  case_name = name;
  case_ok = true;
  try {
    body();
  } catch (const std::exception& e) {
    report_failure(__FILE__, __LINE__, std::string("unexpected exception: ") + e.what());
  }
  if (case_ok) {
    ++passed;
  } else {
    ++failed;
  }
}

// The summary line and the program's exit status.
inline int finish() {
  std::printf("%d passed, %d failed (%d checks)\n", passed, failed, checks);
  return failed == 0 ? 0 : 1;
}

}  // namespace harness

#define CHECK(cond)                                                                   \
  do {                                                                                \
    ++harness::checks;                                                                \
    if (!(cond)) harness::report_failure(__FILE__, __LINE__, "CHECK(" #cond ")");     \
  } while (0)

// Shows both sides on failure through a show(value) overload visible where it is used.
#define CHECK_EQ(a, b)                                                                          \
  do {                                                                                          \
    ++harness::checks;                                                                          \
    const auto& va_ = (a);                                                                      \
    const auto& vb_ = (b);                                                                      \
    if (!(va_ == vb_))                                                                          \
      harness::report_failure(__FILE__, __LINE__,                                               \
                              std::string(#a " == " #b "\n    got:      ") + show(va_) +        \
                                  "\n    expected: " + show(vb_));                              \
  } while (0)
