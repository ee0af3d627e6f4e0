// The S3 client against a real S3 server (Swift's s3api on loopback), each answer checked
// through curl, which does not share our code.

#include "s3/client.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/s3_rig.h"
#include "tests/support/temp_dir.h"

namespace {

// One rig for the suite: it takes about ten seconds to start.
support::S3Rig &rig() { return support::S3Rig::shared(); }

s3::Config config_of(const support::S3Rig &r) {
  s3::Config c;
  c.endpoint = r.endpoint();
  c.region = r.region();
  c.access_key = r.access_key();
  c.secret_key = r.secret_key();
  c.path_style = true;
  return c;
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char &c : bytes)
    c = static_cast<char>(random());
  return bytes;
}

// The object as curl sees it: its HTTP status and body.
support::S3Rig::CurlReply fetched(const std::string &key) {
  return rig().curl({rig().endpoint() + "/" + rig().bucket() + "/" + s3::uri_encode(key, true)});
}

TEST(S3Client, ObjectsRoundTripUnderKeysThatNeedEncoding) {
  s3::Client client(config_of(rig()), rig().bucket());
  // Keys with characters the signature must encode as the server does.
  const std::vector<std::string> keys = {"plain/part-00001.parquet", "with space/a+b=c&d.parquet",
                                         "ünïcødé/~tilde_(1).parquet"};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string body = random_bytes(1000 + i * 7919, static_cast<unsigned>(i));
    const std::string etag = client.put(keys[i], body);
    EXPECT_EQ(etag.size(), 32u) << etag;
    const auto seen = fetched(keys[i]);
    EXPECT_EQ(seen.status, 200) << keys[i] << seen.error;
    EXPECT_EQ(seen.body, body) << keys[i];
    const auto head = client.head(keys[i]);
    ASSERT_TRUE(head.has_value()) << keys[i];
    EXPECT_EQ(head->size, body.size());
    EXPECT_EQ(head->etag, etag);
    EXPECT_EQ(client.get(keys[i]), body);
    EXPECT_EQ(client.get_range(keys[i], 10, 100), body.substr(10, 100));
  }
  // Listings by prefix, in key order, with sizes.
  const auto listed = client.list("with space/");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].key, keys[1]);
  EXPECT_EQ(listed[0].size, 1000u + 7919u);
  EXPECT_EQ(client.list("").size(), 3u);

  // A download replaces the file through a temporary.
  support::TempDir dir;
  const std::string path = (dir / "copy").string();
  client.download(keys[2], path);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), client.get(keys[2]));

  // Missing objects: none from HEAD, 404 from GET, and deleting one is fine.
  EXPECT_FALSE(client.head("missing").has_value());
  try {
    client.get("missing");
    ADD_FAILURE() << "GET of a missing object succeeded";
  } catch (const s3::Error &e) {
    EXPECT_EQ(e.status(), 404);
  }
  for (const std::string &key : keys)
    client.remove(key);
  client.remove("missing");
  EXPECT_EQ(client.list("").size(), 0u);
  EXPECT_EQ(fetched(keys[0]).status, 404);
}

TEST(S3Client, LargeFilesGoUpInPartsAndAbortedUploadsLeaveNothing) {
  s3::Config config = config_of(rig());
  config.multipart_threshold = std::uint64_t{5} << 20;
  config.part_size = std::uint64_t{5} << 20;
  std::atomic<int> parts{0};
  config.after_part = [&parts] { ++parts; };
  s3::Client client(config, rig().bucket());
  support::TempDir dir;
  const std::string path = (dir / "big.parquet").string();
  const std::string body = random_bytes((std::size_t{12} << 20) + 12345, 3);
  std::ofstream(path, std::ios::binary) << body;

  client.upload_file("multi/big.parquet", path);
  EXPECT_EQ(parts, 3);
  const auto seen = fetched("multi/big.parquet");
  EXPECT_EQ(seen.status, 200);
  EXPECT_TRUE(seen.body == body) << "the object differs from the file";
  EXPECT_TRUE(client.list_uploads("multi/").empty());

  // An upload begun elsewhere and never completed is listed, and gone once aborted.
  const auto begun = rig().curl(
      {"-X", "POST", rig().endpoint() + "/" + rig().bucket() + "/multi/left.parquet?uploads="});
  ASSERT_EQ(begun.status, 200) << begun.body << begun.error;
  const auto uploads = client.list_uploads("multi/");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].key, "multi/left.parquet");
  client.abort_upload(uploads[0]);
  EXPECT_TRUE(client.list_uploads("multi/").empty());

  // A part that fails (the file shrank under it) aborts its upload.
  std::filesystem::resize_file(path, std::uint64_t{7} << 20);
  config.multipart_threshold = std::uint64_t{5} << 20;
  struct Shrink {
    std::string path;
  } shrink{path};
  config.after_part = [&shrink] { std::filesystem::resize_file(shrink.path, 100); };
  // One connection, so that the second part is read after the first one shrank the file.
  config.upload_connections = 1;
  s3::Client failing(config, rig().bucket());
  EXPECT_THROW(failing.upload_file("multi/shrunk.parquet", path), s3::Error);
  EXPECT_TRUE(client.list_uploads("multi/").empty());
  EXPECT_FALSE(client.head("multi/shrunk.parquet").has_value());
  client.remove("multi/big.parquet");
}

TEST(S3Client, RefusalsAreNotRetriedAndNeverShowTheSecret) {
  s3::Config config = config_of(rig());
  config.secret_key = "not-the-secret-key";
  s3::Client client(config, rig().bucket());
  try {
    client.put("refused", "x");
    ADD_FAILURE() << "a wrong secret was accepted";
  } catch (const s3::Error &e) {
    EXPECT_EQ(e.status(), 403) << e.what();
    EXPECT_EQ(std::string(e.what()).find("not-the-secret-key"), std::string::npos) << e.what();
  }
  EXPECT_EQ(client.counts().requests, 1u);
  EXPECT_EQ(fetched("refused").status, 404);
}

TEST(S3Client, OutagesAreWaitedOutWithinTheTriesAndReportedBeyondThem) {
  s3::Config config = config_of(rig());
  config.stall_timeout = std::chrono::seconds(1);
  config.request_timeout = std::chrono::seconds(2);
  config.attempts = 2;
  config.backoff = std::chrono::milliseconds(100);
  s3::Client client(config, rig().bucket());

  // A proxy that accepts connections and answers nothing: the tries time out, and the error
  // says no answer came (status 0).
  rig().pause_proxy();
  try {
    client.put("outage/a", "a");
    ADD_FAILURE() << "a request to a stopped server succeeded";
  } catch (const s3::Error &e) {
    EXPECT_EQ(e.status(), 0) << e.what();
    EXPECT_NE(std::string(e.what()).find("after 2 tries"), std::string::npos) << e.what();
  }
  rig().resume_proxy();
  EXPECT_NO_THROW(client.put("outage/a", "a"));

  // Killed and started again while a request is retried: it goes through once the proxy is back.
  config.attempts = 30;
  config.backoff = std::chrono::milliseconds(500);
  s3::Client patient(config, rig().bucket());
  rig().kill_proxy();
  // The rig's servers live as long as the thread that started them: this one restarts it.
  std::thread request([&patient] { EXPECT_NO_THROW(patient.put("outage/b", "b")); });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  rig().restart_proxy();
  request.join();
  EXPECT_GE(patient.counts().retries, 1u);
  EXPECT_EQ(fetched("outage/b").body, "b");
  client.remove("outage/a");
  client.remove("outage/b");
}

TEST(S3Config, CredentialsFileIsOwnerOnlyAndNamesNoValue) {
  support::TempDir dir;
  const std::string path = (dir / "credentials").string();
  std::ofstream(path) << "[default]\n# a comment\naws_access_key_id = AKIDEXAMPLE\n"
                         "AWS_SECRET_ACCESS_KEY=wJalrXUtnFEMI\nregion = eu-west-3\n";
  ::chmod(path.c_str(), 0644);
  s3::Config config;
  EXPECT_THROW(s3::read_credentials_file(path, config), std::runtime_error);
  ::chmod(path.c_str(), 0600);
  s3::read_credentials_file(path, config);
  EXPECT_EQ(config.access_key, "AKIDEXAMPLE");
  EXPECT_EQ(config.secret_key, "wJalrXUtnFEMI");
  EXPECT_EQ(config.region, "eu-west-3");
  std::ofstream(path, std::ios::app) << "aws_secret = hunter2\n";
  try {
    s3::read_credentials_file(path, config);
    ADD_FAILURE() << "an unknown name was taken";
  } catch (const std::runtime_error &e) {
    EXPECT_NE(std::string(e.what()).find("line 6"), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).find("hunter2"), std::string::npos) << e.what();
  }
  // The canonical query SigV4 signs: sorted, encoded, "name=" for a name without a value.
  EXPECT_EQ(s3::canonical_query({{"uploads", ""}, {"prefix", "a b/ü"}, {"key-marker", "x"}}),
            "key-marker=x&prefix=a%20b%2F%C3%BC&uploads=");
  EXPECT_THROW(s3::parse_location("s3:///prefix"), std::invalid_argument);
  EXPECT_EQ(s3::parse_location("s3://bucket/runs/7/").prefix, "runs/7");
}

} // namespace
