#include "tests/support/s3_rig.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

using support::S3Rig;

// Every byte value, twice, and a line end: what a text-mode path would change.
std::string all_bytes() {
  std::string bytes;
  for (int round = 0; round < 2; ++round)
    for (int b = 0; b < 256; ++b)
      bytes.push_back(static_cast<char>(b));
  return bytes + "\r\n";
}

std::string object_url(const S3Rig &rig, const std::string &key) {
  return rig.endpoint() + "/" + rig.bucket() + "/" + key;
}

// PUTs bytes as key through a file, so curl sends them unchanged.
S3Rig::CurlReply put(const S3Rig &rig, const support::TempDir &dir, const std::string &key,
                     const std::string &bytes) {
  const std::string file = (dir / "upload").string();
  std::ofstream(file, std::ios::binary) << bytes;
  return rig.curl({"--upload-file", file, object_url(rig, key)});
}

TEST(S3Rig, SignedRequestsRoundTripBytesAndAWrongSecretIsRefused) {
  S3Rig rig;
  support::TempDir dir;
  const std::string bytes = all_bytes();

  const S3Rig::CurlReply stored = put(rig, dir, "a/b/object.bin", bytes);
  ASSERT_EQ(stored.status, 200) << stored.body << stored.error << rig.log_tail();
  const S3Rig::CurlReply fetched = rig.curl({object_url(rig, "a/b/object.bin")});
  ASSERT_EQ(fetched.status, 200) << fetched.body << fetched.error;
  EXPECT_EQ(fetched.body, bytes);

  const S3Rig::CurlReply read = rig.curl({object_url(rig, "a/b/object.bin")}, "not-the-secret");
  EXPECT_EQ(read.status, 403);
  EXPECT_NE(read.body.find("<Code>SignatureDoesNotMatch</Code>"), std::string::npos) << read.body;
  const S3Rig::CurlReply write = rig.curl(
      {"--upload-file", (dir / "upload").string(), object_url(rig, "refused")}, "not-the-secret");
  EXPECT_EQ(write.status, 403) << write.body;
  EXPECT_EQ(rig.curl({object_url(rig, "refused")}).status, 404);
}

TEST(S3Rig, ProxyPausedAnswersNothingAndKilledComesBackWithTheSameData) {
  S3Rig rig;
  support::TempDir dir;
  ASSERT_EQ(put(rig, dir, "kept", "stored before the faults").status, 200) << rig.log_tail();

  rig.pause_proxy();
  const S3Rig::CurlReply paused = rig.curl({"--max-time", "2", object_url(rig, "kept")});
  EXPECT_EQ(paused.exit_code, 28) << "curl: " << paused.error; // operation timed out
  EXPECT_EQ(paused.status, 0);
  rig.resume_proxy();
  const S3Rig::CurlReply resumed = rig.curl({"--max-time", "10", object_url(rig, "kept")});
  EXPECT_EQ(resumed.status, 200) << resumed.error;
  EXPECT_EQ(resumed.body, "stored before the faults");

  rig.kill_proxy();
  const S3Rig::CurlReply down = rig.curl({"--max-time", "5", object_url(rig, "kept")});
  EXPECT_EQ(down.exit_code, 7) << "curl: " << down.error; // could not connect
  rig.restart_proxy();
  const S3Rig::CurlReply back = rig.curl({object_url(rig, "kept")});
  EXPECT_EQ(back.status, 200) << back.error << rig.log_tail();
  EXPECT_EQ(back.body, "stored before the faults");
  EXPECT_EQ(put(rig, dir, "after", "stored after the restart").status, 200);
}

} // namespace
