// Output on object storage, as the conductor orders it: what the bucket holds decides where a
// run starts, parts go up before the checkpoint that names them, and the final files go up at
// the stop before the parts are deleted.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/output/part_files.h"

namespace networking::remote_historian::v2 {

namespace fs = std::filesystem;

bool EventHistorianProcessor::_bucket_start(const std::string &base) {
  if (!_ledger)
    return false;
  _ledger->name_checkpoint(output_path, base);
  std::optional<Checkpoint> checkpoint;
  switch (_bucket->fetch_checkpoint(checkpoint)) {
  case BucketOutput::Found::kRunning:
    // The bucket's checkpoint is the run's: a newer one on this disk was never committed.
    _bucket->resume(*checkpoint);
    _write_checkpoint(_ledger->checkpoint_file(), *checkpoint);
    return false;
  case BucketOutput::Found::kFinished: {
    // Its final files are out; only the clean-up was cut short. What this disk still holds
    // of it is not to be merged again.
    _bucket->finish_cleanup(*checkpoint);
    std::error_code ec;
    fs::remove(_ledger->checkpoint_file(), ec);
    logger().debug("[EventHistorian] Finished the clean-up of the run of %s",
                   _bucket->url_of(_bucket->checkpoint_key()).c_str());
    return false;
  }
  case BucketOutput::Found::kNone:
    break;
  }
  std::error_code ec;
  return fs::exists(_ledger->checkpoint_file(), ec);
}

void EventHistorianProcessor::_bucket_adopt() {
  const std::vector<std::string> dirs = {*_steps._parts_dir, *_cycle_summary._parts_dir,
                                         *_episodes._parts_dir};
  // A resumed durable run took its parts from its checkpoint; any other run takes in the part
  // objects under its own parts directories, as it merges the parts it finds on disk.
  if (!(_ledger && fs::exists(_ledger->checkpoint_file()))) {
    if (const int adopted = _bucket->adopt_parts(dirs); adopted > 0)
      logger().warning("[EventHistorian] %d parts an earlier run left in %s are merged into this "
                       "run's files",
                       adopted, _bucket->url().c_str());
  }
  std::vector<std::string> in_use;
  in_use.reserve(dirs.size());
  for (const std::string &dir : dirs)
    in_use.push_back(fs::path(dir).filename().string());
  const std::vector<std::string> orphans = _bucket->orphaned_parts_dirs(in_use);
  if (!orphans.empty()) {
    std::string listed;
    for (const std::string &dir : orphans)
      listed += (listed.empty() ? "" : ", ") + dir;
    logger().warning(
        "[EventHistorian] Parts of earlier runs in %s were never merged: %s",
        _bucket
            ->url_of(_bucket->checkpoint_key().substr(0, _bucket->checkpoint_key().rfind('/') + 1))
            .c_str(),
        listed.c_str());
  }
}

void EventHistorianProcessor::_bucket_publish() {
  bool published = true;
  for (Dataset *dataset : {&_steps, &_cycle_summary, &_episodes}) {
    if (!dataset->_output_file || !dataset->complete())
      continue;
    std::error_code ec;
    if (!fs::exists(*dataset->_output_file, ec))
      continue;
    try {
      _bucket->publish_final(*dataset->_output_file);
      logger().debug("[EventHistorian] Uploaded %s to %s", dataset->_output_file->c_str(),
                     _bucket->url_of(_bucket->final_key(*dataset->_output_file)).c_str());
    } catch (const std::exception &e) {
      logger().error("[EventHistorian] Upload of %s to %s failed; the file stays on disk: %s",
                     dataset->_output_file->c_str(),
                     _bucket->url_of(_bucket->final_key(*dataset->_output_file)).c_str(), e.what());
      dataset->mark_incomplete();
      published = false;
    }
  }
  if (!published || !incomplete_outputs().empty())
    return;
  std::optional<Checkpoint> finished;
  if (_ledger) {
    finished = _checkpoint_state();
    finished->insert("finished", json::Value(true));
  }
  _bucket->remove_parts({*_steps._parts_dir, *_cycle_summary._parts_dir, *_episodes._parts_dir},
                        finished);
}

} // namespace networking::remote_historian::v2
