#include "networking/remote_historian/v2/bucket/bucket_output.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <utility>

#include "networking/remote_historian/v2/durable/test_pause.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/output/part_files.h"

namespace networking::remote_historian::v2 {

namespace {

namespace fs = std::filesystem;

constexpr const char *kPartsMember = "bucket_parts";
constexpr const char *kFinishedMember = "finished";
// The members of a checkpoint that name a final file, each with its directory.
constexpr const char *kFileMembers[] = {"output_file", "cycle_output_file", "episodes_output_file"};

std::string file_name(const std::string &path) { return fs::path(path).filename().string(); }

// The final files a checkpoint names (file names only).
std::vector<std::string> final_names(const Checkpoint &c) {
  std::vector<std::string> names;
  for (const char *member : kFileMembers)
    if (const json::Value *v = c.find(member); v && v->is_string() && !v->as_string().empty())
      names.push_back(file_name(v->as_string()));
  return names;
}

} // namespace

s3::Config _bucket_config(const std::optional<std::string> &credentials_file) {
  s3::Config config = s3::config_from_environment();
  if (credentials_file)
    s3::read_credentials_file(*credentials_file, config);
  s3::check_credentials(config);
  // Files above this size go up in parts of this size (at least 5 MiB, as S3 requires).
  if (const char *text = std::getenv("HISTORIAN_S3_MULTIPART_BYTES")) {
    const auto bytes = std::strtoull(text, nullptr, 10);
    if (bytes >= (std::uint64_t{5} << 20)) {
      config.multipart_threshold = bytes;
      config.part_size = bytes;
    }
  }
  return config;
}

BucketOutput::BucketOutput(s3::Config config, s3::Location where,
                           std::shared_ptr<HistorianMetrics> metrics)
    : _metrics(std::move(metrics)), _where(std::move(where)) {
  config.after_part = [] { _test_pause("multipart upload"); };
  _client = std::make_unique<s3::Client>(std::move(config), _where.bucket);
}

BucketOutput::~BucketOutput() { stop_uploader(); }

void BucketOutput::count() {
  const s3::Client::Counts now = _client->counts();
  std::lock_guard lock(_mutex);
  _metrics->bucket.requests.add(now.requests - _counted.requests);
  _metrics->bucket.retries.add(now.retries - _counted.retries);
  _metrics->bucket.failures.add(now.failures - _counted.failures);
  _metrics->bucket.bytes_uploaded.add(now.bytes_sent - _counted.bytes_sent);
  _counted = now;
}

std::string BucketOutput::url() const {
  return "s3://" + _where.bucket + (_where.prefix.empty() ? "" : "/" + _where.prefix);
}

std::string BucketOutput::url_of(const std::string &key) const {
  return "s3://" + _where.bucket + "/" + key;
}

void BucketOutput::name(const std::string &base, const std::string &local_dir) {
  _base = base;
  _local_dir = local_dir;
}

std::string BucketOutput::parts_prefix() const { return _where.key("_parts/" + _base + "/"); }

std::string BucketOutput::final_key(const std::string &local_path) const {
  return _where.key(file_name(local_path));
}

std::string BucketOutput::part_key(const std::string &local_part) const {
  const fs::path path(local_part);
  return parts_prefix() + path.parent_path().filename().string() + "/" + path.filename().string();
}

std::string BucketOutput::local_part(const std::string &key) const {
  // "<parts dir name>/<part name>" after the prefix.
  const std::string rest = key.substr(parts_prefix().size());
  return (fs::path(_local_dir) / rest).string();
}

std::string BucketOutput::checkpoint_key() const { return parts_prefix() + "checkpoint.json"; }

bool BucketOutput::final_taken(const std::string &local_path) {
  return _client->head(final_key(local_path)).has_value();
}

BucketOutput::Found BucketOutput::fetch_checkpoint(std::optional<Checkpoint> &checkpoint) {
  checkpoint.reset();
  std::string text;
  try {
    text = _client->get(checkpoint_key());
  } catch (const s3::Error &e) {
    if (e.status() == 404)
      return Found::kNone;
    throw;
  }
  Checkpoint c = _parse_checkpoint(text);
  // Written on another machine, perhaps: its files live in this one's directory now.
  for (const char *member : kFileMembers) {
    json::Value *v = c.find(member);
    if (v && v->is_string() && !v->as_string().empty())
      *v = json::Value((fs::path(_local_dir) / file_name(v->as_string())).string());
  }
  const json::Value *finished = c.find(kFinishedMember);
  const bool done = finished && finished->is_bool() && finished->as_bool();
  checkpoint = std::move(c);
  return done ? Found::kFinished : Found::kRunning;
}

void BucketOutput::resume(const Checkpoint &checkpoint) {
  std::map<std::string, s3::ObjectInfo> named;
  if (const json::Value *parts = checkpoint.find(kPartsMember)) {
    if (!parts->is_object())
      checkpoint::bad(std::string("'") + kPartsMember + "' is not an object");
    for (const auto &[key, value] : parts->as_object()) {
      if (!value.is_object())
        checkpoint::bad(std::string("'") + kPartsMember + "' holds a part that is not an object");
      s3::ObjectInfo info;
      info.key = key;
      info.size = static_cast<std::uint64_t>(
          checkpoint::int_of(checkpoint::member(value.as_object(), "size"), kPartsMember));
      info.etag = checkpoint::text_of(checkpoint::member(value.as_object(), "etag"), kPartsMember);
      named.emplace(key, std::move(info));
    }
  }
  // The parts it holds, on this disk.
  int downloaded = 0;
  for (const auto &[key, info] : named) {
    const std::string path = local_part(key);
    std::error_code ec;
    if (fs::exists(path, ec) && fs::file_size(path, ec) == info.size && !ec)
      continue;
    fs::create_directories(fs::path(path).parent_path());
    _client->download(key, path);
    ++downloaded;
  }
  // What a run after the checkpoint wrote under its parts directories, and uploads it left.
  int removed = 0;
  for (const std::string &name : final_names(checkpoint)) {
    const std::string dir_prefix = parts_prefix() + name + ".parts/";
    for (const s3::ObjectInfo &object : _client->list(dir_prefix))
      if (!named.contains(object.key)) {
        _client->remove(object.key);
        ++removed;
      }
  }
  int aborted = 0;
  std::vector<std::string> upload_prefixes = {parts_prefix()};
  for (const std::string &name : final_names(checkpoint))
    upload_prefixes.push_back(_where.key(name));
  for (const std::string &prefix : upload_prefixes)
    for (const s3::MultipartUpload &upload : _client->list_uploads(prefix)) {
      // A final name's prefix also matches longer names; only the exact key is ours.
      if (prefix != parts_prefix() && upload.key != prefix)
        continue;
      _client->abort_upload(upload);
      ++aborted;
    }
  {
    std::lock_guard lock(_mutex);
    _uploaded = std::move(named);
  }
  logger().debug("[EventHistorian] Resumed from %s: %d parts downloaded, %d part objects written "
                 "after the checkpoint deleted, %d multipart uploads aborted",
                 url_of(checkpoint_key()).c_str(), downloaded, removed, aborted);
}

void BucketOutput::finish_cleanup(const Checkpoint &checkpoint) {
  for (const std::string &name : final_names(checkpoint))
    for (const s3::ObjectInfo &object : _client->list(parts_prefix() + name + ".parts/"))
      _client->remove(object.key);
  for (const s3::MultipartUpload &upload : _client->list_uploads(parts_prefix()))
    _client->abort_upload(upload);
  _client->remove(checkpoint_key());
}

int BucketOutput::adopt_parts(const std::vector<std::string> &parts_dirs) {
  int adopted = 0;
  for (const std::string &dir : parts_dirs) {
    for (const s3::ObjectInfo &object : _client->list(parts_prefix() + file_name(dir) + "/")) {
      const std::string path = local_part(object.key);
      std::error_code ec;
      if (!fs::exists(path, ec)) {
        fs::create_directories(fs::path(path).parent_path());
        _client->download(object.key, path);
        ++adopted;
      }
      std::lock_guard lock(_mutex);
      _uploaded[object.key] = object;
    }
  }
  return adopted;
}

std::vector<std::string> BucketOutput::orphaned_parts_dirs(const std::vector<std::string> &in_use) {
  std::set<std::string> dirs;
  const std::string prefix = parts_prefix();
  for (const s3::ObjectInfo &object : _client->list(prefix)) {
    const std::string rest = object.key.substr(prefix.size());
    const auto slash = rest.find('/');
    if (slash == std::string::npos)
      continue;
    const std::string dir = rest.substr(0, slash);
    if (std::find(in_use.begin(), in_use.end(), dir) == in_use.end())
      dirs.insert(dir);
  }
  return {dirs.begin(), dirs.end()};
}

void BucketOutput::upload_one(const std::string &path) {
  const std::string key = part_key(path);
  _test_pause("upload");
  std::string etag;
  try {
    etag = _client->upload_file(key, path);
  } catch (...) {
    count();
    throw;
  }
  count();
  _metrics->bucket.parts_uploaded.add();
  s3::ObjectInfo info{key, fs::file_size(path), etag};
  std::lock_guard lock(_mutex);
  _uploaded[key] = std::move(info);
}

void BucketOutput::upload_parts(const std::vector<std::string> &parts_dirs) {
  for (const std::string &dir : parts_dirs) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
      continue; // no part yet, or merged away
    for (const std::string &path : _parts_in_merge_order(dir)) {
      if (!_part_number(file_name(path)))
        continue;
      std::error_code ec;
      const std::uint64_t size = fs::file_size(path, ec);
      if (ec)
        continue; // merged away meanwhile
      {
        std::lock_guard lock(_mutex);
        const auto held = _uploaded.find(part_key(path));
        if (held != _uploaded.end() && held->second.size == size)
          continue;
      }
      upload_one(path);
    }
  }
}

void BucketOutput::save(Checkpoint &c) const {
  json::Object parts;
  std::lock_guard lock(_mutex);
  for (const auto &[key, info] : _uploaded) {
    json::Object part;
    part.insert("size", json::Value(static_cast<std::int64_t>(info.size)));
    part.insert("etag", json::Value(info.etag));
    parts.insert(key, json::Value(std::move(part)));
  }
  c.insert(kPartsMember, json::Value(std::move(parts)));
}

void BucketOutput::upload_checkpoint(const Checkpoint &c) {
  _test_pause("bucket checkpoint");
  try {
    _client->put(checkpoint_key(), _checkpoint_text(c));
  } catch (...) {
    count();
    throw;
  }
  count();
}

void BucketOutput::start_uploader(std::vector<std::string> parts_dirs) {
  stop_uploader();
  {
    std::lock_guard lock(_mutex);
    _stopping = false;
  }
  _uploader = std::thread([this, dirs = std::move(parts_dirs)] { uploader_loop(dirs); });
}

void BucketOutput::stop_uploader() {
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
  }
  _wake.notify_all();
  if (_uploader.joinable())
    _uploader.join();
}

void BucketOutput::uploader_loop(const std::vector<std::string> &parts_dirs) {
  using namespace std::chrono_literals;
  std::chrono::milliseconds delay = 1s;
  bool failing = false;
  for (;;) {
    try {
      upload_parts(parts_dirs);
      if (failing)
        logger().warning("[EventHistorian] Uploads to %s go through again", url().c_str());
      failing = false;
      delay = 1s;
    } catch (const std::exception &e) {
      // One line per outage; its parts stay on disk and go up once it is over.
      if (!failing)
        logger().error("[EventHistorian] Upload to %s failed; parts stay in %s and are tried "
                       "again: %s",
                       url().c_str(), _local_dir.c_str(), e.what());
      failing = true;
      delay = std::min<std::chrono::milliseconds>(delay * 2, 30s);
    }
    std::unique_lock lock(_mutex);
    if (_wake.wait_for(lock, failing ? delay : 1s, [this] { return _stopping; }))
      return;
  }
}

void BucketOutput::publish_final(const std::string &local_path) {
  _test_pause("final upload");
  try {
    _client->upload_file(final_key(local_path), local_path);
  } catch (...) {
    count();
    throw;
  }
  count();
}

void BucketOutput::remove_parts(const std::vector<std::string> &parts_dirs,
                                const std::optional<Checkpoint> &finished) {
  try {
    if (finished)
      upload_checkpoint(*finished);
    for (const std::string &dir : parts_dirs)
      for (const s3::ObjectInfo &object : _client->list(parts_prefix() + file_name(dir) + "/"))
        _client->remove(object.key);
    if (finished)
      _client->remove(checkpoint_key());
  } catch (const std::exception &e) {
    logger().warning("[EventHistorian] Part objects under %s could not all be deleted: %s",
                     url_of(parts_prefix()).c_str(), e.what());
  }
}

} // namespace networking::remote_historian::v2
