// `inspect` and `report` on s3:// URLs as users run them: the demo's run and a large file in a
// real S3 server (Swift's s3api on loopback), read in place and printed as their local copies
// are; what the program fetched is counted in the server's own log.

#include <cstdlib>
#include <random>
#include <regex>
#include <sstream>

#include "s3/client.h"
#include "tests/end_to_end/program.h"
#include "tests/parquet/tables.h"
#include "tests/support/s3_rig.h"

namespace {

using namespace end_to_end;

const std::string kBase = "v2_event_historian_demo_walk";
const std::string kFiles[] = {kBase + ".parquet", kBase + "_cycle_summary.parquet",
                              kBase + "_episodes.parquet"};

support::S3Rig &rig() { return support::S3Rig::shared(); }

// Our own client, for the uploads.
s3::Client &bucket() {
  static s3::Client *client = [] {
    const std::string name = rig().bucket(); // sets the environment first
    return new s3::Client(s3::config_from_environment(), name);
  }();
  return *client;
}

std::string url_of(const std::string &key) { return "s3://" + rig().bucket() + "/" + key; }

// The demo's run, written once for the suite.
const fs::path &demo_output() {
  static support::TempDir dir;
  static const fs::path out = [] {
    const fs::path path = dir / "out";
    Child demo({"demo", "--output-path", path.string(), "--cycles", "3"}, dir);
    EXPECT_EQ(demo.wait(std::chrono::seconds(120)), 0) << demo.err();
    return path;
  }();
  return out;
}

void upload_demo(const std::string &prefix, const std::string &base = kBase) {
  for (const std::string &name : kFiles)
    bucket().upload_file(prefix + "/" + base + name.substr(kBase.size()),
                         (demo_output() / name).string());
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

Outcome run(const Args &args, const support::TempDir &dir) {
  Child child(args, dir);
  Outcome o;
  o.status = child.wait(std::chrono::seconds(120));
  o.out = child.out();
  o.err = child.err();
  return o;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// What the program printed of a file, but for its first line, "file: <where>".
std::string without_name(const std::string &printed) {
  EXPECT_TRUE(printed.starts_with("file: ")) << printed;
  return printed.substr(printed.find('\n') + 1);
}

// The GETs of key the proxy answered until now: their statuses and the bytes they sent. A
// request made after them is waited for in the log, which the proxy writes once a request is
// answered.
struct Fetched {
  std::vector<int> statuses;
  std::uint64_t bytes = 0;
};
Fetched fetched_from_log(const std::string &key) {
  static int marks = 0;
  const std::string mark = "log-mark-" + std::to_string(++marks);
  rig().curl({rig().endpoint() + "/" + rig().bucket() + "/" + mark});
  std::string log;
  EXPECT_TRUE(wait_until(
      [&] {
        log = rig().proxy_log();
        return log.find("/" + mark + " ") != std::string::npos;
      },
      std::chrono::seconds(10)));
  // method path protocol status referer user-agent auth-token bytes-received bytes-sent
  const std::regex line(" GET /" + rig().bucket() + "/" + key +
                        R"( HTTP/1\.[01] (\d+) \S+ \S+ \S+ \S+ (\d+|-) )");
  Fetched f;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
       ++it) {
    f.statuses.push_back(std::stoi((*it)[1]));
    f.bytes += (*it)[2] == "-" ? 0 : std::stoull((*it)[2]);
  }
  return f;
}

TEST(BucketRead, InspectPrintsObjectsAsTheirLocalCopies) {
  support::TempDir dir;
  const fs::path &out = demo_output();
  upload_demo("inspect");
  // A run's part, its checkpoint, and objects deeper than the prefix that are no part.
  const std::string part = "_parts/" + kBase + "/" + kBase + ".parquet.parts/part-00000.parquet";
  bucket().upload_file("inspect/" + part, (out / kFiles[0]).string());
  bucket().put("inspect/_parts/" + kBase + "/checkpoint.json", "{}");
  bucket().upload_file("inspect/elsewhere/" + kFiles[0], (out / kFiles[0]).string());

  for (const std::string &name : kFiles) {
    const Outcome local = run({"inspect", (out / name).string()}, dir);
    ASSERT_EQ(local.status, 0) << local.err;
    const Outcome remote = run({"inspect", url_of("inspect/" + name)}, dir);
    ASSERT_EQ(remote.status, 0) << remote.err;
    EXPECT_TRUE(remote.out.starts_with("file: " + url_of("inspect/" + name) + "\n")) << remote.out;
    EXPECT_EQ(without_name(remote.out), without_name(local.out)) << name;
  }

  // The prefix lists as the directory does, then the part; the rest is left out.
  const Outcome local = run({"inspect", out.string()}, dir);
  ASSERT_EQ(local.status, 0) << local.err;
  const Outcome remote = run({"inspect", url_of("inspect")}, dir);
  ASSERT_EQ(remote.status, 0) << remote.err;
  std::vector<std::string> want = lines_of(local.out);
  ASSERT_EQ(want.size(), 4u) << local.out;
  ASSERT_TRUE(want[0].starts_with(kFiles[0] + ": ")) << local.out;
  const std::string steps_line = want[0].substr(want[0].find(':'));
  std::int64_t rows = 0, groups = 0, bytes = 0;
  for (const std::string &name : kFiles) {
    const auto reader = parquet::FileReader::open((out / name).string());
    const auto n = name == kFiles[0] ? 2 : 1;
    rows += n * reader->num_rows();
    groups += n * static_cast<std::int64_t>(reader->row_groups().size());
    bytes += n * static_cast<std::int64_t>(fs::file_size(out / name));
  }
  want.back() = part + steps_line;
  want.push_back("total: 4 files, " + std::to_string(rows) + " rows, " + std::to_string(groups) +
                 " row groups, " + std::to_string(bytes) + " bytes");
  EXPECT_EQ(lines_of(remote.out), want) << remote.out;
  EXPECT_EQ(remote.err, "");
}

TEST(BucketRead, ReportDrawsARunAsFromItsLocalCopy) {
  support::TempDir dir;
  const fs::path &out = demo_output();
  upload_demo("report");
  const Outcome local =
      run({"report", out.string(), "--output", (dir / "local.svg").string()}, dir);
  ASSERT_EQ(local.status, 0) << local.err;
  const std::string svg = slurp(dir / "local.svg");
  ASSERT_NE(svg.find("<svg"), std::string::npos);
  const auto table = [](const std::string &printed) {
    return printed.substr(0, printed.rfind('\n', printed.size() - 2) + 1);
  };

  // The prefix, its step file and its cycle summary.
  for (const std::string &input :
       {url_of("report"), url_of("report/" + kFiles[0]), url_of("report/" + kFiles[1])}) {
    const Outcome remote = run({"report", input, "--output", (dir / "remote.svg").string()}, dir);
    ASSERT_EQ(remote.status, 0) << input << ": " << remote.err;
    EXPECT_EQ(table(remote.out), table(local.out)) << input;
    EXPECT_TRUE(remote.out.ends_with("\n" + (dir / "remote.svg").string() + "\n")) << remote.out;
    EXPECT_EQ(slurp(dir / "remote.svg"), svg) << input;
    EXPECT_EQ(remote.err, "") << input;
  }

  // Without --output, the SVG goes to the current directory.
  const fs::path here = fs::current_path();
  fs::create_directories(dir / "cwd");
  fs::current_path(dir / "cwd");
  const Outcome beside = run({"report", url_of("report")}, dir);
  fs::current_path(here);
  ASSERT_EQ(beside.status, 0) << beside.err;
  EXPECT_TRUE(beside.out.ends_with("\n./" + kBase + ".report.svg\n")) << beside.out;
  EXPECT_EQ(slurp(dir / "cwd" / (kBase + ".report.svg")), svg);
}

// The newest run of a prefix is the one whose step object was written last, whatever the order
// of the keys.
TEST(BucketRead, ReportTakesTheRunWrittenLast) {
  support::TempDir dir;
  upload_demo("newest", "b_walk");
  const auto written = [](const std::string &key) {
    for (const s3::ObjectInfo &o : bucket().list("newest/"))
      if (o.key == key)
        return o.last_modified;
    return std::string();
  };
  // LastModified may count whole seconds: the later run is uploaded until its time is later.
  for (int i = 0; i < 30 && written("newest/a_walk.parquet") <= written("newest/b_walk.parquet");
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    upload_demo("newest", "a_walk");
  }
  ASSERT_GT(written("newest/a_walk.parquet"), written("newest/b_walk.parquet"));

  const Outcome o = run({"report", url_of("newest"), "--output", (dir / "n.svg").string()}, dir);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "report: " + url_of("newest") +
                       " holds 2 runs; reporting the newest, a_walk.parquet (name a step file to "
                       "choose another)\n");
  EXPECT_NE(slurp(dir / "n.svg").find("Training report: a_walk.parquet<"), std::string::npos);
}

// A file of many megabytes: inspect takes its footer and the first page of each column in
// ranged GETs, a small share of its bytes.
TEST(BucketRead, InspectOfALargeFileFetchesLittleOfIt) {
  support::TempDir dir;
  const fs::path file = dir / "large.parquet";
  parquet::Table t;
  for (int c = 0; c < 4; ++c)
    t.columns.emplace_back(c == 0 ? parquet::Type::kString : parquet::Type::kDouble);
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> uniform(-1, 1);
  for (int r = 0; r < 600000; ++r) {
    t.columns[0].append("ep-" + std::to_string(r / 250));
    for (int c = 1; c < 4; ++c)
      t.columns[c].append(uniform(random));
  }
  parquet::WriterOptions options;
  options.row_group_rows = 50000;
  tables::write_file(file.string(),
                     parquet::Schema({{"episode_id", parquet::Type::kString},
                                      {"reward", parquet::Type::kDouble},
                                      {"joint_0", parquet::Type::kDouble},
                                      {"joint_1", parquet::Type::kDouble}}),
                     {t}, options);
  const auto size = fs::file_size(file);
  ASSERT_GT(size, 10u << 20);
  bucket().upload_file("large/steps.parquet", file.string());

  const Outcome local = run({"inspect", file.string()}, dir);
  ASSERT_EQ(local.status, 0) << local.err;
  const Outcome remote = run({"inspect", url_of("large/steps.parquet")}, dir);
  ASSERT_EQ(remote.status, 0) << remote.err;
  EXPECT_EQ(without_name(remote.out), without_name(local.out));

  const Fetched f = fetched_from_log("large/steps.parquet");
  ASSERT_FALSE(f.statuses.empty()) << rig().log_tail();
  EXPECT_EQ(f.statuses, std::vector<int>(f.statuses.size(), 206)) << "every GET is ranged";
  EXPECT_LT(f.bytes, size / 5) << f.statuses.size() << " GETs";

  // The listing of the prefix reads the footer only.
  ASSERT_EQ(run({"inspect", url_of("large")}, dir).status, 0);
  const Fetched listed = fetched_from_log("large/steps.parquet");
  EXPECT_LE(listed.statuses.size() - f.statuses.size(), 2u);
  EXPECT_LE(listed.bytes - f.bytes, 2u * (64u << 10));
}

// One line on standard error and status 1, naming what is wrong but no credential.
TEST(BucketRead, FailuresAreOneLine) {
  support::TempDir dir;
  upload_demo("failures");
  const struct {
    Args args;
    std::string err;
  } missing[] = {
      {{"inspect", url_of("failures/none.parquet")},
       url_of("failures/none.parquet") + " does not exist (no object there or under it)"},
      {{"report", url_of("nothing")}, url_of("nothing") + " does not exist"},
      {{"report", url_of("failures/none.parquet")},
       url_of("failures/none.parquet") + " does not exist"},
      {{"inspect", "s3:///key"}, "an s3:// URL needs a bucket: s3:///key"},
  };
  for (const auto &m : missing) {
    const Outcome o = run(m.args, dir);
    EXPECT_EQ(o.status, 1) << m.args[1];
    EXPECT_EQ(o.err, "event-historian: error: " + m.err + "\n");
    EXPECT_EQ(o.out, "");
  }

  // A wrong secret, then none at all.
  const std::string secret = rig().secret_key();
  const std::string wrong = "wrong-" + std::to_string(std::random_device{}());
  setenv("AWS_SECRET_ACCESS_KEY", wrong.c_str(), 1);
  for (const char *command : {"inspect", "report"}) {
    const Outcome o = run({command, url_of("failures")}, dir);
    EXPECT_EQ(o.status, 1) << command;
    EXPECT_TRUE(o.err.starts_with("event-historian: error: S3 ")) << o.err;
    EXPECT_NE(o.err.find(" 403"), std::string::npos) << o.err;
    EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;
    for (const std::string &credential : {wrong, rig().access_key()})
      EXPECT_EQ(o.err.find(credential), std::string::npos) << o.err;
  }
  unsetenv("AWS_SECRET_ACCESS_KEY");
  const Outcome none = run({"inspect", url_of("failures")}, dir);
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "event-historian: error: no S3 credentials: set AWS_ACCESS_KEY_ID and "
                      "AWS_SECRET_ACCESS_KEY, or give --s3-credentials-file\n");

  // ... which a credentials file gives; only with an input in a bucket.
  const fs::path credentials = dir / "credentials";
  std::ofstream(credentials) << "aws_secret_access_key = " << secret << "\n";
  fs::permissions(credentials, fs::perms::owner_read | fs::perms::owner_write);
  const Outcome with_file =
      run({"inspect", url_of("failures"), "--s3-credentials-file", credentials.string()}, dir);
  setenv("AWS_SECRET_ACCESS_KEY", secret.c_str(), 1);
  EXPECT_EQ(with_file.status, 0) << with_file.err;
  EXPECT_NE(with_file.out.find("\ntotal: 3 files, "), std::string::npos) << with_file.out;
  const Outcome local =
      run({"report", demo_output().string(), "--s3-credentials-file", credentials.string()}, dir);
  EXPECT_EQ(local.status, 2);
  EXPECT_EQ(local.err, "event-historian: error: --s3-credentials-file needs an s3:// input\n");
}

} // namespace
