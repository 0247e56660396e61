#include "common/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace vintra {
namespace {

TEST(Error, RendersMessageThenCausesIndentedAndNumberedWhenSeveral) {
  struct Case {
    Error error;
    const char* rendered;
  };
  const Case cases[] = {
      {Error("plain"), "plain"},
      {Error("inner").context("outer"), "outer\n\nCaused by:\n    inner"},
      {Error("root").context("middle").context("top"), "top\n\nCaused by:\n    0: middle\n    1: root"},
      {Error::from_errno(ENOENT, "read /etc/hosts"),
       "read /etc/hosts\n\nCaused by:\n    No such file or directory (os error 2)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.render(), c.rendered);
}

TEST(Error, KeepsTheOsErrorThroughContexts) {
  Error e = Error::from_errno(EACCES).context("create /x");
  EXPECT_EQ(e.os_error(), EACCES);
  EXPECT_EQ(e.causes().front(), "Permission denied (os error 13)");
}

TEST(Error, CarriesABacktraceOnlyWhenSwitchedOn) {
  EXPECT_EQ(Error("quiet").render().find("Stack backtrace:"), std::string::npos);
  set_error_backtraces(true);
  std::string loud = Error("loud").context("outer").render();
  set_error_backtraces(false);
  EXPECT_EQ(loud.rfind("outer\n\nCaused by:\n    loud\n\nStack backtrace:\n", 0), 0u) << loud;
}

TEST(Result, PropagatesErrorsThroughTry) {
  auto half = [](int v) -> Result<int> {
    if (v % 2) return Error("odd");
    return v / 2;
  };
  auto quarter = [&](int v) -> Result<int> {
    VINTRA_TRY(int h, half(v));
    return half(h);
  };
  EXPECT_EQ(*quarter(8), 2);
  ASSERT_FALSE(quarter(6));
  EXPECT_EQ(quarter(6).error().message(), "odd");
}

}  // namespace
}  // namespace vintra
