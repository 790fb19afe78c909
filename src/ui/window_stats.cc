#include "ui/window_stats.h"

#include <utility>

#include "product/installer_features.h"

namespace norva::installer {

WindowStats::WindowStats(StatsNode root)
    : enabled_(FeatureRegistry::Get().IsEnabled(kUiStats)), root_(std::move(root)) {}

void WindowStats::StartPage(std::string_view page_type) {
  if (!enabled_) return;
  page_ = root_.AppendRecord("ui.page_sequence");
  page_.SetString("page_type", page_type);
}

void WindowStats::CountChange(std::string_view counter) const {
  if (enabled_) page_.Increment(counter);
}

void WindowStats::SetString(std::string_view key, std::string_view value) const {
  if (enabled_) page_.SetString(key, value);
}

void WindowStats::SetInteger(std::string_view key, int64_t value) const {
  if (enabled_) page_.SetInteger(key, value);
}

}  // namespace norva::installer
