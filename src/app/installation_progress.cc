#include "app/installation_progress.h"

#include <commctrl.h>

#include <iterator>
#include <numeric>

namespace norva::installer {
namespace {

// The share of the progress bar of each FetchState.
constexpr int kProgressWeights[kFetchStateCount] = {1, 1000, 200, 1, 1, 100};
constexpr int kProgressTotalWeight =
    std::accumulate(std::begin(kProgressWeights), std::end(kProgressWeights), 0);
// A jump of the bar by at most this many units is stepped, not set.
constexpr int kProgressStepLimit = 10;

}  // namespace

void InstallationProgress::Attach(HWND bar) {
  bar_ = bar;
  auto position = static_cast<int>(SendMessageW(bar_, PBM_GETPOS, 0, 0));
  SendMessageW(bar_, PBM_SETRANGE32, static_cast<WPARAM>(position), kProgressTotalWeight);
  SendMessageW(bar_, PBM_SETSTEP, 1, 0);
  SendMessageW(bar_, PBM_SETPOS, 0, 0);
  Update();
}

void InstallationProgress::SetTotal(unsigned total, unsigned current) {
  total_ = total;
  current_ = current;
}

void InstallationProgress::SetCurrent(unsigned current) {
  if (total_ == 0) return;
  current_ = current;
  Update();
}

void InstallationProgress::Advance() {
  ++current_;
  Update();
}

void InstallationProgress::Complete() {
  current_ = total_;
  Update();
}

void InstallationProgress::Update() {
  if (!bar_) return;
  auto state = static_cast<int>(state_);
  double position = std::accumulate(kProgressWeights, kProgressWeights + state, 0);
  if (total_ != 0) position += static_cast<double>(kProgressWeights[state]) * current_ / total_;
  auto target = static_cast<int>(position);
  auto shown = static_cast<int>(SendMessageW(bar_, PBM_GETPOS, 0, 0));
  if (target > shown + kProgressStepLimit) {
    SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(target), 0);
    return;
  }
  for (; shown < target; ++shown) SendMessageW(bar_, PBM_STEPIT, 0, 0);
}

}  // namespace norva::installer
