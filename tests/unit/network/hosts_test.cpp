#include "src/network/hosts.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <thread>

#include "tests/support/files.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scratch_dir.hpp"
#include "tests/unit/network/support.hpp"

namespace vintra::network {
namespace {

using testing::StandIns;
using vintra::testing::LogCapture;
using vintra::testing::read_file;
using vintra::testing::ScratchDir;
using vintra::testing::write_file;

constexpr std::string_view kBegin = "# BEGIN Korvane DLP\n";
constexpr std::string_view kEnd = "# END Korvane DLP\n";

std::string section(std::string_view entries) {
  return std::string(kBegin) + std::string(entries) + std::string(kEnd);
}

ino_t inode_of(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(StripManagedSection, RemovesEverySectionAndNormalisesLineEnds) {
  struct Case {
    const char* name;
    std::string_view in;
    std::string_view out;
  } cases[] = {
      {"empty", "", ""},
      {"no section", "a\nb\n", "a\nb\n"},
      {"no final line feed", "a\nb", "a\nb\n"},
      {"one section", "a\n# BEGIN Korvane DLP\nx\n# END Korvane DLP\nb\n", "a\nb\n"},
      {"several sections",
       "a\n# BEGIN Korvane DLP\nx\n# END Korvane DLP\nb\n# BEGIN Korvane DLP\ny\n# END Korvane DLP\nc",
       "a\nb\nc\n"},
      {"begin without end", "a\n# BEGIN Korvane DLP\nx\ny\n", "a\n"},
      {"lone end", "a\n# END Korvane DLP\nb\n", "a\nb\n"},
      {"indented markers", "a\n \t# BEGIN Korvane DLP  \nx\n\t# END Korvane DLP\r\nb\n", "a\nb\n"},
      {"crlf", "a\r\n# BEGIN Korvane DLP\r\nx\r\n# END Korvane DLP\r\nb\r\n", "a\nb\n"},
      {"kept lines unchanged", "  a \t\n\n\nb\rc\n", "  a \t\n\n\nb\rc\n"},
      {"marker with more text is not a marker", "# BEGIN Korvane DLP v2\nx\n", "# BEGIN Korvane DLP v2\nx\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(strip_managed_section(c.in), c.out);
  }
}

class HostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_.hosts = dir_ / "hosts";
    paths_.backup = dir_ / "hosts.korvane-backup";
  }

  ScratchDir dir_;
  HostsPaths paths_;
  LogCapture log_;
};

TEST_F(HostsTest, ApplyWritesTheSectionAtTheEnd) {
  struct Case {
    const char* name;
    std::string_view before;
    std::vector<std::string> domains;
    bool ipv6;
    std::string after;
    std::size_t count;
  } cases[] = {
      {"mixed case, padded duplicate, single label",
       "127.0.0.1 localhost\n",
       {"ExAmple.COM", " example.com ", "intranet"},
       false,
       "127.0.0.1 localhost\n\n" +
           section("127.0.0.1 example.com\n127.0.0.1 www.example.com\n127.0.0.1 www.intranet\n"),
       2},
      {"ipv6 lines follow each ipv4 line",
       "",
       {"a.example"},
       true,
       section(
           "127.0.0.1 a.example\n::1       a.example\n127.0.0.1 www.a.example\n::1       www.a.example\n"),
       1},
      {"single label with ipv6",
       "",
       {"intranet"},
       true,
       section("127.0.0.1 www.intranet\n::1       www.intranet\n"),
       1},
      {"empty list", "127.0.0.1 localhost\n", {}, false, "127.0.0.1 localhost\n\n" + section(""), 0},
      {"whitespace-only hosts file",
       " \n\t\n",
       {"a.example"},
       false,
       section("127.0.0.1 a.example\n127.0.0.1 www.a.example\n"),
       1},
      {"first occurrence decides the position",
       "",
       {"b.example", "A.example", " B.EXAMPLE\t", "a.example"},
       false,
       section(
           "127.0.0.1 b.example\n127.0.0.1 www.b.example\n127.0.0.1 a.example\n127.0.0.1 www.a.example\n"),
       2},
      {"www. prefix is doubled",
       "",
       {"www.example.com"},
       false,
       section("127.0.0.1 www.example.com\n127.0.0.1 www.www.example.com\n"),
       1},
      {"blank entries are skipped", "", {"", "  ", "\t\n"}, false, section(""), 0},
      {"trailing dot, empty labels and hyphens are kept",
       "",
       {"fqdn.example.", "a..b", "-x-.example"},
       false,
       section("127.0.0.1 fqdn.example.\n127.0.0.1 www.fqdn.example.\n127.0.0.1 a..b\n127.0.0.1 www.a..b\n"
               "127.0.0.1 -x-.example\n127.0.0.1 www.-x-.example\n"),
       3},
      {"old section replaced, user content kept",
       "127.0.0.1 localhost\n  \n\n# BEGIN Korvane DLP\n127.0.0.1 old.example\n# END Korvane DLP\n\n",
       {"new.example"},
       false,
       "127.0.0.1 localhost\n\n" + section("127.0.0.1 new.example\n127.0.0.1 www.new.example\n"),
       1},
      {"crlf user content",
       "127.0.0.1 localhost\r\n::1 localhost\r\n",
       {},
       false,
       "127.0.0.1 localhost\n::1 localhost\n\n" + section(""),
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(paths_.hosts, c.before);
    std::filesystem::remove(paths_.backup);
    auto count = apply_hosts_block(c.domains, c.ipv6, paths_);
    ASSERT_TRUE(count) << count.error().render();
    EXPECT_EQ(*count, c.count);
    EXPECT_EQ(read_file(paths_.hosts), c.after);
    EXPECT_EQ(log_.entries().back(), "INFO vintra_dlp::network::hosts: hosts: applied " +
                                         std::to_string(c.count) + " blocked domains");
  }
}

TEST_F(HostsTest, NamesThatWouldBreakTheFileAreSkippedWithAWarning) {
  write_file(paths_.hosts, "127.0.0.1 localhost\n");
  std::vector<std::string> domains = {
      "evil.com\n127.0.0.1 evil",
      "bank.example\r\n0.0.0.0 x",
      "a b.example",
      "x.example#c",
      "tab\tin.example",
      "under_score.example",
      "b\xC3\xBC"
      "cher.example",
      "ok.example",
      "\x01.example",
  };
  auto count = apply_hosts_block(domains, true, paths_);
  ASSERT_TRUE(count) << count.error().render();
  EXPECT_EQ(*count, 1u);
  EXPECT_EQ(read_file(paths_.hosts),
            "127.0.0.1 localhost\n\n" +
                section("127.0.0.1 ok.example\n::1       ok.example\n127.0.0.1 www.ok.example\n"
                        "::1       www.ok.example\n"));
  EXPECT_EQ(log_.count("WARN vintra_dlp::network::hosts: hosts: skipping invalid domain name domain="), 8u);
  EXPECT_EQ(log_.count(R"(domain="evil.com\n127.0.0.1 evil")"), 1u);
  EXPECT_EQ(log_.count(R"(domain="bank.example\r\n0.0.0.0 x")"), 1u);
  EXPECT_EQ(log_.count("hosts: applied 1 blocked domains"), 1u);
}

TEST_F(HostsTest, ApplyTwiceGivesTheSameFile) {
  write_file(paths_.hosts, "127.0.0.1 localhost\n");
  ASSERT_TRUE(apply_hosts_block({"a.example", "b"}, true, paths_));
  std::string once = read_file(paths_.hosts);
  ASSERT_TRUE(apply_hosts_block({"a.example", "b"}, true, paths_));
  EXPECT_EQ(read_file(paths_.hosts), once);
}

TEST_F(HostsTest, BackupIsWrittenOnceAndNeverTouchedAgain) {
  write_file(paths_.hosts, "127.0.0.1 localhost\n");
  ASSERT_TRUE(apply_hosts_block({"a.example"}, false, paths_));
  EXPECT_EQ(read_file(paths_.backup), "127.0.0.1 localhost\n");

  write_file(paths_.hosts, "10.0.0.1 changed\n");
  ASSERT_TRUE(apply_hosts_block({"b.example"}, false, paths_));
  EXPECT_EQ(read_file(paths_.backup), "127.0.0.1 localhost\n");
}

TEST_F(HostsTest, BackupNeverFollowsALinkAndItsFailureDoesNotStopApply) {
  // A dangling link planted at the backup path: it exists, so no backup is made, and
  // its target is never created.
  std::filesystem::create_symlink(dir_ / "victim", paths_.backup);
  write_file(paths_.hosts, "127.0.0.1 localhost\n");
  ASSERT_TRUE(apply_hosts_block({"a.example"}, false, paths_));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "victim"));

  // A backup that cannot be created at all.
  paths_.backup = dir_ / "missing-dir/hosts.korvane-backup";
  auto count = apply_hosts_block({"a.example"}, false, paths_);
  ASSERT_TRUE(count) << count.error().render();
}

TEST_F(HostsTest, ApplyReportsReadAndCreateFailuresAndLeavesTheFile) {
  auto missing = apply_hosts_block({"a.example"}, false, paths_);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().render(),
            "read " + paths_.hosts + "\n\nCaused by:\n    " + os_error_text(ENOENT));

  write_file(paths_.hosts, "127.0.0.1 caf\xE9\n");  // Latin-1, not UTF-8
  auto not_text = apply_hosts_block({"a.example"}, false, paths_);
  ASSERT_FALSE(not_text);
  EXPECT_EQ(not_text.error().render(),
            "read " + paths_.hosts + "\n\nCaused by:\n    stream did not contain valid UTF-8");
  EXPECT_EQ(read_file(paths_.hosts), "127.0.0.1 caf\xE9\n");
  EXPECT_FALSE(std::filesystem::exists(paths_.backup));

  // A directory where the temporary file belongs cannot be replaced by a file.
  write_file(paths_.hosts, "127.0.0.1 localhost\n");
  std::filesystem::create_directories(dir_ / "hosts.korvane-tmp/inner");
  auto blocked = apply_hosts_block({"a.example"}, false, paths_);
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error().message(), "create " + dir_ / "hosts.korvane-tmp");
  EXPECT_EQ(blocked.error().causes().size(), 1u);
  EXPECT_EQ(read_file(paths_.hosts), "127.0.0.1 localhost\n");
  EXPECT_EQ(log_.count("hosts: applied"), 0u);
}

TEST_F(HostsTest, RemovalRewritesOnlyWhenThereIsSomethingToStrip) {
  struct Case {
    const char* name;
    std::string_view before;
    RemoveOutcome outcome;
    std::string_view after;
  } cases[] = {
      {"no section, final line feed", "127.0.0.1 localhost\n", RemoveOutcome::kNothingToDo,
       "127.0.0.1 localhost\n"},
      {"empty file", "", RemoveOutcome::kNothingToDo, ""},
      {"section removed, trailing whitespace dropped",
       "127.0.0.1 localhost\n\n# BEGIN Korvane DLP\n127.0.0.1 x.example\n# END Korvane DLP\n",
       RemoveOutcome::kRemoved, "127.0.0.1 localhost"},
      {"crlf without section", "a\r\nb\r\n", RemoveOutcome::kRemoved, "a\nb"},
      {"no final line feed", "a\nb", RemoveOutcome::kRemoved, "a\nb"},
      {"begin without end", "a\n# BEGIN Korvane DLP\nb\n", RemoveOutcome::kRemoved, "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(paths_.hosts, c.before);
    ino_t before = inode_of(paths_.hosts);
    std::size_t logged = log_.count("INFO vintra_dlp::network::hosts: hosts: Korvane block removed");
    auto outcome = remove_hosts_block(paths_);
    ASSERT_TRUE(outcome) << outcome.error().render();
    EXPECT_EQ(*outcome, c.outcome);
    EXPECT_EQ(read_file(paths_.hosts), c.after);
    bool removed = c.outcome == RemoveOutcome::kRemoved;
    EXPECT_EQ(inode_of(paths_.hosts) != before, removed) << "rewritten through the temporary file";
    EXPECT_EQ(log_.count("INFO vintra_dlp::network::hosts: hosts: Korvane block removed"), logged + removed);
  }
}

TEST_F(HostsTest, RemovalOfAnUnreadableFileDoesNothingQuietly) {
  auto outcome = remove_hosts_block(paths_);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(*outcome, RemoveOutcome::kNothingToDo);
  EXPECT_FALSE(std::filesystem::exists(paths_.hosts));
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(HostsTest, ApplyThenRemoveRestoresTheTextWithoutTrailingWhitespace) {
  write_file(paths_.hosts, "127.0.0.1 localhost\n::1 localhost\n\n");
  ASSERT_TRUE(apply_hosts_block({"a.example"}, true, paths_));
  auto outcome = remove_hosts_block(paths_);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(*outcome, RemoveOutcome::kRemoved);
  EXPECT_EQ(read_file(paths_.hosts), "127.0.0.1 localhost\n::1 localhost");
}

TEST_F(HostsTest, ConcurrentOperationsNeverCollideOnTheTemporaryFile) {
  write_file(paths_.hosts, "127.0.0.1 localhost\n");
  std::atomic<int> failures{0};
  auto worker = [&](bool applies) {
    for (int i = 0; i < 40; ++i) {
      bool ok = applies ? apply_hosts_block({"a.example"}, false, paths_).has_value()
                        : remove_hosts_block(paths_).has_value();
      if (!ok) ++failures;
    }
  };
  std::thread a(worker, true), b(worker, false), c(worker, true);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(failures.load(), 0);
  std::string final_text = read_file(paths_.hosts);
  EXPECT_TRUE(final_text == "127.0.0.1 localhost" ||
              final_text ==
                  "127.0.0.1 localhost\n\n" + section("127.0.0.1 a.example\n127.0.0.1 www.a.example\n"))
      << final_text;
}

class ReplaceFileTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
};

TEST_F(ReplaceFileTest, APlantedLinkAtTheTemporaryPathIsNotFollowed) {
  const std::string target = dir_ / "hosts";
  const std::string victim = dir_ / "victim";
  write_file(target, "old\n");
  write_file(victim, "precious\n");
  std::filesystem::create_symlink(victim, dir_ / "hosts.korvane-tmp");

  auto status = replace_file_via_temp(target, "new\n");
  ASSERT_TRUE(status) << status.error().render();
  EXPECT_EQ(read_file(target), "new\n");
  EXPECT_EQ(read_file(victim), "precious\n");
  EXPECT_EQ(std::filesystem::symlink_status(target).type(), std::filesystem::file_type::regular);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir_ / "hosts.korvane-tmp")));
}

TEST_F(ReplaceFileTest, RenameFailureKeepsTheTemporaryFile) {
  const std::string target = dir_ / "hosts";
  std::filesystem::create_directories(target + "/inner");  // a file cannot replace it
  auto status = replace_file_via_temp(target, "new\n");
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), "rename to " + target);
  ASSERT_EQ(status.error().causes().size(), 1u);
  EXPECT_EQ(read_file(dir_ / "hosts.korvane-tmp"), "new\n");
}

TEST_F(ReplaceFileTest, WriteFailureIsTheBareOsErrorAndKeepsTheTemporaryFile) {
  const std::string target = dir_ / "hosts";
  write_file(target, "old\n");
  // A file-size limit makes the write fail part-way with EFBIG (SIGXFSZ ignored).
  struct rlimit old_limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 4;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  auto status = replace_file_via_temp(target, "0123456789");
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);

  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().render(), os_error_text(EFBIG));
  EXPECT_EQ(read_file(target), "old\n");
  EXPECT_EQ(read_file(dir_ / "hosts.korvane-tmp"), "0123");
}

TEST(FlushDnsCache, RunsBothCommandsInOrderAndIgnoresTheirOutcome) {
  ScratchDir dir;
  StandIns standins(dir / "bin");
  flush_dns_cache();
  EXPECT_EQ(standins.calls(),
            (std::vector<std::string>{"dscacheutil|-flushcache", "killall|-HUP|mDNSResponder"}));

  standins.clear_calls();
  standins.fail("dscacheutil*", "3");
  flush_dns_cache();
  EXPECT_EQ(standins.calls().size(), 2u);

  standins.remove("dscacheutil");
  standins.remove("killall");
  flush_dns_cache();  // neither can be started: nothing to report
}

}  // namespace
}  // namespace vintra::network
