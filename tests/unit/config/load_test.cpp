#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/config/load.hpp"
#include "tests/support/scratch_dir.hpp"

namespace vintra::config {
namespace {

namespace fs = std::filesystem;

using vintra::testing::ScratchDir;

// The defaults with their path keys resolved against `base`.
AppConfig defaults_at(const std::string& base) {
  AppConfig c;
  c.agent.data_dir = base + "/data";
  c.logging.directory = base + "/logs";
  c.vintra_threats.sigma_rules_path = base + "/rules/sigma";
  c.vintra_threats.yara_rules_path = base + "/rules/yara";
  return c;
}

class LoadConfig : public ::testing::Test {
 protected:
  ConfigInputs inputs(std::vector<std::pair<std::string, std::string>> env = {}) const {
    return ConfigInputs{exe.path(), cwd.path(), std::move(env)};
  }
  AppConfig load_ok(const ConfigInputs& in) const {
    auto got = load_config_from(in);
    EXPECT_TRUE(got) << got.error().render();
    return got ? *got : AppConfig{};
  }
  std::string load_error(const ConfigInputs& in) const {
    auto got = load_config_from(in);
    EXPECT_FALSE(got);
    return got ? std::string() : got.error().render();
  }

  ScratchDir exe;
  ScratchDir cwd;
};

TEST_F(LoadConfig, NothingGivenYieldsTheDefaultsWithPathsBesideTheExecutable) {
  EXPECT_EQ(load_ok(inputs()), defaults_at(exe.path()));
}

TEST_F(LoadConfig, AFileSettingOneKeyKeepsEveryOtherDefault) {
  exe.write("config.toml", "[vintra_dlp]\nenabled = true\n");
  AppConfig want = defaults_at(exe.path());
  want.vintra_dlp.enabled = true;
  AppConfig got = load_ok(inputs());
  EXPECT_EQ(got, want);
  EXPECT_EQ(got.vintra_dlp.cloud_folders,
            (std::vector<std::string>{"OneDrive", "Dropbox", "MEGA", "MEGAsync", "Google Drive"}));
  EXPECT_TRUE(got.vintra_dlp.network.blocked_domains.empty());
}

TEST_F(LoadConfig, FileLookupBesideTheExecutableThenInTheWorkingDirectory) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> exe_files;
    std::vector<std::pair<const char*, const char*>> cwd_files;
    const char* want_level;  // logging.level after loading
  } cases[] = {
      {"only the working directory", {}, {{"config.toml", "logging.level = 'cwd'"}}, "cwd"},
      {"both: the executable's wins",
       {{"config.toml", "logging.level = 'exe'"}},
       {{"config.toml", "logging.level = 'cwd'"}},
       "exe"},
      {"another extension beside the executable needs config.toml there",
       {{"config.json", R"({"logging": {"level": "exe-json"}})"}},
       {{"config.yaml", "logging: {level: cwd-yaml}"}},
       "cwd-yaml"},
      {"config.toml decides the stem; .toml is tried first",
       {{"config.toml", "logging.level = 'exe-toml'"}, {"config.json", R"({"logging": {"level": "exe-json"}})"}},
       {},
       "exe-toml"},
      {".yaml before .yml", {}, {{"config.yml", "logging: {level: yml}"}, {"config.yaml", "logging: {level: yaml}"}}, "yaml"},
      {"a file named exactly config switches the file layer off",
       {{"config", "logging.level = 'bare'"}, {"config.toml", "logging.level = 'exe'"}},
       {},
       "info"},
      {"no candidate at all", {{"other.toml", "logging.level = 'x'"}}, {{"config.txt", "x"}}, "info"},
      {"ron", {}, {{"config.ron", "(logging: (level: \"ron\"))"}}, "ron"},
      {"json5", {}, {{"config.json5", "{logging: {level: 'json5'}}"}}, "json5"},
      {"ini", {}, {{"config.ini", "[logging]\nlevel = ini\n"}}, "ini"},
      {"an empty YAML file", {}, {{"config.yaml", ""}}, "info"},
  };
  for (const auto& c : cases) {
    ScratchDir e;
    ScratchDir w;
    for (const auto& [name, content] : c.exe_files) e.write(name, content);
    for (const auto& [name, content] : c.cwd_files) w.write(name, content);
    auto got = load_config_from(ConfigInputs{e.path(), w.path(), {}});
    ASSERT_TRUE(got) << c.name << ": " << got.error().render();
    EXPECT_EQ(got->logging.level, c.want_level) << c.name;
  }
}

TEST_F(LoadConfig, AnyKindOfConfigTomlEntryDecidesTheStem) {
  // A directory named config.toml beside the executable: the stem is there, and the
  // next extension is read from there.
  fs::create_directory(exe / "config.toml");
  exe.write("config.json", R"({"logging": {"level": "exe-json"}})");
  cwd.write("config.toml", "logging.level = 'cwd'");
  EXPECT_EQ(load_ok(inputs()).logging.level, "exe-json");

  // A dangling link has no metadata to read: the working directory is used.
  ScratchDir e;
  fs::create_symlink(e / "missing", e / "config.toml");
  e.write("config.json", R"({"logging": {"level": "exe-json"}})");
  EXPECT_EQ(load_ok(ConfigInputs{e.path(), cwd.path(), {}}).logging.level, "cwd");
}

TEST_F(LoadConfig, UnknownExecutableDirectoryLooksInTheWorkingDirectoryAndResolvesAgainstIt) {
  cwd.write("config.toml", "[agent]\ndata_dir = 'state'\n");
  auto got = load_ok(ConfigInputs{std::nullopt, cwd.path(), {}});
  EXPECT_EQ(got.agent.data_dir, cwd.path() + "/state");
  EXPECT_EQ(got.logging.directory, cwd.path() + "/logs");
}

TEST_F(LoadConfig, ParseErrorsNameTheFile) {
  struct Case {
    const char* file;
    const char* content;
    const char* detail;
  } cases[] = {
      {"config.toml", "[vintra_dlp\nenabled = true\n", "line 1"},
      {"config.json", "{\"a\": }", "invalid JSON"},
      {"config.yaml", "a: 1\n---\nb: 2\n", "line 2, column 1: a second document is not accepted"},
      {"config.ini", "[s]\nbroken\n", "line 2: syntax error"},
      {"config.ron", "(a: )", "line 1, column 5"},
      {"config.json5", "{a: 01}", "leading zeros"},
      {"config.json", "[1, 2]", "the top level must be a table, found a list"},
      {"config.yaml", "just text", "the top level must be a table, found \"just text\""},
  };
  for (const auto& c : cases) {
    ScratchDir w;
    w.write(c.file, c.content);
    auto got = load_config_from(ConfigInputs{std::nullopt, w.path(), {}});
    ASSERT_FALSE(got) << c.file;
    std::string text = got.error().render();
    EXPECT_EQ(got.error().message(), "cannot parse configuration file " + w / c.file) << text;
    EXPECT_NE(text.find(c.detail), std::string::npos) << text;
  }
}

TEST_F(LoadConfig, AnUnreadableFileAddsNothing) {
  if (::geteuid() != 0) {
    exe.write("config.toml", "[vintra_dlp]\nenabled = true\n");
    fs::permissions(exe / "config.toml", fs::perms::none);
  } else if (fs::exists("/proc/self/mem")) {
    // Root reads any file; this regular file fails every read at offset 0 (EIO).
    fs::create_symlink("/proc/self/mem", exe / "config.toml");
  } else {
    GTEST_SKIP() << "no file that root cannot read";
  }
  EXPECT_EQ(load_ok(inputs()), defaults_at(exe.path()));
}

TEST_F(LoadConfig, EnvironmentVariables) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> env;
    std::function<bool(const AppConfig&)> check;
    const char* error;  // when loading must fail
  } cases[] = {
      {{{"EDR__VINTRA_DLP__ENABLED", "TRUE"}}, [](const AppConfig& c) { return c.vintra_dlp.enabled; }, nullptr},
      {{{"EDR__VINTRA_DLP__ENABLED", "Yes"}}, [](const AppConfig& c) { return c.vintra_dlp.enabled; }, nullptr},
      {{{"EDR__VINTRA_DLP__USB_POLL_SECONDS", "yes"}},
       [](const AppConfig& c) { return c.vintra_dlp.usb_poll_seconds == 1; }, nullptr},
      {{{"edr__logging__level", "debug"}}, [](const AppConfig& c) { return c.logging.level == "debug"; }, nullptr},
      {{{"Edr__Logging__Level", "debug"}}, [](const AppConfig& c) { return c.logging.level == "debug"; }, nullptr},
      {{{"EDR__VINTRA_DLP__NETWORK__IPV6_BLOCK", "off"}},
       [](const AppConfig& c) { return !c.vintra_dlp.network.ipv6_block; }, nullptr},
      {{{"EDR__SENDER__API_KEY", ""}}, [](const AppConfig& c) { return c.sender.api_key.empty(); }, nullptr},
      {{{"EDR__AGENT__HOSTNAME", ""}}, [](const AppConfig& c) { return c.agent.hostname == std::string(); }, nullptr},
      // Not ours: a single underscore, another prefix, an unknown key, an empty segment.
      {{{"EDR_LOGGING_LEVEL", "debug"}, {"XEDR__LOGGING__LEVEL", "debug"}, {"EDR", "x"}},
       [](const AppConfig& c) { return c.logging.level == "info"; }, nullptr},
      {{{"EDR__NO_SUCH__KEY", "x"}, {"EDR__VINTRA_DLP__NOPE", "x"}, {"EDR__", "x"}, {"EDR____ENABLED", "x"},
        {"EDR__VINTRA_DLP____ENABLED", "maybe"}, {"EDR__VINTRA_DLP__ENABLED__", "x"}},
       [this](const AppConfig& c) { return c == defaults_at(exe.path()); },
       nullptr},
      // Names or values that are not UTF-8 are left out, whatever they name.
      {{{"EDR__VINTRA_DLP__ENABLED", "\xff"}, {"EDR__LOGGING__LEVEL\xff", "x"}},
       [](const AppConfig& c) { return !c.vintra_dlp.enabled && c.logging.level == "info"; }, nullptr},
      // Of two variables for one key the later wins.
      {{{"EDR__LOGGING__LEVEL", "warn"}, {"edr__logging__level", "trace"}},
       [](const AppConfig& c) { return c.logging.level == "trace"; }, nullptr},
      // A deeper key keeps the rest of its section.
      {{{"EDR__VINTRA_DLP__NETWORK__ENABLED", "1"}},
       [](const AppConfig& c) { return c.vintra_dlp.network.enabled && c.vintra_dlp.network.dns_probe_interval_seconds == 600; },
       nullptr},
      {{{"EDR__VINTRA_DLP__ENABLED", "maybe"}}, nullptr,
       "invalid value for vintra_dlp.enabled: expected a boolean, found \"maybe\""},
      {{{"EDR__VINTRA_DLP__ENABLED", "2"}}, nullptr,
       "invalid value for vintra_dlp.enabled: expected a boolean, found \"2\""},
      {{{"EDR__VINTRA_DLP__NETWORK__IPV6_BLOCK", ""}}, nullptr,
       "invalid value for vintra_dlp.network.ipv6_block: expected a boolean, found \"\""},
      {{{"EDR__VINTRA_DLP__NETWORK__BLOCKED_DOMAINS", "a.com"}}, nullptr,
       "invalid value for vintra_dlp.network.blocked_domains: expected a list, found \"a.com\""},
      {{{"EDR__VINTRA_THREATS__IOC_MIN_CONFIDENCE", "4294967296"}}, nullptr,
       "invalid value for vintra_threats.ioc_min_confidence: expected an unsigned 32-bit integer, found \"4294967296\""},
      {{{"EDR__VINTRA_DLP", "1"}}, nullptr, "invalid value for vintra_dlp: expected a section, found \"1\""},
      // The Kelvin sign lower-cases to "k".
      {{{"EDR__VINTRA_THREATS__\xE2\x84\xAA" "EXT_EXTRA_DIRS", "/x"}}, nullptr,
       "invalid value for vintra_threats.kext_extra_dirs: expected a list"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    auto got = load_config_from(inputs(c.env));
    if (c.error != nullptr) {
      ASSERT_FALSE(got) << "case " << i;
      EXPECT_EQ(got.error().render().rfind(c.error, 0), 0u) << "case " << i << ": " << got.error().render();
    } else {
      ASSERT_TRUE(got) << "case " << i << ": " << got.error().render();
      EXPECT_TRUE(c.check(*got)) << "case " << i;
    }
  }
}

TEST_F(LoadConfig, EnvironmentOverridesTheFile) {
  exe.write("config.toml", "[logging]\nlevel = 'from-file'\ndirectory = 'file-logs'\n");
  AppConfig got = load_ok(inputs({{"EDR__LOGGING__LEVEL", "from-env"}}));
  EXPECT_EQ(got.logging.level, "from-env");
  EXPECT_EQ(got.logging.directory, exe.path() + "/file-logs");
}

TEST_F(LoadConfig, BadValuesInSectionsThisProgramDoesNotReadStillFail) {
  struct Case {
    const char* toml;
    const char* error;
  } cases[] = {
      {"[vintra_threats]\nioc_min_confidence = 4294967296\n",
       "invalid value for vintra_threats.ioc_min_confidence: expected an unsigned 32-bit integer, found 4294967296"},
      {"[rmm]\ninventory_enabled = 'perhaps'\n",
       "invalid value for rmm.inventory_enabled: expected a boolean, found \"perhaps\""},
      {"[sender]\nbatch_size = -1\n", "invalid value for sender.batch_size: expected an unsigned integer, found -1"},
      {"[vintra_threats.response]\nallowlist_rules = 'one'\n",
       "invalid value for vintra_threats.response.allowlist_rules: expected a list, found \"one\""},
  };
  for (const auto& c : cases) {
    ScratchDir w;
    w.write("config.toml", c.toml);
    auto got = load_config_from(ConfigInputs{std::nullopt, w.path(), {}});
    ASSERT_FALSE(got) << c.toml;
    EXPECT_EQ(got.error().render(), c.error);
  }
  cwd.write("config.toml", "[vintra_threats]\nioc_min_confidence = 4294967295\nunknown = [1]\n[other]\nx = 1\n");
  EXPECT_EQ(load_ok(inputs()).vintra_threats.ioc_min_confidence, 4294967295u);
}

TEST_F(LoadConfig, TheSameSettingsInEveryNotationGiveTheSameRecord) {
  AppConfig want = defaults_at(exe.path());
  want.agent.data_dir = "/var/lib/agent";
  want.agent.hostname = "host-1";
  want.logging.level = "debug";
  want.vintra_threats.ioc_min_confidence = 4294967295u;
  want.vintra_threats.response.min_severity = "high";
  want.sender.server_url = "https://agent.example:9443";
  want.vintra_dlp.enabled = true;
  want.vintra_dlp.usb_poll_seconds = 7;
  want.vintra_dlp.network.enabled = true;
  want.vintra_dlp.network.ipv6_block = false;
  AppConfig want_ini = want;  // INI cannot give lists
  want.vintra_dlp.cloud_folders = {"Box", "iCloud"};
  want.vintra_dlp.network.blocked_domains = {"wetransfer.com", "pastebin.com"};

  const std::string fixtures = std::string(VINTRA_FIXTURES_DIR) + "/config/equivalent";
  for (const char* ext : {"toml", "json", "yaml", "ron", "json5", "ini"}) {
    ScratchDir e;
    fs::copy_file(fixtures + "/config." + std::string(ext), e / ("config." + std::string(ext)));
    // Any entry named config.toml makes the executable's directory the stem.
    if (std::string_view(ext) != "toml") fs::create_directory(e / "config.toml");
    auto got = load_config_from(ConfigInputs{e.path(), cwd.path(), {}});
    ASSERT_TRUE(got) << ext << ": " << got.error().render();
    AppConfig expected = std::string_view(ext) == "ini" ? want_ini : want;
    expected.logging.directory = e.path() + "/logs";
    expected.vintra_threats.sigma_rules_path = e.path() + "/rules/sigma";
    expected.vintra_threats.yara_rules_path = e.path() + "/rules/yara";
    EXPECT_EQ(*got, expected) << ext;
  }
}

TEST(ResolveRelativePaths, JoinsTheFourPathKeysToTheBase) {
  struct Case {
    const char* base;
    const char* value;
    const char* want;
  } cases[] = {
      {"/opt/x", "data", "/opt/x/data"},
      {"/opt/x", "/srv/data", "/srv/data"},
      {"/opt/x", "", "/opt/x/"},
      {"/opt/x", "a/../b", "/opt/x/a/../b"},
      {"/opt/x", "./d", "/opt/x/./d"},
      {"/", "data", "/data"},
      {"", "data", "data"},
  };
  for (const auto& c : cases) {
    AppConfig in;
    in.agent.data_dir = c.value;
    in.logging.directory = c.value;
    in.vintra_threats.sigma_rules_path = c.value;
    in.vintra_threats.yara_rules_path = c.value;
    in.vintra_dlp.events_file = "events";
    in.vintra_threats.ioc_file = "rules/iocs.json";
    AppConfig out = resolve_relative_paths(in, c.base);
    EXPECT_EQ(out.agent.data_dir, c.want) << c.base << " + " << c.value;
    EXPECT_EQ(out.logging.directory, c.want);
    EXPECT_EQ(out.vintra_threats.sigma_rules_path, c.want);
    EXPECT_EQ(out.vintra_threats.yara_rules_path, c.want);
    // No other key is touched.
    EXPECT_EQ(out.vintra_dlp.events_file, "events");
    EXPECT_EQ(out.vintra_threats.ioc_file, "rules/iocs.json");
  }
}

TEST(ResolveBase, ExecutableDirectoryThenWorkingDirectoryThenEmpty) {
  EXPECT_EQ(resolve_base(ConfigInputs{"/exe", "/cwd", {}}), "/exe");
  EXPECT_EQ(resolve_base(ConfigInputs{std::nullopt, "/cwd", {}}), "/cwd");
  EXPECT_EQ(resolve_base(ConfigInputs{std::nullopt, std::nullopt, {}}), "");
}

TEST_F(LoadConfig, TheShippedExampleLoads) {
  fs::copy_file(std::string(VINTRA_FIXTURES_DIR) + "/../../examples/config.toml", exe / "config.toml");
  AppConfig got = load_ok(inputs());
  EXPECT_TRUE(got.vintra_dlp.enabled);
  EXPECT_EQ(got.agent.data_dir, exe.path() + "/data");
  EXPECT_EQ(got.vintra_dlp.network.blocked_domains,
            (std::vector<std::string>{"wetransfer.com", "pastebin.com", "mega.nz"}));
}

TEST(LoadConfigProcess, LoadsFromTheRunningProcess) {
  auto got = load_config();
  ASSERT_TRUE(got) << got.error().render();
  EXPECT_EQ(got->agent.data_dir.front(), '/');
  EXPECT_EQ(got->logging.directory.front(), '/');
}

}  // namespace
}  // namespace vintra::config
