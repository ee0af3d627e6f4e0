// Objects read in place against a real S3 server (Swift's s3api on loopback): what the reads
// return, and how many GETs and bytes they cost.

#include "networking/remote_historian/v2/bucket/remote_file.h"

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "parquet/file_reader.h"
#include "tests/parquet/tables.h"
#include "tests/support/s3_rig.h"
#include "tests/support/temp_dir.h"

namespace {

using networking::remote_historian::v2::RemoteFile;

// One rig for the suite: it takes about ten seconds to start.
support::S3Rig &rig() { return support::S3Rig::shared(); }

std::shared_ptr<s3::Client> client(const std::string &secret = "") {
  s3::Config c;
  c.endpoint = rig().endpoint();
  c.region = rig().region();
  c.access_key = rig().access_key();
  c.secret_key = secret.empty() ? rig().secret_key() : secret;
  return std::make_shared<s3::Client>(c, rig().bucket());
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char &c : bytes)
    c = static_cast<char>(random());
  return bytes;
}

std::string read(const RemoteFile &file, std::uint64_t offset, std::size_t size) {
  std::string out(size, '\0');
  file.read(offset, size, reinterpret_cast<std::uint8_t *>(out.data()));
  return out;
}

// Eight row groups of random doubles (which no codec shrinks) and a counter: about 22 MB.
parquet::Table big_table() {
  parquet::Table t;
  for (int c = 0; c < 4; ++c)
    t.columns.emplace_back(c == 0 ? parquet::Type::kInt64 : parquet::Type::kDouble);
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> uniform(-1, 1);
  for (std::int64_t r = 0; r < 800000; ++r) {
    t.columns[0].append(r);
    for (int c = 1; c < 4; ++c)
      t.columns[c].append(uniform(random));
  }
  return t;
}

TEST(RemoteFile, ReadsAParquetFileInPlace) {
  support::TempDir dir;
  const std::string local = (dir / "big.parquet").string();
  const parquet::Schema schema({{"step", parquet::Type::kInt64},
                                {"a", parquet::Type::kDouble},
                                {"b", parquet::Type::kDouble},
                                {"c", parquet::Type::kDouble}});
  parquet::WriterOptions options;
  options.row_group_rows = 100000;
  const parquet::Table all = big_table();
  tables::write_file(local, schema, {all}, options);
  const std::string bytes = tables::read_bytes(local);
  std::uint32_t footer = 0;
  std::memcpy(&footer, bytes.data() + bytes.size() - 8, 4);
  ASSERT_LT(footer + 8, 64u << 10) << "the footer should fit the first window";
  client()->put("files/big.parquet", bytes);

  // The footer comes with the tail, and the magic at the head is one window more.
  const RemoteFile file = RemoteFile::open(client(), "files/big.parquet");
  EXPECT_EQ(file.size(), bytes.size());
  const auto reader = parquet::FileReader::open(file.input());
  EXPECT_EQ(reader->path(), "s3://" + rig().bucket() + "/files/big.parquet");
  ASSERT_EQ(reader->row_groups().size(), 8u);
  EXPECT_EQ(file.counts().requests, 2u);
  EXPECT_LE(file.counts().bytes, 2u * (64u << 10));

  // Ten rows take the first page of each column, not the file.
  EXPECT_EQ(tables::difference(reader->read_head(10), tables::slice(all, 0, 10)), "");
  EXPECT_LT(file.counts().bytes, bytes.size() / 4) << file.counts().requests << " requests";

  // All of it, each byte fetched about once.
  const RemoteFile again(client(), "files/big.parquet", bytes.size());
  EXPECT_EQ(tables::difference(parquet::FileReader::open(again.input())->read_all(), all), "");
  EXPECT_GE(again.counts().bytes, bytes.size());
  EXPECT_LT(again.counts().bytes, bytes.size() + bytes.size() / 10)
      << again.counts().requests << " requests";
}

// Small reads one after another, as of page headers, share a window that grows; the footer's
// bytes come with the last eight.
TEST(RemoteFile, SmallReadsShareAGrowingWindow) {
  const std::string bytes = random_bytes(3 << 20, 3);
  client()->put("raw/object", bytes);
  const RemoteFile file(client(), "raw/object", bytes.size());
  EXPECT_EQ(file.counts().requests, 0u);

  EXPECT_EQ(read(file, bytes.size() - 8, 8), bytes.substr(bytes.size() - 8));
  EXPECT_EQ(read(file, bytes.size() - 60008, 60000), bytes.substr(bytes.size() - 60008, 60000));
  EXPECT_EQ(file.counts().requests, 1u);

  // 2000 reads of 200 bytes: windows of 64, 128 and 256 KiB.
  for (std::uint64_t at = 1 << 20; at < (1 << 20) + 400000; at += 200)
    ASSERT_EQ(read(file, at, 200), bytes.substr(at, 200)) << at;
  EXPECT_EQ(file.counts().requests, 4u);
  EXPECT_EQ(file.counts().bytes, (64u << 10) + (64u << 10) + (128u << 10) + (256u << 10));

  // A read across windows and past them, larger than any window.
  EXPECT_EQ(read(file, 1000, 2 << 20), bytes.substr(1000, 2 << 20));
  EXPECT_EQ(file.counts().requests, 5u);
}

TEST(RemoteFile, FailuresNameTheObject) {
  try {
    RemoteFile::open(client(), "nowhere/none.parquet");
    ADD_FAILURE() << "opened a missing object";
  } catch (const std::runtime_error &e) {
    EXPECT_EQ(std::string(e.what()),
              "s3://" + rig().bucket() + "/nowhere/none.parquet does not exist");
  }
  const std::string wrong = "not-the-secret-" + std::to_string(std::random_device{}());
  client()->put("raw/small", "0123456789");
  try {
    RemoteFile::open(client(wrong), "raw/small");
    ADD_FAILURE() << "opened with a wrong secret";
  } catch (const s3::Error &e) {
    EXPECT_EQ(e.status(), 403) << e.what();
    EXPECT_EQ(std::string(e.what()).find(wrong), std::string::npos) << e.what();
  }
  // An object replaced by a shorter one while it is read.
  const RemoteFile stale(client(), "raw/small", 3 << 20);
  EXPECT_THROW(read(stale, 2 << 20, 100), s3::Error);
}

} // namespace
