// Output on object storage as users run it: the program against a real S3 server (Swift's
// s3api on loopback), killed and started again on empty disks, through outages of the server.
// What the bucket holds is read through curl and the independent readers.

#include <atomic>
#include <cstdlib>
#include <regex>
#include <set>

#include "s3/client.h"
#include "tests/end_to_end/durable_run.h"
#include "tests/support/s3_rig.h"

namespace {

using namespace end_to_end;

const char *const kFinalNames[] = {"v2_event_historian_r1.parquet",
                                   "v2_event_historian_r1_cycle_summary.parquet",
                                   "v2_event_historian_r1_episodes.parquet"};

// The step file of walk_run's runs.
const char *const kWalkSteps = "v2_event_historian_r1_walk.parquet";

support::S3Rig &rig() { return support::S3Rig::shared(); }

std::string url_of(const std::string &prefix) { return "s3://" + rig().bucket() + "/" + prefix; }

std::string object_url(const std::string &key) {
  return rig().endpoint() + "/" + rig().bucket() + "/" + key;
}

// The keys under prefix, as a ListObjectsV2 through curl gives them.
std::vector<std::string> keys_under(const std::string &prefix) {
  const auto listed =
      rig().curl({object_url("") + "?list-type=2&prefix=" + s3::uri_encode(prefix, false)});
  EXPECT_EQ(listed.status, 200) << listed.error;
  std::vector<std::string> keys;
  const std::regex key("<Key>([^<]*)</Key>");
  for (auto it = std::sregex_iterator(listed.body.begin(), listed.body.end(), key);
       it != std::sregex_iterator(); ++it)
    keys.push_back((*it)[1]);
  std::sort(keys.begin(), keys.end());
  return keys;
}

// The multipart uploads begun and not finished under prefix.
int uploads_under(const std::string &prefix) {
  const auto listed =
      rig().curl({object_url("") + "?prefix=" + s3::uri_encode(prefix, false) + "&uploads="});
  EXPECT_EQ(listed.status, 200) << listed.error;
  int count = 0;
  for (std::size_t at = listed.body.find("<Upload>"); at != std::string::npos;
       at = listed.body.find("<Upload>", at + 1))
    ++count;
  return count;
}

// The object at key, downloaded by curl into dir.
fs::path download(const std::string &key, const fs::path &dir) {
  const fs::path file = dir / fs::path(key).filename();
  const auto got = rig().curl({"--create-dirs", "-o", file.string(), object_url(key)});
  EXPECT_EQ(got.status, 200) << key << " " << got.error;
  return file;
}

// Acknowledged entries of the group on stream: read minus pending, both from one answer (the
// historian reads on between two answers).
std::int64_t acknowledged(const std::string &url, const std::string &stream) {
  const auto fields = group_fields(url, stream);
  if (!fields.contains("entries-read") || !fields.contains("pending"))
    return -1;
  return fields.at("entries-read") - fields.at("pending");
}

TEST(Bucket, DurableRunKilledAnywhereGoesOnFromTheBucketOnAnEmptyDisk) {
  rig();
  support::RedisServer server;
  support::TempDir dir;

  // The reference: uninterrupted, staged in a temporary directory that goes once it is done.
  fs::create_directories(dir / "tmp");
  setenv("TMPDIR", (dir / "tmp").c_str(), 1);
  DurableRun reference(server, dir, "reference");
  {
    Args args = reference.args({"--output-url", url_of("reference")});
    const auto path = std::find(args.begin(), args.end(), "--output-path");
    args.erase(path, path + 2);
    Child child(args, dir);
    ASSERT_TRUE(reference.publish()) << child.err();
    ASSERT_TRUE(reference.settled()) << child.err();
    child.signal(SIGTERM);
    ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  }
  unsetenv("TMPDIR");
  EXPECT_TRUE(fs::is_empty(dir / "tmp"));
  std::vector<std::string> finals;
  for (const char *name : kFinalNames)
    finals.push_back(std::string("reference/") + name);
  EXPECT_EQ(keys_under("reference/"), finals);

  // Every write pauses; each start has a disk of its own, empty.
  setenv("HISTORIAN_TEST_PAUSE_MS", "100", 1);
  DurableRun crashed(server, dir, "crashed");
  const Args bucket = {"--output-url", url_of("crashed")};
  std::thread producer([&] { EXPECT_TRUE(crashed.publish()); });
  std::mt19937 random(11);
  const char *const points[] = {"upload", "checkpoint", "bucket checkpoint", "flush"};
  std::set<std::string> seen;
  for (int kill = 0; kill < 10; ++kill) {
    support::TempDir disk;
    const fs::path out = disk / "out";
    Child child(crashed.args(bucket, &out), disk);
    if (kill % 5 == 4) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 900));
      child.signal(SIGKILL);
      child.wait(std::chrono::seconds(10));
    } else if (kill_in(child, points[kill % 5], std::chrono::seconds(10))) {
      seen.insert(points[kill % 5]);
    }
    if (kill == 6) {
      // What a kill inside a multipart upload leaves: an upload begun under the parts.
      const auto begun = rig().curl({"-X", "POST",
                                     object_url("crashed/_parts/v2_event_historian_r1/"
                                                "v2_event_historian_r1.parquet.parts/"
                                                "part-00099.parquet?uploads=")});
      ASSERT_EQ(begun.status, 200) << begun.error;
    }
  }
  EXPECT_EQ(seen.size(), 4u) << ::testing::PrintToString(seen);
  {
    support::TempDir disk;
    const fs::path out = disk / "out";
    Child child(crashed.args(bucket, &out), disk);
    producer.join();
    ASSERT_TRUE(crashed.settled()) << child.err();
    EXPECT_EQ(uploads_under("crashed/"), 0);
    child.signal(SIGTERM);
    EXPECT_TRUE(kill_in(child, "final upload", std::chrono::seconds(30))) << child.err();
  }
  unsetenv("HISTORIAN_TEST_PAUSE_MS");
  {
    // It uploads the final files the kill cut short, and nothing else is left to do.
    support::TempDir disk;
    const fs::path out = disk / "out";
    Child child(crashed.args(bucket, &out), disk);
    ASSERT_TRUE(wait_until(
        [&] { return child.err().find("Started event processing") != std::string::npos; },
        std::chrono::seconds(30)))
        << child.err();
    child.signal(SIGTERM);
    ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  }

  finals.clear();
  for (const char *name : kFinalNames)
    finals.push_back(std::string("crashed/") + name);
  EXPECT_EQ(keys_under("crashed/"), finals);
  EXPECT_EQ(uploads_under("crashed/"), 0);
  support::TempDir fetched;
  for (const char *name : kFinalNames) {
    const fs::path want = download(std::string("reference/") + name, fetched / "reference");
    const fs::path got = download(std::string("crashed/") + name, fetched / "crashed");
    expect_same_files(want, got);
  }
  EXPECT_EQ(parquet::FileReader::open((fetched / "crashed" / kFinalNames[0]).string())->num_rows(),
            DurableRun::kCycles * DurableRun::kStepsPerCycle + DurableRun::kTrailingSteps);
}

// Steps flow while the server is stopped and then killed; it comes back 30 s later.
void ride_out_an_outage(bool durable) {
  rig();
  support::RedisServer server;
  support::TempDir dir;
  const std::string prefix = durable ? "outage-durable" : "outage-default";
  Args args = walk_run(server, dir);
  // The default mode writes a part per 500 rows; the durable one waits for its checkpoint at
  // 5,000 entries, fewer rounds of catching up on a loaded machine.
  args.insert(args.end(),
              {"--output-url", url_of(prefix), "--max-buffered-rows", durable ? "5000" : "500"});
  if (durable)
    args.insert(args.end(), {"--durable", "--flush-interval", "0.2"});
  Child child(args, dir);
  add_steps(server.url(), "steps", 0, 2000);
  ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();
  if (!durable) {
    ASSERT_TRUE(wait_until([&] { return !keys_under(prefix + "/_parts/").empty(); },
                           std::chrono::seconds(30)));
  }

  rig().pause_proxy();
  std::atomic<bool> flowing{true};
  std::thread producer([&] {
    for (int n = 2000; flowing && n < 20000; n += 100) {
      add_steps(server.url(), "steps", n, n + 100);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  // Nothing is acknowledged that the bucket does not hold: the count stands still while the
  // server is stopped and while it is gone. (Between the two, a request the stopped server took
  // may still be answered.)
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const std::int64_t acked_stopped = acknowledged(server.url(), "steps");
  std::this_thread::sleep_for(std::chrono::seconds(12));
  if (durable) {
    EXPECT_EQ(acknowledged(server.url(), "steps"), acked_stopped);
  }
  rig().resume_proxy();
  rig().kill_proxy();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::int64_t acked_gone = acknowledged(server.url(), "steps");
  std::this_thread::sleep_for(std::chrono::seconds(14));
  if (durable) {
    EXPECT_EQ(acknowledged(server.url(), "steps"), acked_gone);
  }
  rig().restart_proxy();
  flowing = false;
  producer.join();
  const std::int64_t total = command(server.url(), {"XLEN", "steps"}).integer;
  // A durable run tries its checkpoint again after a delay that grew during the outage.
  ASSERT_TRUE(wait_until(
      [&] {
        return group_field(server.url(), "steps", "lag") == 0 &&
               group_field(server.url(), "steps", "pending") == 0;
      },
      std::chrono::seconds(240)))
      << child.err();
  if (!durable) {
    // The parts that waited go up at the uploader's next try (at most 30 s later).
    EXPECT_TRUE(wait_until(
        [&] {
          return child.err().find("Uploads to " + url_of(prefix) + " go through again") !=
                 std::string::npos;
        },
        std::chrono::seconds(60)))
        << child.err();
  }
  child.signal(SIGTERM);
  ASSERT_EQ(child.wait(std::chrono::seconds(120)), 0) << child.err();

  EXPECT_EQ(keys_under(prefix + "/_parts/"), std::vector<std::string>{});
  support::TempDir fetched;
  const fs::path file = download(prefix + "/" + kWalkSteps, fetched.path());
  expect_all_steps(file, total);
}

TEST(Bucket, DurableModeHoldsReadingThroughAnOutageAndCatchesUp) { ride_out_an_outage(true); }

TEST(Bucket, DefaultModeUploadsWhatWaitedOnceTheServerIsBack) { ride_out_an_outage(false); }

TEST(Bucket, AFinalUploadThatKeepsFailingLeavesTheFilesAndExitsThree) {
  rig();
  support::RedisServer server;
  support::TempDir dir;
  Args args = walk_run(server, dir);
  args.insert(args.end(), {"--output-url", url_of("unreachable")});
  Child child(args, dir);
  add_steps(server.url(), "steps", 0, 300);
  ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();
  rig().kill_proxy();
  child.signal(SIGTERM);
  const int status = child.wait(std::chrono::seconds(120));
  rig().restart_proxy();
  EXPECT_EQ(status, 3) << child.err();
  const std::string err = child.err();
  const std::string line = "Upload of " + (dir / "out" / kWalkSteps).string() + " to " +
                           url_of("unreachable") + "/" + kWalkSteps + " failed";
  EXPECT_NE(err.find(line), std::string::npos) << err;
  expect_all_steps(dir / "out" / kWalkSteps, 300);
  const std::vector<std::string> keys = keys_under("unreachable/");
  EXPECT_EQ(std::count(keys.begin(), keys.end(), std::string("unreachable/") + kWalkSteps), 0);
}

} // namespace
