#include "src/network/policy_cache.hpp"

#include <gtest/gtest.h>

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

using Domains = std::vector<std::string>;

TEST(ParsePolicyCache, AcceptsTheObjectAndTheArrayFormOnly) {
  struct Case {
    const char* name;
    std::string_view json;
    std::optional<DlpPolicyCache> expected;
  } cases[] = {
      {"object", R"({"version":"7","blocked_domains":["a.example","b"],"fetched_at":"2025-03-04T09:00:00Z"})",
       DlpPolicyCache{"7", {"a.example", "b"}, "2025-03-04T09:00:00Z"}},
      {"other members ignored, repeats of them too",
       " \n{\"x\":{\"y\":[1,null]},\"fetched_at\":\"t\",\"x\":2,\"version\":\"v\"}\n\t ",
       DlpPolicyCache{"v", {}, "t"}},
      {"blocked_domains absent", R"({"version":"","fetched_at":""})", DlpPolicyCache{"", {}, ""}},
      {"escapes decoded", R"({"version":"\u00e9\n","fetched_at":"t","blocked_domains":["a\u002eb"]})",
       DlpPolicyCache{"\xC3\xA9\n", {"a.b"}, "t"}},
      {"array form", R"(["8", ["x.example"], "t"])", DlpPolicyCache{"8", {"x.example"}, "t"}},
      {"array of two", R"(["8", ["x.example"]])", std::nullopt},
      {"array of four", R"(["8", [], "t", 1])", std::nullopt},
      {"array with wrong kinds", R"(["8", "x.example", "t"])", std::nullopt},
      {"fetched_at missing", R"({"version":"7","blocked_domains":[]})", std::nullopt},
      {"version missing", R"({"fetched_at":"t"})", std::nullopt},
      {"version as number", R"({"version":7,"fetched_at":"t"})", std::nullopt},
      {"version null", R"({"version":null,"fetched_at":"t"})", std::nullopt},
      {"blocked_domains null", R"({"version":"7","blocked_domains":null,"fetched_at":"t"})", std::nullopt},
      {"domain not a string", R"({"version":"7","blocked_domains":["a",1],"fetched_at":"t"})", std::nullopt},
      {"duplicate version", R"({"version":"7","version":"7","fetched_at":"t"})", std::nullopt},
      {"duplicate blocked_domains",
       R"({"version":"7","blocked_domains":[],"blocked_domains":[],"fetched_at":"t"})", std::nullopt},
      {"trailing text", R"({"version":"7","fetched_at":"t"} x)", std::nullopt},
      {"second value", R"({"version":"7","fetched_at":"t"}{})", std::nullopt},
      {"byte-order mark", "\xEF\xBB\xBF{\"version\":\"7\",\"fetched_at\":\"t\"}", std::nullopt},
      {"invalid UTF-8 in an ignored member", "{\"version\":\"7\",\"fetched_at\":\"t\",\"n\":\"\xFF\"}",
       std::nullopt},
      {"not an object", R"("7")", std::nullopt},
      {"empty", "", std::nullopt},
      {"broken", R"({"version":"7",)", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = parse_policy_cache(c.json);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (!got) continue;
    EXPECT_EQ(got->version, c.expected->version);
    EXPECT_EQ(got->blocked_domains, c.expected->blocked_domains);
    EXPECT_EQ(got->fetched_at, c.expected->fetched_at);
  }
}

TEST(LoadPolicyCache, ReadsTheFileInTheDataDirectory) {
  ScratchDir dir;
  EXPECT_FALSE(load_policy_cache(dir.path()));
  EXPECT_FALSE(load_policy_cache(dir / "missing"));

  write_file(dir / "dlp_policy_remote.json", R"({"version":"3","blocked_domains":["a"],"fetched_at":"t"})");
  auto cache = load_policy_cache(dir.path());
  ASSERT_TRUE(cache);
  EXPECT_EQ(cache->version, "3");
  EXPECT_EQ(load_policy_cache(dir.path() + "/")->version, "3");

  std::filesystem::remove(dir / "dlp_policy_remote.json");
  std::filesystem::create_directory(dir / "dlp_policy_remote.json");
  EXPECT_FALSE(load_policy_cache(dir.path()));
}

TEST(MergeBlockedDomains, ConfiguredFirstTrimmedLowerCasedWithoutRepeats) {
  struct Case {
    const char* name;
    Domains configured, remote, merged;
  } cases[] = {
      {"configured entry first, remote duplicate dropped",
       {"A.Example"},
       {"b.example", "a.example"},
       {"a.example", "b.example"}},
      {"whitespace-only entries dropped", {"  ", ""}, {"\t\n", "x.example"}, {"x.example"}},
      {"padded mixed case", {" Example.COM "}, {}, {"example.com"}},
      {"unicode white space trimmed", {"\xC2\xA0y.example\xE3\x80\x80"}, {}, {"y.example"}},
      {"malformed bytes are never trimmed",
       {"\xE0\x80\xA0"
        "a\x80"},
       {},
       {"\xE0\x80\xA0"
        "a\x80"}},
      {"only ASCII letters lower-cased",
       {"\xC3\x84"
        "B.example"},
       {},
       {"\xC3\x84"
        "b.example"}},
      {"repeats within one list", {"a", "A", " a"}, {"a"}, {"a"}},
      {"nothing", {}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(merge_blocked_domains(c.configured, c.remote), c.merged);
  }
}

class PolicyReloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inputs_.data_dir = dir_ / "data";
    std::filesystem::create_directories(inputs_.data_dir);
    inputs_.hosts_paths.hosts = dir_ / "hosts";
    inputs_.hosts_paths.backup = dir_ / "hosts.korvane-backup";
    inputs_.network_enabled = true;
    write_file(inputs_.hosts_paths.hosts, "127.0.0.1 localhost\n");
  }
  void TearDown() override {
    task_ = std::jthread();  // stop and join before the stand-ins go
  }

  void write_cache(std::string_view json) {
    // Replaced whole, as the agent that fetches it does, so a tick never sees half a file.
    write_file(dir_ / "cache.tmp", json);
    std::filesystem::rename(dir_ / "cache.tmp", inputs_.data_dir + "/dlp_policy_remote.json");
  }
  void start(std::chrono::milliseconds period = std::chrono::milliseconds(5)) {
    task_ = std::jthread(
        [inputs = inputs_, period](std::stop_token st) { run_policy_reload(inputs, st, period); });
  }
  void stop() { task_ = std::jthread(); }

  // The lines of the task, in order, from its own target only.
  std::vector<std::string> main_lines() const {
    std::vector<std::string> out;
    for (const auto& l : log_.entries())
      if (l.find(" vintra_dlp: ") != std::string::npos) out.push_back(l);
    return out;
  }

  ScratchDir dir_;
  StandIns standins_{dir_ / "bin"};
  ReloadInputs inputs_;
  LogCapture log_;
  std::jthread task_;
};

TEST_F(PolicyReloadTest, AVersionChangeRewritesTheHostsBlockAndAnEarlierVersionIsAChangeToo) {
  inputs_.last_version = "7";
  inputs_.configured_domains = {"A.Example"};
  write_cache(R"({"version":"8","blocked_domains":["b.example","a.example"],"fetched_at":"t"})");
  start();
  ASSERT_TRUE(log_.wait_for("hosts: applied 2 blocked domains"));
  ASSERT_TRUE(log_.wait_for("DLP reload tick cached=8 last=8"));
  EXPECT_EQ(read_file(inputs_.hosts_paths.hosts),
            "127.0.0.1 localhost\n\n# BEGIN Korvane DLP\n127.0.0.1 a.example\n127.0.0.1 www.a.example\n"
            "127.0.0.1 b.example\n127.0.0.1 www.b.example\n# END Korvane DLP\n");
  EXPECT_EQ(standins_.calls(),
            (std::vector<std::string>{"dscacheutil|-flushcache", "killall|-HUP|mDNSResponder"}));

  write_cache(R"(["7", ["c.example"], "t"])");
  ASSERT_TRUE(log_.wait_for("hosts: applied 2 blocked domains", 2));
  ASSERT_TRUE(log_.wait_for("DLP reload tick cached=7 last=7", 2));
  stop();

  std::vector<std::string> lines = main_lines();
  std::vector<std::string> first_change = {
      "INFO vintra_dlp: DLP reload task started initial=7",
      "DEBUG vintra_dlp: DLP reload tick cached=8 last=7",
      "INFO vintra_dlp: DLP policy version changed \xE2\x80\x94 re-applying network block old=7 new=8 "
      "domains=2",
      "INFO vintra_dlp: merged config+remote, about to rewrite hosts merged_count=2",
      "DEBUG vintra_dlp: DLP reload tick cached=8 last=8",
  };
  ASSERT_GE(lines.size(), first_change.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5), first_change);
  EXPECT_EQ(log_.count("version changed"), 2u);
  EXPECT_EQ(log_.count("re-applying network block old=8 new=7 domains=1"), 1u);
  EXPECT_EQ(log_.count("merged_count=2"), 2u);
  EXPECT_NE(read_file(inputs_.hosts_paths.hosts).find("127.0.0.1 www.c.example\n"), std::string::npos);
  EXPECT_EQ(standins_.calls().size(), 4u);  // one flush per rewrite, none for unchanged ticks
}

TEST_F(PolicyReloadTest, NoValidCacheSkipsTheTick) {
  struct Case {
    const char* name;
    std::optional<std::string> json;
  } cases[] = {
      {"no file", std::nullopt},
      {"fetched_at missing", R"({"version":"8","blocked_domains":["x.example"]})"},
      {"version as number", R"({"version":8,"fetched_at":"t"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(inputs_.data_dir + "/dlp_policy_remote.json");
    if (c.json) write_cache(*c.json);
    std::size_t skips = log_.count("DLP reload: policy file not readable, skipping tick");
    std::size_t started = log_.count("DLP reload task started initial=");
    start();
    ASSERT_TRUE(
        log_.wait_for("DEBUG vintra_dlp: DLP reload: policy file not readable, skipping tick", skips + 2));
    stop();
    EXPECT_EQ(log_.count("DLP reload task started initial="), started + 1);
    EXPECT_EQ(log_.count("DLP reload tick"), 0u);
    EXPECT_EQ(read_file(inputs_.hosts_paths.hosts), "127.0.0.1 localhost\n");
  }
}

TEST_F(PolicyReloadTest, UnchangedVersionsLeaveTheHostsFileAlone) {
  struct Case {
    const char* name;
    std::string last;
    std::string json;
    std::string tick;
  } cases[] = {
      {"same version", "7", R"({"version":"7","blocked_domains":["x.example"],"fetched_at":"t"})",
       "DLP reload tick cached=7 last=7"},
      {"empty version, no version seen", "",
       R"({"version":"","blocked_domains":["x.example"],"fetched_at":"t"})", "DLP reload tick cached= last="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inputs_.last_version = c.last;
    write_cache(c.json);
    std::size_t ticks = log_.count(c.tick);
    start();
    ASSERT_TRUE(log_.wait_for(c.tick, ticks + 2));
    stop();
    EXPECT_EQ(log_.count("version changed"), 0u);
    EXPECT_EQ(read_file(inputs_.hosts_paths.hosts), "127.0.0.1 localhost\n");
    EXPECT_TRUE(standins_.calls().empty());
  }
}

TEST_F(PolicyReloadTest, WithNetworkDisabledChangesAreLoggedButHostsStayAlone) {
  inputs_.network_enabled = false;
  inputs_.last_version = "7";
  write_cache(R"({"version":"8","blocked_domains":["x.example"],"fetched_at":"t"})");
  start();
  ASSERT_TRUE(log_.wait_for("merged config+remote, about to rewrite hosts merged_count=1"));
  ASSERT_TRUE(log_.wait_for("DLP reload tick cached=8 last=8"));
  stop();
  EXPECT_EQ(read_file(inputs_.hosts_paths.hosts), "127.0.0.1 localhost\n");
  EXPECT_TRUE(standins_.calls().empty());
  EXPECT_EQ(log_.count("hosts:"), 0u);
}

TEST_F(PolicyReloadTest, AFailedRewriteIsLoggedAndTheVersionStillRemembered) {
  std::filesystem::remove(inputs_.hosts_paths.hosts);
  inputs_.last_version = "7";
  write_cache(R"({"version":"8","blocked_domains":["x.example"],"fetched_at":"t"})");
  start();
  ASSERT_TRUE(log_.wait_for("DLP reload tick cached=8 last=8"));
  stop();
  EXPECT_EQ(log_.count("ERROR vintra_dlp: hosts apply failed: read " + inputs_.hosts_paths.hosts +
                       "\n\nCaused by:\n    " + os_error_text(ENOENT)),
            1u);
  EXPECT_TRUE(standins_.calls().empty()) << "no flush after a failed rewrite";
}

TEST_F(PolicyReloadTest, TheFirstTickPassesWithoutWorkAndAStopEndsTheWait) {
  inputs_.last_version = "7";
  write_cache(R"({"version":"8","blocked_domains":["x.example"],"fetched_at":"t"})");
  start(std::chrono::hours(1));
  ASSERT_TRUE(log_.wait_for("DLP reload task started initial=7"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a wrong early check
  stop();                                                      // returns only once the task has ended
  EXPECT_EQ(main_lines(), (std::vector<std::string>{"INFO vintra_dlp: DLP reload task started initial=7"}));
  EXPECT_EQ(read_file(inputs_.hosts_paths.hosts), "127.0.0.1 localhost\n");
}

}  // namespace
}  // namespace vintra::network
