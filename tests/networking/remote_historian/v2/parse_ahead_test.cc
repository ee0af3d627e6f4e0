#include "networking/remote_historian/v2/parse_ahead.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "json/document.h"
#include "json/value.h"
#include "json/write.h"

namespace {

using networking::remote_historian::v2::ParseAhead;

// What a parse gave, in one comparable line: the tree of a document, "refused", or "usual"
// for a text that was not parsed ahead.
std::string describe(ParseAhead::Parsed parsed) {
  if (!parsed.done)
    return "usual";
  if (!parsed.document)
    return "refused";
  return json::dumps(parsed.document->to_value());
}

std::vector<std::unique_ptr<std::string>> batch_texts(int seed, int n = 10) {
  std::vector<std::unique_ptr<std::string>> texts;
  for (int i = 0; i < n; ++i) {
    std::string text;
    switch ((i + seed) % 5) {
    case 0:
      text = "not json";
      break;
    case 1:
      text = "{\"x\": NaN}";
      break; // for the exact parser
    default:
      text = "{\"i\": " + std::to_string(i) + ", \"v\": [" + std::to_string(seed) +
             ", 1.5, null], \"s\": \"" + std::string(static_cast<std::size_t>(i) * 40, 'a') + "\"}";
    }
    texts.push_back(std::make_unique<std::string>(std::move(text)));
  }
  return texts;
}

// Parsing ahead gives, entry by entry, what parsing on the spot gives (or leaves the entry
// to be parsed as usual), however the worker's timing falls. The texts are freed right after
// finish(): a worker still touching them would be a use after free under ASan.
TEST(ParseAhead, GivesWhatParsingOnTheSpotGivesWhateverTheTiming) {
  std::size_t ahead_count = 0;
  // Entries beyond the first window, parsed ahead: the worker was called back.
  std::size_t beyond_window = 0;
  for (int round = 0; round < 300; ++round) {
    // Every fifth batch is longer than the window.
    const bool long_batch = round % 5 == 2;
    auto texts = batch_texts(round, long_batch ? 200 : 10);
    std::vector<const std::string *> views;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      // Two entries without a text; one that is parsed from a padded buffer.
      views.push_back(i == 3 || i == 9 ? nullptr : texts[i].get());
      // Spare capacity: parsed in place.
      if (i == 5)
        texts[i]->reserve(texts[i]->size() + json::kDocumentPadding);
    }
    std::vector<std::string> expected;
    for (const std::string *text : views) {
      if (!text) {
        expected.push_back("usual");
        continue;
      }
      auto document = json::Document::parse(*text);
      expected.push_back(document ? json::dumps(document->to_value()) : "refused");
    }
    {
      ParseAhead ahead(views);
      ahead.start();
      // Give the worker a head start of varying length, sometimes none.
      if (round % 3 == 1)
        std::this_thread::sleep_for(std::chrono::microseconds(round % 50));
      const std::size_t taken = round % 4 == 0 ? views.size() / 2 : views.size();
      for (std::size_t i = 0; i < taken; ++i) {
        // The worker gets a window ahead and stops; the loop catches up half the window and
        // calls it back, and it gets ahead again.
        if (long_batch && (i == 0 || i == ParseAhead::kWindow / 2 + 1))
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::string got = describe(ahead.take(i));
        // "usual": left to the loop, as the worker had not reached it.
        if (got != "usual") {
          ++ahead_count;
          beyond_window += i >= ParseAhead::kWindow;
          EXPECT_EQ(got, expected[i]) << "round " << round << " entry " << i;
        }
        if (views[i] == nullptr) {
          EXPECT_EQ(got, "usual");
        }
      }
      ahead.finish();
    }
    texts.clear();
  }
  // The worker took part at all (three hundred batches with head starts).
  EXPECT_GT(ahead_count, 0u);
  EXPECT_GT(beyond_window, 0u);
}

TEST(ParseAhead, WorkerThatStartsAfterTheBatchTouchesNothing) {
  // Every entry is taken before the worker can run; then the texts are freed.
  for (int round = 0; round < 100; ++round) {
    auto texts = batch_texts(round, round % 2 ? 10 : 100);
    std::vector<const std::string *> views;
    for (auto &t : texts)
      views.push_back(t.get());
    {
      ParseAhead ahead(views);
      for (std::size_t i = 0; i < views.size(); ++i)
        EXPECT_EQ(describe(ahead.take(i)), "usual");
      // Entries past the texts (a reply cut short by a malformed element) are the loop's.
      EXPECT_EQ(describe(ahead.take(views.size() + 2)), "usual");
      ahead.start(); // the job runs later, finds every slot taken
    }
    texts.clear();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let late jobs run under ASan
}

} // namespace
