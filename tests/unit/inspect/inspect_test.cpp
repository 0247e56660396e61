#include "src/inspector/inspect.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "src/events/event_line.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scratch_dir.hpp"
#include "tests/unit/inspect/support.hpp"

namespace vintra::inspector {
namespace {

using policy::Action;
using testing::catalogue;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::policies_from;
using vintra::testing::LogCapture;
using vintra::testing::ScratchDir;

constexpr const char* kAllowAll = "default_action: allow\n";
constexpr const char* kEmailCloudAlert =
    "policies:\n"
    "  - name: mail\n"
    "    detectors: [email]\n"
    "    contexts:\n"
    "      cloud: {action: alert}\n"
    "default_action: allow\n";

// Luhn-valid card numbers, none of which is also another entity's candidate.
constexpr const char* kThreeCardsOneBad =
    "visa 4111111111111111\nmc 5500000000000004\namex 378282246310005\nbad 4111111111111112\n";
// Fifteen digits that pass Luhn and have the shape of a French NIR.
constexpr const char* kCardAndNir = "ref 185123456789012 end\n";

enum class Kind { kFile, kMissing, kDirectory, kFifo, kSymlinkToFile };

struct Case {
  const char* name;
  Kind kind;
  std::string content;
  ScanSource source;
  const char* policies;
  std::vector<Finding> findings;
  Severity severity;
  Action action;
  ReadOutcome read;
  std::optional<Decision> event;  // the event's decision; nothing when no event
};

Finding finding(const char* entity, std::uint64_t n, Severity s) {
  return Finding{entity, n, s};
}

class InspectPathTest : public ::testing::TestWithParam<Case> {};

TEST_P(InspectPathTest, FindingsActionDecisionAndEvent) {
  const Case& c = GetParam();
  ScratchDir dir;
  std::string path = dir / "subject";
  switch (c.kind) {
    case Kind::kFile:
      dir.write("subject", c.content);
      break;
    case Kind::kMissing:
      break;
    case Kind::kDirectory:
      std::filesystem::create_directory(path);
      break;
    case Kind::kFifo:
      // Nobody ever writes to it: a job that opened it for reading would hang here.
      ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
      break;
    case Kind::kSymlinkToFile:
      dir.write("target", c.content);
      std::filesystem::create_symlink(dir / "target", path);
      break;
  }
  const ScanJob job{path, std::nullopt, 77, c.source};
  const InspectionResult r = inspect_path(job, *catalogue(), policies_from(c.policies));

  EXPECT_EQ(r.read, c.read);
  EXPECT_EQ(r.read_error.has_value(), c.read == ReadOutcome::kUnreadable);
  EXPECT_EQ(r.findings, c.findings);
  EXPECT_EQ(r.severity, c.severity);
  EXPECT_EQ(r.action, c.action);
  ASSERT_EQ(r.event.has_value(), c.event.has_value());
  if (c.event) {
    EXPECT_EQ(r.decision, *c.event);
    EXPECT_EQ(r.event->decision, *c.event);
    EXPECT_EQ(r.event->findings, c.findings);
    EXPECT_EQ(r.event->severity, c.severity);
  } else {
    EXPECT_EQ(r.decision, Decision::kAllowed);
  }
}

// One case per entry reads better than one field per line.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, InspectPathTest,
    ::testing::Values(
        Case{"UsbCleanIsPending", Kind::kFile, "nothing to see here\n", ScanSource::kUsb, kAllowAll, {},
             Severity::kLow, Action::kAllow, ReadOutcome::kRead, Decision::kPending},
        Case{"CloudCleanAllowedGivesNoEvent", Kind::kFile, "nothing to see here\n", ScanSource::kCloud, kAllowAll,
             {}, Severity::kLow, Action::kAllow, ReadOutcome::kRead, std::nullopt},
        Case{"EmptyFileIsClean", Kind::kFile, "", ScanSource::kUsb, kAllowAll, {}, Severity::kLow, Action::kAllow,
             ReadOutcome::kRead, Decision::kPending},
        Case{"CloudFindingsWithoutPolicyAreAllowed", Kind::kFile, "mail a@example.com\n", ScanSource::kCloud,
             kAllowAll, {finding("EMAIL", 1, Severity::kMedium)}, Severity::kMedium, Action::kAllow,
             ReadOutcome::kRead, Decision::kAllowed},
        Case{"CloudAlertIsPending", Kind::kFile, "mail a@example.com\n", ScanSource::kCloud, kEmailCloudAlert,
             {finding("EMAIL", 1, Severity::kMedium)}, Severity::kMedium, Action::kAlert, ReadOutcome::kRead,
             Decision::kPending},
        Case{"PolicyForCloudDoesNotFireForUsb", Kind::kFile, "mail a@example.com\n", ScanSource::kUsb,
             kEmailCloudAlert, {finding("EMAIL", 1, Severity::kMedium)}, Severity::kMedium, Action::kAllow,
             ReadOutcome::kRead, Decision::kPending},
        Case{"FallbackPoliciesAlertOnCleanCloudFile", Kind::kFile, "clean\n", ScanSource::kCloud,
             "default_action: alert\n", {}, Severity::kLow, Action::kAlert, ReadOutcome::kRead, Decision::kPending},
        Case{"ThreeValidCardsOneInvalid", Kind::kFile, kThreeCardsOneBad, ScanSource::kUsb, kAllowAll,
             {finding("CREDIT_CARD", 3, Severity::kCritical)}, Severity::kCritical, Action::kAllow,
             ReadOutcome::kRead, Decision::kPending},
        Case{"SameEmailTwiceCountsTwice", Kind::kFile, "a@example.com, again a@example.com\n", ScanSource::kUsb,
             kAllowAll, {finding("EMAIL", 2, Severity::kMedium)}, Severity::kMedium, Action::kAllow,
             ReadOutcome::kRead, Decision::kPending},
        Case{"CardThatIsAlsoNirGivesTwoFindings", Kind::kFile, kCardAndNir, ScanSource::kUsb, kAllowAll,
             {finding("CREDIT_CARD", 1, Severity::kCritical), finding("FRENCH_NIR", 1, Severity::kHigh)},
             Severity::kCritical, Action::kAllow, ReadOutcome::kRead, Decision::kPending},
        Case{"InvalidUtf8SplitsAnAddress", Kind::kFile, "ab\xff\xfe" "cd@example.com\n", ScanSource::kUsb,
             kAllowAll, {finding("EMAIL", 1, Severity::kMedium)}, Severity::kMedium, Action::kAllow,
             ReadOutcome::kRead, Decision::kPending},
        Case{"SymlinkIsFollowed", Kind::kSymlinkToFile, "mail a@example.com\n", ScanSource::kUsb, kAllowAll,
             {finding("EMAIL", 1, Severity::kMedium)}, Severity::kMedium, Action::kAllow, ReadOutcome::kRead,
             Decision::kPending},
        Case{"MissingUsbIsPending", Kind::kMissing, "", ScanSource::kUsb, kAllowAll, {}, Severity::kLow,
             Action::kAllow, ReadOutcome::kUnreadable, Decision::kPending},
        Case{"MissingCloudGivesNoEvent", Kind::kMissing, "", ScanSource::kCloud, kAllowAll, {}, Severity::kLow,
             Action::kAllow, ReadOutcome::kUnreadable, std::nullopt},
        Case{"DirectoryUsbIsPending", Kind::kDirectory, "", ScanSource::kUsb, kAllowAll, {}, Severity::kLow,
             Action::kAllow, ReadOutcome::kUnreadable, Decision::kPending},
        Case{"DirectoryCloudGivesNoEvent", Kind::kDirectory, "", ScanSource::kCloud, kAllowAll, {},
             Severity::kLow, Action::kAllow, ReadOutcome::kUnreadable, std::nullopt},
        Case{"FifoIsNotReadAndDoesNotHang", Kind::kFifo, "", ScanSource::kUsb, kAllowAll, {}, Severity::kLow,
             Action::kAllow, ReadOutcome::kUnreadable, Decision::kPending}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });
// clang-format on

// The size limit is on the file's metadata: exactly MAX_SCAN_BYTES is read whole (the
// address at its very end is found), one byte more is not read at all.
TEST(InspectPath, SizeLimit) {
  ScratchDir dir;
  const std::string tail = " a@example.com";
  for (const std::uint64_t size : {MAX_SCAN_BYTES, MAX_SCAN_BYTES + 1}) {
    const std::string path = dir / "big";
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << "x";
    }
    std::filesystem::resize_file(path, size - tail.size());  // a sparse run of NUL bytes
    {
      std::ofstream out(path, std::ios::binary | std::ios::app);
      out << tail;
    }
    ASSERT_EQ(std::filesystem::file_size(path), size);
    const InspectionResult r =
        inspect_path({path, std::nullopt, size, ScanSource::kUsb}, *catalogue(), policies_from(kAllowAll));
    if (size == MAX_SCAN_BYTES) {
      EXPECT_EQ(r.read, ReadOutcome::kRead);
      EXPECT_EQ(r.bytes_read, MAX_SCAN_BYTES);
      EXPECT_THAT(r.findings, ElementsAre(finding("EMAIL", 1, Severity::kMedium)));
    } else {
      EXPECT_EQ(r.read, ReadOutcome::kTooLarge);
      EXPECT_EQ(r.bytes_read, 0u);
      EXPECT_THAT(r.findings, IsEmpty());
      ASSERT_TRUE(r.event.has_value());
      EXPECT_EQ(r.event->severity, Severity::kLow);
    }
  }
}

// The buffer is sized from the metadata, but what the file holds beyond that (it grew
// since, or it is a kernel file that reports no size) is still read, up to the limit.
TEST(InspectPath, ReadsPastASizeTheMetadataUnderstates) {
  const std::string path = "/proc/self/smaps";  // tens of kilobytes: more than one read
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) != 0 || ec)
    GTEST_SKIP() << "needs a /proc file that reports size 0";
  const InspectionResult r =
      inspect_path({path, std::nullopt, 0, ScanSource::kUsb}, *catalogue(), policies_from(kAllowAll));
  EXPECT_EQ(r.read, ReadOutcome::kRead);
  EXPECT_GT(r.bytes_read, 8192u);
}

TEST(InspectPath, EventFieldsComeFromTheJob) {
  ScratchDir dir;
  dir.write("notes.txt", "mail a@example.com\n");
  // A relative path stays relative; the size is the producer's, not the file's.
  const std::string cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(dir / "");
  const auto before = std::chrono::system_clock::now();
  const InspectionResult r = inspect_path({"./notes.txt", "KEY", 4096, ScanSource::kCloud}, *catalogue(),
                                          policies_from(kEmailCloudAlert));
  const auto after = std::chrono::system_clock::now();
  std::filesystem::current_path(cwd);

  ASSERT_TRUE(r.event.has_value());
  const DlpEvent& e = *r.event;
  EXPECT_EQ(e.file_path, "./notes.txt");
  EXPECT_EQ(e.file_size, 4096u);
  EXPECT_EQ(e.drive_label, std::optional<std::string>("KEY"));
  EXPECT_EQ(e.channel, Channel::kCloudSync);
  EXPECT_EQ(e.direction, Direction::kOutbound);
  EXPECT_EQ(e.process, std::nullopt);
  EXPECT_EQ(e.decided_by, std::nullopt);
  EXPECT_EQ(e.decided_at, std::nullopt);
  // The id is the creation time in nanoseconds; the timestamp is read after it.
  const std::int64_t id = std::stoll(e.id);
  EXPECT_EQ(std::to_string(id), e.id);
  EXPECT_GE(id, *nanoseconds_since_epoch(before.time_since_epoch()));
  EXPECT_LE(id, e.timestamp.time_since_epoch().count());
  EXPECT_LE(e.timestamp, std::chrono::time_point_cast<std::chrono::nanoseconds>(after));

  const InspectionResult usb = inspect_path({dir / "notes.txt", std::nullopt, 1, ScanSource::kUsb},
                                            *catalogue(), policies_from(kAllowAll));
  ASSERT_TRUE(usb.event.has_value());
  EXPECT_EQ(usb.event->channel, Channel::kRemovableUsb);
  EXPECT_EQ(usb.event->drive_label, std::nullopt);
}

TEST(InspectPath, ObserverSeesEveryCandidateWithItsVerdict) {
  ScratchDir dir;
  const std::string text = "bad 4111111111111112 good 4111111111111111 x@example.org";
  const std::string path = dir.write("f", text);
  struct Seen {
    std::string entity;
    std::size_t start, end;
    std::string matched;
    bool retained;
  };
  std::vector<Seen> seen;
  inspect_path({path, std::nullopt, 0, ScanSource::kUsb}, *catalogue(), policies_from(kAllowAll),
               [&](const Candidate& c, std::string_view m, bool retained) {
                 seen.push_back({std::string(c.entity), c.start, c.end, std::string(m), retained});
               });
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].entity, "CREDIT_CARD");
  EXPECT_EQ(seen[0].matched, "4111111111111112");
  EXPECT_FALSE(seen[0].retained);
  EXPECT_EQ(seen[1].matched, "4111111111111111");
  EXPECT_TRUE(seen[1].retained);
  EXPECT_EQ(seen[2].entity, "EMAIL");
  EXPECT_TRUE(seen[2].retained);
  for (const Seen& s : seen) EXPECT_EQ(text.substr(s.start, s.end - s.start), s.matched);
}

TEST(InspectFile, SendsTheEvent) {
  ScratchDir dir;
  const std::string path = dir.write("f", "a@example.com");
  auto [tx, rx] = runtime::make_bounded_queue<DlpEvent>(4);
  inspect_file({path, std::nullopt, 13, ScanSource::kUsb}, catalogue(),
               std::make_shared<const policy::Policies>(policies_from(kAllowAll)), tx);
  tx.release();
  auto e = rx.receive();
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->file_path, path);
  EXPECT_THAT(e->findings, ElementsAre(finding("EMAIL", 1, Severity::kMedium)));
  EXPECT_FALSE(rx.receive().has_value()) << "the job released its sending handle";
}

TEST(InspectFile, CleanAndAllowedSendsNothing) {
  ScratchDir dir;
  const std::string path = dir.write("f", "clean");
  auto [tx, rx] = runtime::make_bounded_queue<DlpEvent>(4);
  inspect_file({path, std::nullopt, 5, ScanSource::kCloud}, catalogue(),
               std::make_shared<const policy::Policies>(policies_from(kAllowAll)), tx);
  tx.release();
  EXPECT_FALSE(rx.receive().has_value());
}

TEST(InspectFile, ClosedQueueLogsOneErrorPerJob) {
  ScratchDir dir;
  const std::string path = dir.write("f", "a@example.com");
  auto [tx, rx] = runtime::make_bounded_queue<DlpEvent>(4);
  rx.close();
  const auto policies = std::make_shared<const policy::Policies>(policies_from(kAllowAll));
  LogCapture log("info");
  inspect_file({path, std::nullopt, 13, ScanSource::kUsb}, catalogue(), policies, tx);
  inspect_file({dir / "missing", std::nullopt, 0, ScanSource::kUsb}, catalogue(), policies, tx);
  EXPECT_THAT(log.entries(), ElementsAre("ERROR vintra_dlp: out channel closed: channel closed",
                                         "ERROR vintra_dlp: out channel closed: channel closed"));
}

TEST(EventId, NanosecondsSinceEpochRange) {
  using namespace std::chrono;
  EXPECT_EQ(nanoseconds_since_epoch(seconds(0)), 0);
  EXPECT_EQ(nanoseconds_since_epoch(seconds(1717430400)), 1717430400000000000);
  EXPECT_EQ(nanoseconds_since_epoch(seconds(-1)), -1000000000);
  EXPECT_EQ(nanoseconds_since_epoch(microseconds(-1)), -1000);
  EXPECT_EQ(nanoseconds_since_epoch(nanoseconds(INT64_MAX)), INT64_MAX);
  EXPECT_EQ(nanoseconds_since_epoch(nanoseconds(INT64_MIN)), INT64_MIN);
  EXPECT_EQ(nanoseconds_since_epoch(seconds(9223372036)), 9223372036000000000);
  EXPECT_EQ(nanoseconds_since_epoch(seconds(9223372037)), std::nullopt);
  EXPECT_EQ(nanoseconds_since_epoch(seconds(-9223372036)), -9223372036000000000);
  EXPECT_EQ(nanoseconds_since_epoch(seconds(-9223372037)), std::nullopt);
  EXPECT_EQ(nanoseconds_since_epoch(duration<std::int64_t, std::pico>(-1)), -1);  // floored
}

// Ids are the clock's nanoseconds, yet never repeat, even for events created within
// one tick of a coarse clock on several threads at once.
TEST(EventId, StrictlyIncreasingAcrossThreads) {
  constexpr int kPerThread = 2000;
  std::vector<std::vector<std::int64_t>> ids(4);
  {
    std::vector<std::jthread> threads;
    for (auto& out : ids)
      threads.emplace_back([&out] {
        for (int i = 0; i < kPerThread; ++i) out.push_back(std::stoll(next_event_id()));
      });
  }
  std::set<std::int64_t> all;
  for (const auto& v : ids) {
    for (std::size_t i = 1; i < v.size(); ++i) ASSERT_LT(v[i - 1], v[i]);
    all.insert(v.begin(), v.end());
  }
  EXPECT_EQ(all.size(), ids.size() * kPerThread);
}

}  // namespace
}  // namespace vintra::inspector
