#ifndef NORVA_UI_FETCH_STATE_H_
#define NORVA_UI_FETCH_STATE_H_

namespace norva::installer {

// What the interactive installer knows of its package, in the order a fetch
// goes through; the progress bar gives each a share of its length.
enum class FetchState : int {
  kFetchingUrl = 0,  // asking for the download address
  kDownloading = 1,
  kUnpacking = 2,
  kPartnerContent = 3,
  kPackageReady = 4,
  kHandedOver = 5,  // handed to the backend
};

inline constexpr int kFetchStateCount = static_cast<int>(FetchState::kHandedOver) + 1;

}  // namespace norva::installer

#endif  // NORVA_UI_FETCH_STATE_H_
