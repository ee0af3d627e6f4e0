#pragma once

// The datasets' copy on object storage (--output-url s3://BUCKET/PREFIX). The files are written
// in the local directory as always; this part puts them in the bucket:
//
//   PREFIX/<final file name>                      each final file, once merged at the stop
//   PREFIX/_parts/BASE/<parts dir name>/part-N    each finished part, as it is written
//   PREFIX/_parts/BASE/checkpoint.json            a durable run's checkpoint
//
// Readers that glob PREFIX/*.parquet (Spark, Hive, Trino, DuckDB) skip "_parts": they see a
// final file whole or not at all. A part's key is its local name, and a durable run's part
// numbers come back from its checkpoint, so a part written again after a crash lands on the key
// it had. The bucket has no lock: one historian at a time may write a base under a prefix.
//
// A durable run commits in this order: part files written and fsynced, each uploaded and
// confirmed (ETag against the MD5 of the bytes sent, or size), then the checkpoint object,
// which names every part it holds; only then are its entries acknowledged. So the bucket alone
// is enough to go on: a start on any machine takes the checkpoint from it, downloads the parts
// it names, deletes those it does not name and aborts the multipart uploads left under them.
// At the stop the final files are uploaded, the checkpoint is replaced by one marked finished,
// and the parts and the checkpoint are deleted.
//
// Threads: upload_parts and the stop's calls run on a worker, under the processor's flush
// lock; the default mode's uploader runs on a thread of its own. What has been uploaded is
// guarded by a mutex.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "networking/remote_historian/v2/durable/checkpoint.h"
#include "networking/remote_historian/v2/historian_metrics.h"
#include "s3/client.h"

namespace networking::remote_historian::v2 {

class BucketOutput {
public:
  BucketOutput(s3::Config config, s3::Location where, std::shared_ptr<HistorianMetrics> metrics);
  ~BucketOutput();
  BucketOutput(const BucketOutput &) = delete;
  BucketOutput &operator=(const BucketOutput &) = delete;

  // "s3://BUCKET/PREFIX", for log lines.
  std::string url() const;
  std::string url_of(const std::string &key) const;
  s3::Client &client() { return *_client; }

  // The base the keys are made of and the local directory the files are staged in.
  void name(const std::string &base, const std::string &local_dir);
  std::string final_key(const std::string &local_path) const;
  std::string part_key(const std::string &local_part) const;
  std::string checkpoint_key() const;

  // Whether an object holds the final name of local_path (the names of a new run avoid it).
  bool final_taken(const std::string &local_path);

  // What the bucket says of a durable run of this base.
  enum class Found { kNone, kRunning, kFinished };
  // The checkpoint object, its file names moved into the local directory; none when the bucket
  // has none. Throws when it cannot be read.
  Found fetch_checkpoint(std::optional<Checkpoint> &checkpoint);
  // Goes on from checkpoint: its parts downloaded where they are missing locally (or differ),
  // the objects under its parts directories that it does not name deleted, and the multipart
  // uploads left under its keys aborted.
  void resume(const Checkpoint &checkpoint);
  // A finished run whose clean-up was cut short: its parts and checkpoint deleted.
  void finish_cleanup(const Checkpoint &checkpoint);
  // A run without a checkpoint: part objects of these parts directories that are not on disk
  // (an earlier run on a machine that is gone) are downloaded, so that the stop merges them as
  // it merges parts left on disk. Returns how many.
  int adopt_parts(const std::vector<std::string> &parts_dirs);
  // The parts directories in the bucket of this base other than in_use, by name.
  std::vector<std::string> orphaned_parts_dirs(const std::vector<std::string> &in_use);

  // Uploads every finished part in parts_dirs that the bucket does not hold yet and confirms
  // it. Throws on the first that fails; those before it stay uploaded.
  void upload_parts(const std::vector<std::string> &parts_dirs);
  // The checkpoint's share: the part objects uploaded, with their sizes and ETags.
  void save(Checkpoint &c) const;
  // Replaces the checkpoint object.
  void upload_checkpoint(const Checkpoint &c);

  // The default mode's uploader: every finished part of parts_dirs uploaded as it appears,
  // failures retried with a growing delay (30 s at most), one error line per outage.
  void start_uploader(std::vector<std::string> parts_dirs);
  // Waits for the upload under way, if any, and ends the thread.
  void stop_uploader();

  // Uploads a final file (a multipart upload above the threshold): readers see it whole.
  void publish_final(const std::string &local_path);
  // Deletes the part objects of parts_dirs and (durable) the checkpoint, the checkpoint first
  // replaced by finished when given. Failures are logged, not raised: the final files are out.
  void remove_parts(const std::vector<std::string> &parts_dirs,
                    const std::optional<Checkpoint> &finished);

private:
  std::string local_part(const std::string &key) const;
  std::string parts_prefix() const;
  void upload_one(const std::string &path);
  void uploader_loop(const std::vector<std::string> &parts_dirs);
  // Brings the metrics up to the client's counts.
  void count();

  std::unique_ptr<s3::Client> _client;
  std::shared_ptr<HistorianMetrics> _metrics;
  s3::Client::Counts _counted;
  s3::Location _where;
  std::string _base;
  std::string _local_dir;

  mutable std::mutex _mutex;
  // Key to (size, ETag) of every part object this run holds.
  std::map<std::string, s3::ObjectInfo> _uploaded;

  std::thread _uploader;
  std::condition_variable _wake;
  bool _stopping = false;
};

// s3 configuration of the environment and --s3-credentials-file (when given), with the
// credentials checked. Throws std::runtime_error naming what is missing.
s3::Config _bucket_config(const std::optional<std::string> &credentials_file);

} // namespace networking::remote_historian::v2
