#ifndef NORVA_UI_WINDOW_STATS_H_
#define NORVA_UI_WINDOW_STATS_H_

#include <cstdint>
#include <string_view>

#include "stats/stats_collector.h"

namespace norva::installer {

// With the feature "installer-ui-stats", records in the statistics each page
// the window shows, as a record of "ui.page_sequence", and what the user did
// there; without it, records nothing.
class WindowStats {
 public:
  explicit WindowStats(StatsNode root);

  // Starts the record of the page named `page_type`.
  void StartPage(std::string_view page_type);
  void RecordAction(std::string_view action) const { SetString("navigation_action", action); }
  // Counts an edit of an option on the current page.
  void CountChange(std::string_view counter) const;
  void SetString(std::string_view key, std::string_view value) const;
  void SetInteger(std::string_view key, int64_t value) const;

 private:
  const bool enabled_;
  StatsNode root_;
  StatsNode page_;
};

}  // namespace norva::installer

#endif  // NORVA_UI_WINDOW_STATS_H_
