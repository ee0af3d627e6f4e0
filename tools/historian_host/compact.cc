#include "tools/historian_host/compact.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "networking/remote_historian/v2/durable/checkpoint.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/output/part_files.h"
#include "tools/historian_host/host.h"

namespace host {

namespace fs = std::filesystem;
namespace v2 = networking::remote_historian::v2;

namespace {

// A durable run's checkpoint beside parts_dir that names it: its path and the number of the
// first part written after it. None when no checkpoint there names parts_dir (a run that was
// not durable, or that finished). Throws when a checkpoint there cannot be read.
struct CheckpointedParts {
  std::string checkpoint;
  std::int64_t next_part = 0;
};
std::optional<CheckpointedParts> checkpointed_parts(const fs::path &parts_dir) {
  constexpr std::string_view kCheckpointSuffix = ".checkpoint.json";
  const fs::path dir = parts_dir.has_parent_path() ? parts_dir.parent_path() : fs::path(".");
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(kCheckpointSuffix))
      continue;
    const std::optional<v2::Checkpoint> c = v2::_load_checkpoint(entry.path().string());
    if (!c)
      continue;
    // The datasets' shares: the step dataset's, the cycle summary's and the episodes'.
    for (const std::string key : {"", "cycle_", "episodes_"}) {
      const json::Value *file = c->find(key + "output_file");
      const json::Value *index = c->find(key + "part_index");
      if (file && file->is_string() && index && index->kind() == json::Kind::kInt &&
          fs::path(file->as_string()).filename().string() + ".parts" ==
              parts_dir.filename().string())
        return CheckpointedParts{entry.path().string(), index->as_int()};
    }
  }
  return std::nullopt;
}

} // namespace

int compact_command(std::string parts_dir, std::optional<std::string> output_file,
                    const parquet::WriterOptions &writer) {
  while (parts_dir.size() > 1 && parts_dir.back() == '/')
    parts_dir.pop_back();
  constexpr std::string_view kSuffix = ".parts";
  if (!output_file) {
    if (parts_dir.size() <= kSuffix.size() || !parts_dir.ends_with(kSuffix)) {
      std::fprintf(stderr,
                   "event-historian: error: %s does not end in .parts: name the OUTPUT_FILE\n",
                   parts_dir.c_str());
      return kExitUsage;
    }
    output_file = parts_dir.substr(0, parts_dir.size() - kSuffix.size());
  }
  std::error_code ec;
  if (!fs::is_directory(parts_dir, ec)) {
    std::fprintf(stderr, "event-historian: error: %s is not a directory\n", parts_dir.c_str());
    return kExitStartFailure;
  }
  if (fs::exists(fs::symlink_status(*output_file, ec))) {
    std::fprintf(stderr, "event-historian: error: %s already exists; it is not replaced\n",
                 output_file->c_str());
    return kExitStartFailure;
  }
  // As at a run's start: parts that were still being written when it was killed are no parts,
  // and a durable run's parts written after its checkpoint hold entries that are handled again
  // (by its restart, or by the instance that took them over).
  v2::_remove_part_temporaries(parts_dir);
  try {
    if (const auto checkpointed = checkpointed_parts(parts_dir)) {
      const int removed = v2::_remove_parts_from(parts_dir, checkpointed->next_part);
      if (removed > 0)
        std::fprintf(stderr,
                     "event-historian: removed %d parts of %s written after checkpoint %s\n",
                     removed, parts_dir.c_str(), checkpointed->checkpoint.c_str());
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "event-historian: error: %s; nothing merged\n", e.what());
    return kExitStartFailure;
  }
  const bool complete = v2::Dataset::_compact_parts(parts_dir, output_file, writer);
  const bool written = fs::exists(*output_file, ec);
  if (written)
    std::printf("%s\n", output_file->c_str());
  if (complete) {
    if (!written)
      std::printf("%s held no parts; nothing written\n", parts_dir.c_str());
    return kExitClean;
  }
  if (written) {
    std::fprintf(stderr, "event-historian: error: %s lacks the parts set aside in %s (see above)\n",
                 output_file->c_str(), parts_dir.c_str());
  } else {
    std::fprintf(stderr, "event-historian: error: nothing merged into %s; the parts stay in %s\n",
                 output_file->c_str(), parts_dir.c_str());
  }
  return kExitDataLoss;
}

} // namespace host
