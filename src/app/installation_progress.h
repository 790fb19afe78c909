#ifndef NORVA_APP_INSTALLATION_PROGRESS_H_
#define NORVA_APP_INSTALLATION_PROGRESS_H_

#include <windows.h>

#include "ui/fetch_state.h"

namespace norva::installer {

// The window's progress bar over the whole run: each fetch state has its
// share of the bar, filled by the counts reported in that state (bytes while
// downloading, steps once the backend installs). The bar never goes back.
class InstallationProgress {
 public:
  // Shows the progress on `bar` from now on, starting where the bar stands.
  void Attach(HWND bar);
  void Detach() { bar_ = nullptr; }

  FetchState state() const { return state_; }
  void SetState(FetchState state) { state_ = state; }
  // A new count for the current state; a total of 0 shows nothing of it.
  void SetTotal(unsigned total, unsigned current);
  // Ignored while there is no total.
  void SetCurrent(unsigned current);
  void Advance();
  void Complete();

 private:
  void Update();

  HWND bar_ = nullptr;
  FetchState state_ = FetchState::kFetchingUrl;
  unsigned total_ = 0;
  unsigned current_ = 0;
};

}  // namespace norva::installer

#endif  // NORVA_APP_INSTALLATION_PROGRESS_H_
