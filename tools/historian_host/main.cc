// event-historian: the host program. `run` consumes a training job's streams into Parquet
// files; `demo` shows the whole system on a throwaway redis-server; `inspect` prints a file or
// lists a directory; `compact` merges the parts a run left unmerged; `report` draws a run's
// learning curve.

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include <CLI/CLI.hpp>
#include <asio.hpp>

#include "loop/loop.h"
#include "metrics/server.h"
#include "networking/event_base/logger.h"
#include "networking/event_base/settings.h"
#include "networking/remote_historian/v2/byte_size.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "parquet/options.h"
#include "redis/connection.h"
#include "redis/endpoint.h"
#include "redis/tls.h"
#include "s3/client.h"
#include "tools/historian_host/bucket_access.h"
#include "tools/historian_host/compact.h"
#include "tools/historian_host/demo.h"
#include "tools/historian_host/host.h"
#include "tools/historian_host/inspect.h"
#include "tools/historian_host/redis_url.h"
#include "tools/historian_host/report.h"
#include "json/parse.h"
#include "json/value.h"

namespace {

using networking::remote_historian::v2::EventHistorianProcessor;
using networking::remote_historian::v2::ProcessorOptions;
namespace eb = networking::event_base;

struct RunFlags {
  std::optional<std::string> redis_url;
  std::optional<std::string> redis_url_file;
  std::optional<std::string> redis_tls_ca_file;
  std::optional<std::string> redis_tls_cert_file;
  std::optional<std::string> redis_tls_key_file;
  bool redis_tls_insecure = false;
  std::optional<std::string> sentinel_password_file;
  std::string input_topic{networking::remote_historian::v2::kDefaultInputTopic};
  std::string output_topic{networking::remote_historian::v2::kDefaultOutputTopic};
  std::string consumer_group{networking::remote_historian::v2::kDefaultConsumerGroup};
  std::optional<std::string> output_path;
  std::optional<std::string> output_url;
  std::optional<std::string> s3_credentials_file;
  std::optional<std::string> skill_name;
  bool include_raw_json = false;
  std::string training_results_topic{
      networking::remote_historian::v2::kDefaultTrainingResultsTopic};
  std::optional<std::string> total_cycles;
  std::optional<std::string> callback_url;
  std::optional<std::string> job_id;
  std::optional<std::string> run_id;
  std::string log_level = "warning";
  std::int64_t max_buffered_rows = networking::remote_historian::v2::kDefaultMaxBufferedRows;
  std::string max_buffered_bytes = "1GiB";
  bool durable = false;
  std::optional<std::string> consumer_name;
  double flush_interval = 30;
  std::optional<std::string> dead_letter_stream;
  std::int64_t max_deliveries = 5;
  std::optional<double> claim_idle;
  std::int64_t read_count = networking::remote_historian::v2::kDefaultReadCount;
  std::string redis_timeout = "5";
  std::string compression = "snappy";
  std::optional<int> compression_level;
  std::optional<std::string> metrics_address;
};

constexpr const char *kCredentialsFileHelp =
    "File of \"name = value\" lines (aws_access_key_id, aws_secret_access_key, "
    "aws_session_token, region, endpoint_url) readable by its owner only, over the environment";

// Longer than any run, and still far from the end of the clock's range.
constexpr double kMaxRedisTimeoutSeconds = 1e9;

void add_run_options(CLI::App &app, RunFlags &f) {
  CLI::Option *url =
      app.add_option("--redis-url", f.redis_url,
                     "Redis server, redis://[[user]:password@]host[:port][/db] (rediss:// for "
                     "TLS), or the master of a Sentinel set, redis+sentinel://[[user]:password@]"
                     "host[:port][,host[:port]...]/MASTER_NAME[/db], or a Redis Cluster, "
                     "redis+cluster://[[user]:password@]host[:port][,host[:port]...] (seed "
                     "nodes; rediss+cluster:// for TLS); default: "
                     "--redis-url-file, else $HISTORIAN_REDIS_URL, else " +
                         std::string(networking::remote_historian::v2::kDefaultRedisUrl));
  app.add_option("--redis-url-file", f.redis_url_file,
                 "File whose first line is the Redis URL, readable by its owner only, so that "
                 "a password stays out of `ps`")
      ->excludes(url);
  app.add_option("--redis-tls-ca-file", f.redis_tls_ca_file,
                 "rediss://: PEM file of the CAs the Redis server's certificate must come from; "
                 "default: the system's");
  app.add_option("--redis-tls-cert-file", f.redis_tls_cert_file,
                 "rediss://: PEM client certificate, for a server that asks for one (with "
                 "--redis-tls-key-file)");
  app.add_option("--redis-tls-key-file", f.redis_tls_key_file,
                 "rediss://: PEM private key of --redis-tls-cert-file");
  app.add_flag("--redis-tls-insecure", f.redis_tls_insecure,
               "rediss://: check neither the Redis server's certificate nor its host name (only "
               "for tests and trusted networks)");
  app.add_option("--sentinel-password-file", f.sentinel_password_file,
                 "redis+sentinel://: file whose first line is the Sentinels' own password, or "
                 "user:password, readable by its owner only (the URL's credentials are the "
                 "master's)");
  app.add_option("--input-topic", f.input_topic, "Stream of training steps")->capture_default_str();
  app.add_option("--output-topic", f.output_topic, "Stream that replies would be published to")
      ->capture_default_str();
  app.add_option("--consumer-group", f.consumer_group, "Consumer group shared by all instances")
      ->capture_default_str();
  app.add_option("--output-path", f.output_path,
                 "Directory that receives the Parquet files (with --output-url: where they are "
                 "staged, by default a new temporary directory) [" +
                     std::string(networking::remote_historian::v2::kDefaultOutputPath) + "]");
  app.add_option("--output-url", f.output_url,
                 "s3://BUCKET/PREFIX: the files go to this bucket (endpoint, region and "
                 "credentials from AWS_ENDPOINT_URL, AWS_REGION, AWS_ACCESS_KEY_ID, "
                 "AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN)");
  app.add_option("--s3-credentials-file", f.s3_credentials_file, kCredentialsFileHelp);
  app.add_option("--skill-name", f.skill_name,
                 "Skill of this job: part of the file names and of the cycle metadata row");
  app.add_flag("--include-raw-json", f.include_raw_json,
               "Also write each step's raw sim_data and skill_data as JSON text columns");
  app.add_option("--training-results-topic", f.training_results_topic,
                 "Stream of training results that close cycles; an empty value reads none")
      ->capture_default_str();
  app.add_option("--total-cycles", f.total_cycles,
                 "Number of training cycles of the job (a fraction is dropped)");
  app.add_option("--callback-url", f.callback_url,
                 "Base URL of the job service; each closed cycle is POSTed to "
                 "URL/internal/jobs/JOB_ID/cycle-metrics");
  app.add_option("--job-id", f.job_id, "Job identifier for the cycle-metrics callback");
  app.add_option("--run-id", f.run_id,
                 "Run identifier (part of the file names); default: the RUN_ID environment "
                 "variable");
  app.add_option("--max-buffered-rows", f.max_buffered_rows,
                 "Rows kept in memory before they are written early as an extra part file "
                 "(bounds memory in long cycles; the final files are the same)")
      ->check(CLI::Range(std::int64_t{1}, std::numeric_limits<std::int64_t>::max()))
      ->capture_default_str();
  app.add_option("--max-buffered-bytes", f.max_buffered_bytes,
                 "Memory the buffered rows may hold before they are written early as an extra "
                 "part file, whichever of the two bounds comes first: a number of bytes, or "
                 "with KiB, MiB or GiB")
      ->capture_default_str();
  app.add_flag("--durable", f.durable,
               "Acknowledge an entry only once its row and the run's state are synced to disk; "
               "a restart with the same options goes on without loss or repetition");
  app.add_option("--consumer-name", f.consumer_name,
                 "Consumer name in the group (default: historian-HOST-BASE, after the host and "
                 "the output files' base name, so that a restart finds its own pending entries; "
                 "a durable run keeps the name of its first start). Instances on one host "
                 "writing the same base name need distinct names");
  app.add_option("--flush-interval", f.flush_interval,
                 "Durable mode: seconds after which handled entries are written and "
                 "acknowledged even without a training result")
      ->check(CLI::Range(0.001, 86400.0))
      ->capture_default_str();
  app.add_option("--dead-letter-stream", f.dead_letter_stream,
                 "Stream that receives, with its error, an entry that failed on more than "
                 "--max-deliveries deliveries or was taken over after more; it is then "
                 "acknowledged. Without it such entries stay pending");
  app.add_option("--max-deliveries", f.max_deliveries,
                 "Deliveries of an entry before it goes to the dead-letter stream")
      ->check(CLI::Range(std::int64_t{1}, std::numeric_limits<std::int64_t>::max()))
      ->capture_default_str();
  app.add_option("--claim-idle", f.claim_idle,
                 "Take over the entries other consumers of the group left unacknowledged for "
                 "this many seconds, and remove consumers idle that long without pending "
                 "entries. Must exceed the longest wait for an acknowledgement: 2 x "
                 "--redis-timeout, in durable mode --flush-interval + 2 x --redis-timeout. "
                 "Off by default")
      ->check(CLI::Range(0.001, 86400.0 * 365));
  app.add_option("--read-count", f.read_count,
                 "Entries asked for per stream and read; with any other count than 10, the "
                 "entries of a read are acknowledged together, one XACK per stream")
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{100'000}))
      ->capture_default_str();
  app.add_option("--redis-timeout", f.redis_timeout,
                 "Seconds Redis may leave a command unanswered before the connection is dropped")
      ->capture_default_str();
  app.add_option("--compression", f.compression, "Codec of the Parquet files: snappy, zstd or none")
      ->check(CLI::IsMember({"snappy", "zstd", "none"}))
      ->capture_default_str();
  app.add_option("--compression-level", f.compression_level,
                 "zstd level, 1 (fastest, the default) to 22 (smallest)")
      ->check(CLI::Range(1, 22));
  app.add_option("--metrics-address", f.metrics_address,
                 "Serve /metrics (Prometheus text) and /healthz at HOST:PORT; a bare :PORT "
                 "listens on 127.0.0.1. Off by default");
  app.add_option("--log-level", f.log_level, "debug, warning or error")
      ->check(CLI::IsMember({"debug", "warning", "error"}))
      ->capture_default_str();
}

// Builds the constructor arguments from the flags, as untyped configuration.
ProcessorOptions options_from(const RunFlags &f) {
  json::Object named;
  named.insert("redis_url", json::Value(host::choose_redis_url(f.redis_url, f.redis_url_file)));
  named.insert("input_topic", json::Value(f.input_topic));
  named.insert("output_topic", json::Value(f.output_topic));
  named.insert("consumer_group", json::Value(f.consumer_group));
  named.insert("output_path", json::Value(f.output_path.value_or(std::string(
                                  networking::remote_historian::v2::kDefaultOutputPath))));
  named.insert("skill_name", f.skill_name ? json::Value(*f.skill_name) : json::Value());
  named.insert("include_raw_json", json::Value(f.include_raw_json));
  named.insert("training_results_topic", f.training_results_topic.empty()
                                             ? json::Value()
                                             : json::Value(f.training_results_topic));
  if (f.total_cycles) {
    json::Value n;
    try {
      n = json::parse(*f.total_cycles);
    } catch (const std::exception &) {
    }
    if (!n.is_number())
      throw std::invalid_argument("--total-cycles: '" + *f.total_cycles + "' is not a number");
    named.insert("total_cycles", std::move(n));
  }
  named.insert("callback_url", f.callback_url ? json::Value(*f.callback_url) : json::Value());
  named.insert("job_id", f.job_id ? json::Value(*f.job_id) : json::Value());
  ProcessorOptions options = ProcessorOptions::from_arguments({}, named);
  options.max_buffered_rows = f.max_buffered_rows;
  const std::optional<std::int64_t> bytes =
      networking::remote_historian::v2::parse_byte_size(f.max_buffered_bytes);
  if (!bytes)
    throw std::invalid_argument("--max-buffered-bytes: '" + f.max_buffered_bytes +
                                "' is not a size (a positive number of bytes, or with KiB, MiB "
                                "or GiB)");
  options.max_buffered_bytes = *bytes;
  options.durable = f.durable;
  options.consumer_name = f.consumer_name;
  options.flush_interval = std::chrono::milliseconds(std::llround(f.flush_interval * 1000));
  options.dead_letter_stream = f.dead_letter_stream;
  options.max_deliveries = f.max_deliveries;
  if (f.claim_idle)
    options.claim_idle = std::chrono::milliseconds(std::llround(*f.claim_idle * 1000));
  options.read_count = f.read_count;
  return options;
}

// A positive number of seconds; a larger one than kMaxRedisTimeoutSeconds is taken as that.
redis::Connection::Clock::duration redis_timeout_from(const std::string &text) {
  char *end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !(seconds > 0))
    throw std::invalid_argument("--redis-timeout: '" + text +
                                "' is not a positive number of seconds");
  seconds = std::fmin(seconds, kMaxRedisTimeoutSeconds);
  return std::chrono::ceil<redis::Connection::Clock::duration>(
      std::chrono::duration<double>(seconds));
}

// The codec flags as writer options; a level without zstd is a usage error.
parquet::WriterOptions writer_options_from(const std::string &compression,
                                           const std::optional<int> &level) {
  parquet::WriterOptions o;
  o.codec = compression == "zstd"   ? parquet::Codec::kZstd
            : compression == "none" ? parquet::Codec::kUncompressed
                                    : parquet::Codec::kSnappy;
  if (level) {
    if (o.codec != parquet::Codec::kZstd)
      throw std::invalid_argument("--compression-level applies to --compression zstd only");
    o.zstd_level = *level;
  }
  return o;
}

// The TLS flags as options; any of them with a URL that is not rediss:// is a usage error, and
// so is a file that cannot be loaded.
redis::TlsOptions tls_options_from(const RunFlags &f, const redis::Endpoint &endpoint,
                                   const std::string &url) {
  const char *given = f.redis_tls_ca_file     ? "--redis-tls-ca-file"
                      : f.redis_tls_cert_file ? "--redis-tls-cert-file"
                      : f.redis_tls_key_file  ? "--redis-tls-key-file"
                      : f.redis_tls_insecure  ? "--redis-tls-insecure"
                                              : nullptr;
  if (given != nullptr && !endpoint.tls)
    throw std::invalid_argument(
        std::string(given) +
        " needs a rediss:// (or rediss+sentinel://, rediss+cluster://) Redis URL, not " +
        redis::masked_url(url));
  redis::TlsOptions tls{f.redis_tls_ca_file, f.redis_tls_cert_file, f.redis_tls_key_file,
                        f.redis_tls_insecure};
  if (endpoint.tls)
    redis::make_tls_context(tls);
  return tls;
}

// Another instance takes an entry over once it has waited the claim time, so that time must
// exceed the longest wait for an acknowledgement in this mode.
void check_claim_idle(const ProcessorOptions &options,
                      redis::Connection::Clock::duration redis_timeout) {
  if (!options.claim_idle)
    return;
  const auto floor = networking::remote_historian::v2::claim_idle_floor(
      options.durable, options.flush_interval,
      std::chrono::ceil<std::chrono::milliseconds>(redis_timeout));
  if (*options.claim_idle > floor)
    return;
  char text[200];
  std::snprintf(text, sizeof text,
                "--claim-idle: %g s does not exceed %g s, the longest an entry may wait for its "
                "acknowledgement (%s)",
                static_cast<double>(options.claim_idle->count()) / 1000,
                static_cast<double>(floor.count()) / 1000,
                options.durable ? "--flush-interval + 2 x --redis-timeout" : "2 x --redis-timeout");
  throw std::invalid_argument(text);
}

eb::LogLevel level_from(const std::string &name) {
  if (name == "debug")
    return eb::LogLevel::kDebug;
  if (name == "error")
    return eb::LogLevel::kError;
  return eb::LogLevel::kWarning;
}

int run_command(const RunFlags &flags) {
  ProcessorOptions options;
  redis::Connection::Clock::duration redis_timeout{};
  std::optional<metrics::ListenAddress> metrics_address;
  try {
    if (flags.metrics_address)
      metrics_address = metrics::parse_listen_address(*flags.metrics_address);
    options = options_from(flags);
    redis_timeout = redis_timeout_from(flags.redis_timeout);
    const redis::Endpoint endpoint = redis::parse_url(options.redis_url);
    options.redis_tls = tls_options_from(flags, endpoint, options.redis_url);
    if (flags.sentinel_password_file) {
      if (!endpoint.uses_sentinel())
        throw std::invalid_argument(
            "--sentinel-password-file needs a redis+sentinel:// (or rediss+sentinel://) Redis "
            "URL, not " +
            redis::masked_url(options.redis_url));
      std::tie(options.sentinel_user, options.sentinel_password) =
          host::read_sentinel_credentials(*flags.sentinel_password_file);
    }
    options.writer_options = writer_options_from(flags.compression, flags.compression_level);
    check_claim_idle(options, redis_timeout);
    if (flags.output_url) {
      options.output_bucket = s3::parse_location(*flags.output_url);
      options.bucket_config =
          networking::remote_historian::v2::_bucket_config(flags.s3_credentials_file);
    } else if (flags.s3_credentials_file) {
      throw std::invalid_argument("--s3-credentials-file needs --output-url");
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "event-historian: error: %s\n", e.what());
    return host::kExitUsage;
  }
  eb::settings().RUN_ID = flags.run_id;
  if (!flags.run_id) {
    if (const char *env = std::getenv("RUN_ID"))
      eb::settings().RUN_ID = std::string(env);
  }
  eb::set_log_threshold(level_from(flags.log_level));
  if (flags.redis_tls_insecure)
    networking::remote_historian::v2::logger().warning(
        "[EventHistorian] --redis-tls-insecure: the Redis server's certificate and host name are "
        "not checked");
  // The files go to a bucket: unless told where, they are staged in a directory of their own,
  // removed once everything is uploaded.
  std::optional<std::string> staging;
  if (options.output_bucket && !flags.output_path) {
    try {
      staging = host::make_staging_directory();
    } catch (const std::exception &e) {
      std::fprintf(stderr, "event-historian: error: %s\n", e.what());
      return host::kExitStartFailure;
    }
    options.output_path = *staging;
  }
  const int status = host::run_until_signalled(std::move(options), redis_timeout, metrics_address);
  if (staging) {
    std::error_code ec;
    if (status == host::kExitClean)
      std::filesystem::remove_all(*staging, ec);
    else
      networking::remote_historian::v2::logger().warning(
          "[EventHistorian] The staged files stay in %s", staging->c_str());
  }
  return status;
}

} // namespace

int main(int argc, char **argv) {
  // A write to a closed pipe (standard error's reader gone) fails with EPIPE instead of
  // killing the process; the logger drops what it cannot write.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"event-historian: writes RL training steps from Redis streams to Parquet files"};
  app.set_version_flag("--version", std::string("event-historian ") + HISTORIAN_VERSION +
                                        " (build " + HISTORIAN_BUILD_ID + ", " +
                                        HISTORIAN_COMPILER + ", " + HISTORIAN_BUILD_TYPE + ")");
  app.require_subcommand(1);

  RunFlags run_flags;
  CLI::App *run = app.add_subcommand("run", "Consume the streams of one training job until "
                                            "SIGTERM/SIGINT/SIGHUP, then write the final files");
  add_run_options(*run, run_flags);

  host::DemoFlags demo_flags;
  CLI::App *demo = app.add_subcommand(
      "demo", "Start a throwaway redis-server, publish a synthetic training run through the "
              "historian and show the files it wrote");
  demo->add_option("--redis-url", demo_flags.redis_url,
                   "Use this Redis server instead of starting one");
  demo->add_option("--output-path", demo_flags.output_path, "Directory for the files")
      ->capture_default_str();
  demo->add_option("--episodes", demo_flags.episodes_per_cycle, "Episodes per cycle")
      ->capture_default_str();
  demo->add_option("--cycles", demo_flags.cycles, "Training cycles")->capture_default_str();

  std::string inspect_path;
  std::size_t inspect_rows = 10;
  std::optional<std::string> inspect_credentials;
  CLI::App *inspect = app.add_subcommand(
      "inspect", "Print a Parquet file's schema, row groups and first rows, or list the files of "
                 "an output or parts directory");
  inspect
      ->add_option("PATH", inspect_path,
                   "Parquet file, output directory or parts directory; or in a bucket, "
                   "s3://BUCKET/KEY.parquet or s3://BUCKET/PREFIX (read in place)")
      ->required();
  inspect->add_option("--rows", inspect_rows, "Rows to print")->capture_default_str();
  inspect->add_option("--s3-credentials-file", inspect_credentials, kCredentialsFileHelp);

  std::string compact_parts_dir;
  std::optional<std::string> compact_output;
  CLI::App *compact = app.add_subcommand(
      "compact", "Merge the part files a run left unmerged (a killed run's) into a final file");
  compact->add_option("PARTS_DIR", compact_parts_dir, "Parts directory, FINAL.parquet.parts")
      ->required();
  compact->add_option("OUTPUT_FILE", compact_output,
                      "File to write; default: PARTS_DIR without .parts; never replaced");
  std::string compact_compression = "snappy";
  std::optional<int> compact_level;
  compact->add_option("--compression", compact_compression, "Codec: snappy, zstd or none")
      ->check(CLI::IsMember({"snappy", "zstd", "none"}))
      ->capture_default_str();
  compact->add_option("--compression-level", compact_level, "zstd level, 1 to 22")
      ->check(CLI::Range(1, 22));

  std::string report_input;
  std::optional<std::string> report_output;
  CLI::App *report = app.add_subcommand(
      "report", "Draw a run's average reward, episode returns and lengths and steps per cycle "
                "as an SVG, and print them as a table (exact from the episodes file when there "
                "is one)");
  std::optional<std::string> report_credentials;
  report
      ->add_option("INPUT", report_input,
                   "Output directory (its newest run), step file or cycle summary file; or the "
                   "same in a bucket, s3://BUCKET/PREFIX[/FILE.parquet] (read in place)")
      ->required();
  report->add_option("--output", report_output,
                     "SVG file to write; default: beside the step file, BASE.report.svg (in the "
                     "current directory for a run in a bucket)");
  report->add_option("--s3-credentials-file", report_credentials, kCredentialsFileHelp);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0)
      return app.exit(e); // --help, --version
    std::fprintf(stderr, "event-historian: error: %s\n", e.what());
    return host::kExitUsage;
  }

  if (*run)
    return run_command(run_flags);
  if (*demo)
    return host::run_demo(demo_flags);
  if (*compact) {
    parquet::WriterOptions writer;
    try {
      writer = writer_options_from(compact_compression, compact_level);
    } catch (const std::exception &e) {
      std::fprintf(stderr, "event-historian: error: %s\n", e.what());
      return host::kExitUsage;
    }
    return host::compact_command(std::move(compact_parts_dir), std::move(compact_output), writer);
  }
  // --s3-credentials-file only goes with an input in a bucket.
  const auto credentials_without_bucket = [](const std::string &input,
                                             const std::optional<std::string> &credentials_file) {
    if (!credentials_file || host::is_bucket_url(input))
      return false;
    std::fprintf(stderr, "event-historian: error: --s3-credentials-file needs an s3:// input\n");
    return true;
  };
  if (*report) {
    if (credentials_without_bucket(report_input, report_credentials))
      return host::kExitUsage;
    return host::report_command(report_input, report_output, report_credentials);
  }
  if (credentials_without_bucket(inspect_path, inspect_credentials))
    return host::kExitUsage;
  return host::inspect_command(inspect_path, inspect_rows, inspect_credentials);
}
