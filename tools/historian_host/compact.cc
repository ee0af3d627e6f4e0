#include "tools/historian_host/compact.h"

#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/output/part_files.h"
#include "tools/historian_host/host.h"

namespace host {

namespace fs = std::filesystem;
namespace v2 = networking::remote_historian::v2;

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
  // As at a run's start: parts that were still being written when it was killed are no parts.
  v2::_remove_part_temporaries(parts_dir);
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
