#include "src/network/doh_block.hpp"

#include <gtest/gtest.h>

#include <cerrno>

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

TEST(DohAnchor, HasTheHeaderAndOneRulePerResolverAddress) {
  EXPECT_EQ(
      doh_anchor_text(),
      "# Korvane DLP DoH block \xE2\x80\x94 generated, do not edit\n"
      "block drop out proto tcp from any to 1.1.1.1 port 443  # Korvane-Block-DoH-Cloudflare\n"
      "block drop out proto tcp from any to 1.0.0.1 port 443  # Korvane-Block-DoH-Cloudflare\n"
      "block drop out proto tcp from any to 2606:4700:4700::1111 port 443  # Korvane-Block-DoH-Cloudflare\n"
      "block drop out proto tcp from any to 2606:4700:4700::1001 port 443  # Korvane-Block-DoH-Cloudflare\n"
      "block drop out proto tcp from any to 8.8.8.8 port 443  # Korvane-Block-DoH-Google\n"
      "block drop out proto tcp from any to 8.8.4.4 port 443  # Korvane-Block-DoH-Google\n"
      "block drop out proto tcp from any to 2001:4860:4860::8888 port 443  # Korvane-Block-DoH-Google\n"
      "block drop out proto tcp from any to 2001:4860:4860::8844 port 443  # Korvane-Block-DoH-Google\n"
      "block drop out proto tcp from any to 9.9.9.9 port 443  # Korvane-Block-DoH-Quad9\n"
      "block drop out proto tcp from any to 149.112.112.112 port 443  # Korvane-Block-DoH-Quad9\n"
      "block drop out proto tcp from any to 2620:fe::fe port 443  # Korvane-Block-DoH-Quad9\n"
      "block drop out proto tcp from any to 2620:fe::9 port 443  # Korvane-Block-DoH-Quad9\n"
      "block drop out proto tcp from any to 208.67.222.222 port 443  # Korvane-Block-DoH-OpenDNS\n"
      "block drop out proto tcp from any to 208.67.220.220 port 443  # Korvane-Block-DoH-OpenDNS\n"
      "block drop out proto tcp from any to 94.140.14.14 port 443  # Korvane-Block-DoH-AdGuard\n"
      "block drop out proto tcp from any to 94.140.15.15 port 443  # Korvane-Block-DoH-AdGuard\n"
      "block drop out proto tcp from any to 45.90.28.0 port 443  # Korvane-Block-DoH-NextDNS\n"
      "block drop out proto tcp from any to 45.90.30.0 port 443  # Korvane-Block-DoH-NextDNS\n");
}

TEST(DohAnchor, SystemPathsAreTheFixedOnes) {
  EXPECT_EQ(pf_conf_anchor_lines(),
            "# Korvane DoH anchor\n"
            "anchor \"korvane-doh-block\"\n"
            "load anchor \"korvane-doh-block\" from \"/etc/pf.anchors/korvane-doh-block\"\n");
  DohPaths system;
  EXPECT_EQ(system.managed_prefs_dir, "/Library/Managed Preferences");
  EXPECT_EQ(system.pf_conf, "/etc/pf.conf");
}

class DohBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_.managed_prefs_dir = dir_ / "Library/Managed Preferences";
    paths_.anchors_dir = dir_ / "pf.anchors";
    paths_.anchor_file = dir_ / "pf.anchors/korvane-doh-block";
    paths_.pf_conf = dir_ / "pf.conf";
  }

  std::string pref(std::string_view bundle) const {
    return paths_.managed_prefs_dir + "/" + std::string(bundle) + ".plist";
  }
  std::string write_call(std::string_view bundle) const {
    return "defaults|write|" + pref(bundle) + "|DnsOverHttpsMode|-string|off";
  }
  std::string delete_call(std::string_view bundle) const {
    return "defaults|delete|" + pref(bundle) + "|DnsOverHttpsMode";
  }
  std::vector<std::string> removal_calls() const {
    return {delete_call("com.google.Chrome"), delete_call("com.microsoft.Edge"),
            "pfctl|-f|" + paths_.pf_conf};
  }
  std::string lines() const { return pf_conf_anchor_lines(paths_); }

  ScratchDir dir_;
  StandIns standins_{dir_ / "bin"};
  DohPaths paths_;
  LogCapture log_;
};

TEST_F(DohBlockTest, ApplySetsBothPreferencesWritesTheAnchorAndHooksItIn) {
  write_file(paths_.pf_conf, "scrub-anchor \"com.apple/*\"\n");
  auto status = apply_doh_block(paths_);
  ASSERT_TRUE(status) << status.error().render();

  std::vector<std::string> expected = removal_calls();
  expected.insert(expected.end(), {write_call("com.google.Chrome"), write_call("com.microsoft.Edge"),
                                   "pfctl|-f|" + paths_.pf_conf, "pfctl|-e"});
  EXPECT_EQ(standins_.calls(), expected);
  EXPECT_TRUE(std::filesystem::is_directory(paths_.managed_prefs_dir));
  EXPECT_EQ(read_file(paths_.anchor_file), doh_anchor_text());
  EXPECT_EQ(read_file(paths_.pf_conf), "scrub-anchor \"com.apple/*\"\n" + lines());
  EXPECT_EQ(log_.entries(),
            (std::vector<std::string>{
                "INFO vintra_dlp::network::doh_block: DoH block cleaned up",
                "INFO vintra_dlp::network::doh_block: DoH block applied: browser policies + 6 firewall rules",
            }));
}

TEST_F(DohBlockTest, PfConfLinesAreAppendedOnceAndRemovedCleanly) {
  struct Case {
    const char* name;
    std::optional<std::string> before;  // nothing: no pf.conf
    std::string after_apply;
    std::string after_remove;
  } cases[] = {
      {"ends with a line feed", "a\nb\n", "a\nb\n" + lines(), "a\nb"},
      {"no final line feed", "a\nb", "a\nb\n" + lines(), "a\nb"},
      {"missing", std::nullopt, "\n" + lines(), ""},
      {"crlf", "a\r\nb\r\n", "a\nb\n" + lines(), "a\nb"},
      {"earlier block and a comment naming the anchor", "a\n" + lines() + "# see korvane-doh-block\nb\n",
       "a\nb\n" + lines(), "a\nb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(paths_.pf_conf);
    if (c.before) write_file(paths_.pf_conf, *c.before);
    auto status = apply_doh_block(paths_);
    ASSERT_TRUE(status) << status.error().render();
    EXPECT_EQ(read_file(paths_.pf_conf), c.after_apply);
    remove_doh_block(paths_);
    EXPECT_EQ(read_file(paths_.pf_conf), c.after_remove);
    EXPECT_FALSE(std::filesystem::exists(paths_.anchor_file));
  }
}

TEST_F(DohBlockTest, RemovalUndoesEverythingButLeavesPfEnabled) {
  ASSERT_TRUE(apply_doh_block(paths_));
  standins_.clear_calls();
  remove_doh_block(paths_);
  EXPECT_EQ(standins_.calls(), removal_calls());
  EXPECT_FALSE(std::filesystem::exists(paths_.anchor_file));
  EXPECT_EQ(log_.entries().back(), "INFO vintra_dlp::network::doh_block: DoH block cleaned up");
}

TEST_F(DohBlockTest, APfConfThatCannotBeReadIsNeverOverwritten) {
  struct Case {
    const char* name;
    std::function<void()> make;
    std::string cause;
  } cases[] = {
      {"not UTF-8", [&] { write_file(paths_.pf_conf, "pass all # caf\xE9\n"); },
       "stream did not contain valid UTF-8"},
      {"a directory", [&] { std::filesystem::create_directories(paths_.pf_conf + "/inner"); },
       os_error_text(EISDIR)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(paths_.pf_conf);
    c.make();
    auto snapshot = [&] {
      return std::filesystem::is_directory(paths_.pf_conf) ? std::string("<dir>") : read_file(paths_.pf_conf);
    };
    const std::string before = snapshot();
    const std::string warning = "WARN vintra_dlp::network::doh_block: DoH block: " + paths_.pf_conf +
                                " left unchanged: read " + paths_.pf_conf + "\n\nCaused by:\n    " + c.cause;
    std::size_t warned = log_.count(warning);

    auto status = apply_doh_block(paths_);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().render(), "update " + paths_.pf_conf + "\n\nCaused by:\n    " + c.cause);
    EXPECT_EQ(snapshot(), before);

    remove_doh_block(paths_);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(log_.count(warning),
              warned + 2);  // once in the clean-up that starts apply, once in the removal
    EXPECT_EQ(log_.entries().back(), "INFO vintra_dlp::network::doh_block: DoH block cleaned up");
  }
}

TEST_F(DohBlockTest, FailuresStopApplyAtTheirStep) {
  const std::string chrome_write = write_call("com.google.Chrome");
  const std::string edge_write = write_call("com.microsoft.Edge");
  struct Case {
    const char* name;
    std::string fail_glob;  // empty: none
    std::string how;
    const char* remove;  // stand-in to take away, or nullptr
    std::string error;   // empty: success
    std::vector<std::string> calls_after_removal;
  } cases[] = {
      {"chrome write exits 3",
       "defaults write *com.google.Chrome*",
       "3",
       nullptr,
       "Chrome managed pref\n\nCaused by:\n    defaults write " + pref("com.google.Chrome") +
           " DnsOverHttpsMode exit 3",
       {chrome_write}},
      {"edge write killed",
       "defaults write *com.microsoft.Edge*",
       "signal",
       nullptr,
       "Edge managed pref\n\nCaused by:\n    defaults write " + pref("com.microsoft.Edge") +
           " DnsOverHttpsMode exit signal 9",
       {chrome_write, edge_write}},
      {"defaults missing",
       "",
       "",
       "defaults",
       "Chrome managed pref\n\nCaused by:\n    " + os_error_text(ENOENT),
       {}},
      {"defaults delete fails",
       "defaults delete*",
       "1",
       nullptr,
       "",
       {chrome_write, edge_write, "pfctl|-f|" + paths_.pf_conf, "pfctl|-e"}},
      {"pfctl fails",
       "pfctl*",
       "1",
       nullptr,
       "",
       {chrome_write, edge_write, "pfctl|-f|" + paths_.pf_conf, "pfctl|-e"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandIns standins(dir_ / (std::string("bin-") + c.name));
    if (!c.fail_glob.empty()) standins.fail(c.fail_glob, c.how);
    if (c.remove) standins.remove(c.remove);
    write_file(paths_.pf_conf, "a\n");
    std::size_t applied = log_.count("DoH block applied");

    auto status = apply_doh_block(paths_);
    EXPECT_EQ(status ? std::string() : status.error().render(), c.error);

    std::vector<std::string> expected;
    if (!c.remove)
      expected = removal_calls();
    else
      expected = {"pfctl|-f|" + paths_.pf_conf};
    expected.insert(expected.end(), c.calls_after_removal.begin(), c.calls_after_removal.end());
    EXPECT_EQ(standins.calls(), expected);
    bool ok = c.error.empty();
    EXPECT_EQ(std::filesystem::exists(paths_.anchor_file), ok);
    EXPECT_EQ(read_file(paths_.pf_conf), ok ? "a\n" + lines() : "a");
    EXPECT_EQ(log_.count("DoH block applied: browser policies + 6 firewall rules"), applied + ok);
  }
}

TEST_F(DohBlockTest, PfctlMissingIsIgnored) {
  standins_.remove("pfctl");
  auto status = apply_doh_block(paths_);
  ASSERT_TRUE(status) << status.error().render();
  EXPECT_EQ(log_.count("DoH block applied: browser policies + 6 firewall rules"), 1u);
}

TEST_F(DohBlockTest, APlantedLinkAtTheAnchorPathNeverLeadsToItsTarget) {
  std::filesystem::create_directories(paths_.anchors_dir);
  write_file(dir_ / "victim", "precious\n");
  std::filesystem::create_symlink(dir_ / "victim", paths_.anchor_file);
  auto status = apply_doh_block(paths_);
  ASSERT_TRUE(status) << status.error().render();
  EXPECT_EQ(read_file(dir_ / "victim"), "precious\n");
  EXPECT_EQ(std::filesystem::symlink_status(paths_.anchor_file).type(), std::filesystem::file_type::regular);
  EXPECT_EQ(read_file(paths_.anchor_file), doh_anchor_text());
}

TEST_F(DohBlockTest, AnchorOrPfConfWriteFailuresCarryTheirContext) {
  // The anchor directory is a file: the anchor cannot be written, pf.conf is not updated.
  write_file(paths_.anchors_dir, "");
  write_file(paths_.pf_conf, "a\n");
  auto anchor = apply_doh_block(paths_);
  ASSERT_FALSE(anchor);
  EXPECT_EQ(anchor.error().render(),
            "write " + paths_.anchor_file + "\n\nCaused by:\n    " + os_error_text(ENOTDIR));
  EXPECT_EQ(read_file(paths_.pf_conf), "a");
  EXPECT_EQ(standins_.calls().back(), write_call("com.microsoft.Edge"));

  // pf.conf is a link: it is read through it but never written through it.
  std::filesystem::remove(paths_.anchors_dir);
  std::filesystem::remove(paths_.pf_conf);
  write_file(dir_ / "pf.conf.real", "a\n");
  std::filesystem::create_symlink(dir_ / "pf.conf.real", paths_.pf_conf);
  auto conf = apply_doh_block(paths_);
  ASSERT_FALSE(conf);
  EXPECT_EQ(conf.error().render(),
            "update " + paths_.pf_conf + "\n\nCaused by:\n    " + os_error_text(ELOOP));
  EXPECT_EQ(read_file(dir_ / "pf.conf.real"), "a\n");
  EXPECT_EQ(read_file(paths_.anchor_file), doh_anchor_text());
  EXPECT_EQ(log_.count("DoH block applied"), 0u);
}

}  // namespace
}  // namespace vintra::network
