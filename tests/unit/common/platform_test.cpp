#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/platform/files.hpp"
#include "common/platform/process.hpp"
#include "tests/support/files.hpp"
#include "tests/support/scratch_dir.hpp"

namespace vintra::platform {
namespace {

using vintra::testing::ScratchDir;
using vintra::testing::write_file;

std::string slurp(const std::string& p) {
  auto text = read_file(p);
  return text ? *text : std::string("<unreadable>");
}

TEST(Files, WritersRefuseWhatIsNotARegularFileWithoutWaiting) {
  ScratchDir s;
  ASSERT_EQ(::mkfifo((s / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir((s / "dir").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((s / "victim").c_str(), (s / "link").c_str()), 0);
  for (const char* name : {"fifo", "dir", "link"}) {
    EXPECT_FALSE(open_append_nofollow(s / name)) << name;
    EXPECT_FALSE(open_truncate_nofollow(s / name)) << name;
  }
  EXPECT_FALSE(exists(s / "victim"));  // the link was not followed
  auto fd = open_append_nofollow(s / "plain");
  ASSERT_TRUE(fd);
  ASSERT_TRUE(write_all(fd->get(), "a\n"));
}

TEST(Files, CreateFreshReplacesAPlantedLinkInsteadOfFollowingIt) {
  ScratchDir s;
  write_file(s / "victim", "keep");
  ASSERT_EQ(::symlink((s / "victim").c_str(), (s / "tmp").c_str()), 0);
  auto fd = create_fresh(s / "tmp");
  ASSERT_TRUE(fd);
  ASSERT_TRUE(write_all(fd->get(), "new"));
  ASSERT_TRUE(fd->close());
  EXPECT_EQ(slurp(s / "victim"), "keep");
  EXPECT_EQ(entry_kind_nofollow(s / "tmp"), EntryKind::kRegular);
  EXPECT_EQ(slurp(s / "tmp"), "new");
}

TEST(Files, CreateDirectoriesMakesParentsAndReportsAFileInTheWay) {
  ScratchDir s;
  EXPECT_TRUE(create_directories(s / "a/b/c"));
  EXPECT_TRUE(create_directories(s / "a/b/c"));  // already there
  EXPECT_EQ(entry_kind_nofollow(s / "a/b/c"), EntryKind::kDirectory);
  write_file(s / "file", "x");
  auto st = create_directories(s / "file/sub");
  ASSERT_FALSE(st);
  EXPECT_NE(st.error().os_error(), 0);
  EXPECT_EQ(slurp(s / "file"), "x");
}

TEST(Process, ReportsExitCodesSignalsAndMissingPrograms) {
  auto ok_run = run_command("sh", {"-c", "exit 3"});
  ASSERT_TRUE(ok_run);
  EXPECT_EQ(ok_run->code, 3);
  EXPECT_EQ(ok_run->to_string(), "3");
  auto killed = run_command("sh", {"-c", "kill -9 $$"});
  ASSERT_TRUE(killed);
  EXPECT_FALSE(killed->code);
  EXPECT_EQ(killed->to_string(), "signal 9");
  auto missing = run_command("vintra-no-such-program", {});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().os_error(), ENOENT);
}

}  // namespace
}  // namespace vintra::platform
