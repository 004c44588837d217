#include "test_support/wx_assert.h"

#include <gtest/gtest.h>
#include <wx/debug.h>
#include <wx/string.h>

#include <cstdio>
#include <cstdlib>

namespace test_support {

namespace {
void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                  const wxString& msg) {
  const std::string where = file.ToStdString() + ":" + std::to_string(line);
  const std::string what = "wx assertion failed in " + func.ToStdString() + ": " +
                           cond.ToStdString() + " " + msg.ToStdString();
  if (::testing::UnitTest::GetInstance()->current_test_info() != nullptr) {
    ADD_FAILURE_AT(file.ToStdString().c_str(), line) << what;
  } else {
    std::fprintf(stderr, "%s: %s\n", where.c_str(), what.c_str());
    std::abort();
  }
}
}  // namespace

void InstallWxAssertHandler() { wxSetAssertHandler(FailOnAssert); }

}  // namespace test_support
