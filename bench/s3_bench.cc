// The bucket output's benchmarks, against an S3 server of its own on loopback (Swift's s3api,
// the tests' rig):
//   s3_bench upload [--mb N] [--runs R] [--dir DIR]
//     uploads one file of N MiB (default 1024) with our client (multipart above 64 MiB) and
//     with `curl --aws-sigv4 -T` (one PUT), alternated R times (default 3), and prints each
//     run's MB/s, the medians and their ratio.
//   s3_bench serve
//     starts the server, prints "export NAME=VALUE" lines for the AWS_* variables and then
//     "bucket NAME", and keeps it running until standard input closes.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "s3/client.h"
#include "tests/support/s3_rig.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Bytes that do not compress, as Parquet pages mostly do not, written in 8 MiB blocks.
void write_file(const std::string &path, std::uint64_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 random(42);
  std::vector<std::uint64_t> block((std::size_t{8} << 20) / 8);
  for (std::uint64_t written = 0; written < bytes;) {
    for (auto &w : block)
      w = random();
    const auto n = static_cast<std::streamsize>(
        std::min<std::uint64_t>(bytes - written, block.size() * sizeof(std::uint64_t)));
    out.write(reinterpret_cast<const char *>(block.data()), n);
    written += static_cast<std::uint64_t>(n);
  }
  if (!out)
    throw std::runtime_error("cannot write " + path);
}

int upload(std::uint64_t mib, int runs, const std::string &dir) {
  support::S3Rig rig;
  const std::string path = dir + "/s3_bench_upload.bin";
  const std::uint64_t bytes = mib << 20;
  write_file(path, bytes);
  s3::Config config;
  config.endpoint = rig.endpoint();
  config.region = rig.region();
  config.access_key = rig.access_key();
  config.secret_key = rig.secret_key();
  s3::Client client(config, rig.bucket());
  std::vector<double> ours, curl;
  for (int run = 1; run <= runs; ++run) {
    auto started = Clock::now();
    client.upload_file("bench/ours.bin", path);
    const double ours_s = std::chrono::duration<double>(Clock::now() - started).count();
    started = Clock::now();
    const auto reply = rig.curl({"--max-time", "3600", "-T", path,
                                 rig.endpoint() + "/" + rig.bucket() + "/bench/curl.bin"});
    const double curl_s = std::chrono::duration<double>(Clock::now() - started).count();
    if (reply.status != 200)
      throw std::runtime_error("curl's upload failed: " + std::to_string(reply.status) + " " +
                               reply.error + reply.body);
    const auto held = client.head("bench/curl.bin");
    if (!held || held->size != bytes)
      throw std::runtime_error("curl's object has the wrong size");
    ours.push_back(static_cast<double>(bytes) / 1e6 / ours_s);
    curl.push_back(static_cast<double>(bytes) / 1e6 / curl_s);
    std::printf("s3_upload run=%d mb=%llu ours_mb_per_s=%.1f curl_mb_per_s=%.1f\n", run,
                static_cast<unsigned long long>(mib), ours.back(), curl.back());
    std::fflush(stdout);
    client.remove("bench/ours.bin");
    client.remove("bench/curl.bin");
  }
  ::unlink(path.c_str());
  std::printf("s3_upload median ours_mb_per_s=%.1f curl_mb_per_s=%.1f ratio=%.2f (target >= "
              "0.8)\n",
              median(ours), median(curl), median(ours) / median(curl));
  return 0;
}

int serve() {
  support::S3Rig rig;
  for (const auto &[name, value] : rig.env())
    std::printf("export %s=%s\n", name.c_str(), value.c_str());
  std::printf("bucket %s\n", rig.bucket().c_str());
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: s3_bench upload [--mb N] [--runs R] [--dir DIR] | serve\n");
    return 2;
  }
  const std::string what = argv[1];
  std::uint64_t mib = 1024;
  int runs = 3;
  std::string dir = "/tmp";
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--mb")
      mib = std::strtoull(argv[i + 1], nullptr, 10);
    else if (a == "--runs")
      runs = std::atoi(argv[i + 1]);
    else if (a == "--dir")
      dir = argv[i + 1];
  }
  try {
    if (what == "upload")
      return upload(mib, std::max(runs, 1), dir);
    if (what == "serve")
      return serve();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "s3_bench: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "s3_bench: unknown benchmark %s\n", what.c_str());
  return 2;
}
