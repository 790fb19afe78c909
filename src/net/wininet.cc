#include "net/wininet.h"

#include <algorithm>
#include <cstring>

#include "base/logging.h"
#include "base/strings.h"
#include "net/download_progress.h"
#include "net/url_parts.h"
#include "net/ui_callback_runner.h"
#include "product/product_info.h"

namespace norva::installer {
namespace {

constexpr DWORD kConnectivityErrors[] = {
    ERROR_INTERNET_TIMEOUT,             // 12002
    ERROR_INTERNET_NAME_NOT_RESOLVED,   // 12007
    ERROR_INTERNET_CANNOT_CONNECT,      // 12029
    ERROR_INTERNET_CONNECTION_ABORTED,  // 12030
    ERROR_INTERNET_CONNECTION_RESET,    // 12031
    ERROR_HTTP_INVALID_SERVER_RESPONSE, // 12152
};

// Wine's WinINet passes socket errors through where Windows maps them to its
// own codes; take them as what Windows would have said.
DWORD NormalizeError(DWORD error) {
  switch (error) {
    case WSAECONNABORTED:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case WSAECONNRESET:
      return ERROR_INTERNET_CONNECTION_RESET;
    case WSAETIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case WSAECONNREFUSED:
      return ERROR_INTERNET_CANNOT_CONNECT;
    default:
      return error;
  }
}

bool IsConnectivityError(DWORD error) {
  for (DWORD code : kConnectivityErrors)
    if (code == error) return true;
  return false;
}

// Errors of a read that a fresh ranged request is likely to get past.
bool IsLostConnection(DWORD error) {
  return error == ERROR_INTERNET_NAME_NOT_RESOLVED || error == ERROR_INTERNET_CONNECTION_ABORTED ||
         error == ERROR_INTERNET_CONNECTION_RESET;
}

std::atomic<bool> g_send_error_set{false};
std::atomic<DWORD> g_send_error{0};

std::wstring QueryHeader(HINTERNET request, const wchar_t* name) {
  std::vector<wchar_t> buffer(std::max<size_t>(64, wcslen(name) + 1));
  for (int attempt = 0; attempt < 2; ++attempt) {
    wcscpy(buffer.data(), name);
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (HttpQueryInfoW(request, HTTP_QUERY_CUSTOM, buffer.data(), &size, nullptr))
      return std::wstring(buffer.data(), size / sizeof(wchar_t));
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    buffer.resize(std::max<size_t>(size / sizeof(wchar_t) + 1, wcslen(name) + 1));
  }
  return std::wstring();
}

// Asks the user for the proxy's credentials in WinINet's own dialog for
// `request`, on the UI thread; `reply` gets the dialog's answer on
// `reply_runner`.
void PromptForProxyCredentials(HINTERNET request, UICallbackRunner* ui_runner,
                               std::shared_ptr<TaskRunner> reply_runner,
                               UICallbackRunner::Reply reply) {
  ui_runner->RunUICallbackAndPostReply(
      [request](HWND window) {
        return static_cast<int>(InternetErrorDlg(window, request, ERROR_INTERNET_INCORRECT_PASSWORD,
                                                 FLAGS_ERROR_UI_FILTER_FOR_ERRORS |
                                                     FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                                     FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                                                 nullptr));
      },
      std::move(reply_runner), std::move(reply));
}

// Logs the prompt's answer; true when the user logged in and the request
// should be sent again.
bool ProxyCredentialsGiven(int result) {
  if (result == ERROR_INTERNET_FORCE_RETRY) {
    LOG(INFO) << "Logged in to proxy - resuming download";
    return true;
  }
  if (result == 0 || result == ERROR_CANCELLED)
    LOG(ERROR) << "The user cancelled the prompt for proxy credentials";
  else
    LOG(ERROR) << "Failed to obtain credentials for proxy";
  return false;
}

}  // namespace

Wininet::Wininet(UICallbackRunner* ui_runner, DownloadProgress* delegate,
                 std::chrono::milliseconds retry_delay)
    : progress_relay_(delegate), ui_runner_(ui_runner), retry_delay_(retry_delay) {
  weak_this_ = weak_factory_.GetWeakPtr();
}

Wininet::~Wininet() {
  TearDown();
  // Before any member goes: until its root handle is closed, the session's
  // last notifications still take `callback_lock_` and read `closing_`.
  session_closer_.Join();
}

bool Wininet::Start(const std::wstring& url, std::string body, Closure completion,
                    std::unique_ptr<ResponseWriter> writer, std::unique_ptr<DownloadStats> stats) {
  LOG(INFO) << "Starting download from " << url;
  if (!writer || !stats || !ThreadTaskRunnerHandle::IsSet()) {
    // Without a task loop on this thread no outcome could ever arrive.
    LOG(ERROR) << "A download needs a writer, statistics and a task loop";
    return false;
  }
  // A start refused above touched nothing; one that gets here makes this
  // thread the owner.
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  TearDown();  // a download still running is abandoned
  writer_ = std::move(writer);
  stats_ = std::move(stats);
  completion_ = std::move(completion);
  owner_runner_ = ThreadTaskRunnerHandle::Get();
  url_ = url;

  if (!CrackUrl(url_, &url_parts_)) {
    PLOG(ERROR) << "Could not parse URL";
    return false;
  }
  if (!IsHostAllowed(url_parts_.host, allowed_domains_)) {
    LOG(ERROR) << "Attempting to download from a disallowed domain";
    return false;
  }
  session_closer_.Join();
  expected_total_ = 0;
  retry_count_ = 0;
  bytes_read_ = 0;
  skip_ = 0;
  downloaded_ = 0;
  progress_relay_.StartSession(owner_runner_);

  root_.reset(InternetOpenW(NetInstallerUserAgent().c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                            INTERNET_FLAG_ASYNC));
  if (!root_) {
    LOG(ERROR) << "Could not open internet";
    return false;
  }
  InternetSetStatusCallbackW(root_.get(), &Wininet::InternetStatusCallback);
  closing_ = std::make_shared<WininetSessionCloser::ClosingFlag>();
  closing_->root = root_.get();
  body_ = std::move(body);

  connection_.reset(InternetConnectW(root_.get(), url_parts_.host.c_str(), url_parts_.port, nullptr,
                                     nullptr, INTERNET_SERVICE_HTTP, 0,
                                     reinterpret_cast<DWORD_PTR>(this)));
  if (!connection_) {
    PLOG(ERROR) << "Could not start session";
    TearDown();
    return false;
  }
  closing_->connection = connection_.get();
  stats_->ChunkStart(downloaded_);

  // The first notification may arrive before HttpSendRequestW returns; it
  // must find the request already marked as sent.
  bool sent;
  {
    std::lock_guard<std::recursive_mutex> hold(callback_lock_);
    sent = OpenAndSendRequest(L"");
    if (sent) SetState(kRequestSent);
  }
  if (!sent) {
    PLOG(ERROR) << "Could not send Request";
    TearDown();
    return false;
  }
  return true;
}

bool Wininet::OpenAndSendRequest(const std::wstring& extra_headers) {
  request_progress_ = false;
  // The package is written once, by us: never a second copy into the
  // user's internet cache, and no dialog of the system's own.
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI;
  if (url_parts_.scheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  request_.reset(HttpOpenRequestW(connection_.get(), body_.empty() ? L"GET" : L"POST",
                                  url_parts_.path.c_str(), L"HTTP/1.1", nullptr, nullptr, flags,
                                  reinterpret_cast<DWORD_PTR>(this)));
  if (!request_) {
    PLOG(ERROR) << "Could not open Request";
    return false;
  }
  BOOL sent =
      HttpSendRequestW(request_.get(), extra_headers.empty() ? nullptr : extra_headers.c_str(),
                       extra_headers.empty() ? 0 : static_cast<DWORD>(-1),
                       body_.empty() ? nullptr : body_.data(), static_cast<DWORD>(body_.size()));
  if (g_send_error_set.load()) {
    sent = FALSE;
    SetLastError(g_send_error.load());
  }
  if (!sent && GetLastError() != ERROR_IO_PENDING) {
    PLOG(ERROR) << "Could not send Request";
    return false;
  }
  return true;
}

void Wininet::Stop() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  LOG(INFO) << "Stopping the download";
  TearDown();
  SetState(kStopped);
  completion_ = nullptr;
}

void Wininet::SetState(State state) {
  state_ = state;
  VLOG(1) << "Downloader state: " << static_cast<int>(state);
}

void Wininet::PostToOwner(Closure task) {
  if (owner_runner_) owner_runner_->PostTask(FROM_HERE, std::move(task));
}

// Notification threads ------------------------------------------------------

void CALLBACK Wininet::InternetStatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                             LPVOID info, DWORD info_length) {
  if (context) reinterpret_cast<Wininet*>(context)->OnStatus(handle, status, info, info_length);
}

void Wininet::OnStatus(HINTERNET handle, DWORD status, LPVOID info, DWORD info_length) {
  std::shared_ptr<WininetSessionCloser::ClosingFlag> closing;
  {
    std::lock_guard<std::recursive_mutex> hold(callback_lock_);
    if (!closing_ || !closing_->set) {
      switch (status) {
        case INTERNET_STATUS_CONNECTED_TO_SERVER:
          if (info) {
            const char* text = static_cast<const char*>(info);
            stats_->SetIp(std::string_view(text, strnlen(text, info_length)));
          }
          break;
        case INTERNET_STATUS_REDIRECT:
          OnRedirect(static_cast<const wchar_t*>(info));
          break;
        case INTERNET_STATUS_REQUEST_COMPLETE:
          OnRequestComplete(static_cast<const INTERNET_ASYNC_RESULT*>(info));
          break;
        default:
          break;
      }
      return;
    }
    closing = closing_;
  }
  closing->Acknowledge(handle, status);
}

void Wininet::OnRedirect(const wchar_t* url) {
  VLOG(1) << "Redirect occured";
  if (!url) return;
  stats_->SetRedirectedUrl(url);
  UrlParts parts;
  if (!CrackUrl(url, &parts)) {
    PLOG(ERROR) << "Failed to parse redirect URL";
  } else if (!IsHostAllowed(parts.host, allowed_domains_)) {
    LOG(ERROR) << "Attempting to redirect to a disallowed domain: " << parts.host;
  } else {
    return;
  }
  // Closing the handles silences the request; the owner still has to hear
  // that the download is over.
  closing_->set = 1;
  ScopedInternetHandle request = std::move(request_);
  ScopedInternetHandle connection = std::move(connection_);
  request.reset();
  connection.reset();
  PostToOwner(BindWeak(weak_this_, &Wininet::Fail));
}

void Wininet::OnRequestComplete(const INTERNET_ASYNC_RESULT* result) {
  if (!result) return;
  DWORD error = result->dwResult ? ERROR_SUCCESS : result->dwError;
  stats_->SetWininetError(error);
  error = NormalizeError(error);
  if (error == ERROR_SUCCESS) {
    State current = state();
    if (current == kRequestSent) {
      if (HandleInitialCompletion()) HandleCompletionInProgress();
    } else if (current == kReceiving) {
      HandleCompletionInProgress();
    }
  } else if (IsConnectivityError(error)) {
    LOG(WARNING) << "Request completed with an error "
                 << "indicating connectivity issues: " << error;
    CheckRetriesAndResume();
  } else {
    LOG(ERROR) << "Request completed with an unexpected error: " << error;
    PostToOwner(BindWeak(weak_this_, &Wininet::Fail));
  }
}

bool Wininet::HandleInitialCompletion() {
  LOG(INFO) << "Initial request completion";
  DWORD status = 0;
  DWORD size = sizeof(status);
  HttpQueryInfoW(request_.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                 nullptr);
  stats_->SetHttpStatus(status);
  for (const wchar_t* name : {L"Date", L"Server", L"X-Served-By"})
    stats_->SetHeader(name, QueryHeader(request_.get(), name));

  DWORD length = 0;
  size = sizeof(length);
  if (!HttpQueryInfoW(request_.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                      &size, nullptr))
    length = 0;
  // A retried first request asks for "bytes=0-" and gets the whole body as
  // a partial reply: without its length a cut would pass for the end, and the
  // progress would never learn its total.
  if (status == HTTP_STATUS_PARTIAL_CONTENT && length > 0 &&
      downloaded_ + length > expected_total_) {
    expected_total_ = downloaded_ + length;
    progress_relay_.ReportTotal(expected_total_);
  }
  if (status == HTTP_STATUS_OK) {
    expected_total_ = length;
    VLOG(1) << "Expected total size: " << expected_total_;
    if (downloaded_ > 0) {
      // A server that ignores the range sends the whole body again; appending
      // it would corrupt the output, so what the writer has is skipped.
      LOG(WARNING) << "Range not honoured; skipping the first " << downloaded_ << " bytes";
      skip_ = downloaded_;
    }
    progress_relay_.ReportTotal(expected_total_);
  }
  if (status == HTTP_STATUS_OK || status == HTTP_STATUS_PARTIAL_CONTENT) {
    SetState(kReceiving);
    return true;
  }
  if (status == HTTP_STATUS_PROXY_AUTH_REQ) {
    LOG(WARNING) << "Request completed with a " << "proxy authentication request";
    // The prompt opens from the owner thread, which hears the answer.
    PostToOwner(BindWeak(weak_this_, [](Wininet* self) {
      NORVA_DCHECK_CALLED_ON_VALID_THREAD(self->thread_checker_);
      auto answered = [weak = self->weak_this_](int result) {
        Wininet* downloader = weak.get();
        if (!downloader) return;
        if (ProxyCredentialsGiven(result))
          downloader->Resume();
        else
          downloader->Fail();
      };
      PromptForProxyCredentials(self->request_.get(), self->ui_runner_, self->owner_runner_,
                                answered);
    }));
    return false;
  }
  if (status == HTTP_STATUS_BAD_GATEWAY || status == HTTP_STATUS_SERVICE_UNAVAIL ||
      status == HTTP_STATUS_GATEWAY_TIMEOUT) {
    LOG(WARNING) << "Download failed with " << status << " error";
    CheckRetriesAndResume();
    return false;
  }
  LOG(ERROR) << "Request completed with an unexpected HTTP status";
  PostToOwner(BindWeak(weak_this_, &Wininet::Fail));
  return false;
}

void Wininet::HandleCompletionInProgress() {
  VLOG(2) << "Additional data downloaded";
  for (;;) {
    const char* data = buffer_;
    DWORD size = bytes_read_;
    if (skip_ > 0) {  // the part of a restarted body the writer already has
      DWORD skipped = std::min<DWORD>(skip_, size);
      skip_ -= skipped;
      data += skipped;
      size -= skipped;
    }
    if (size > 0) {
      if (!writer_->Write(data, size)) {
        PostToOwner(BindWeak(weak_this_, &Wininet::Fail));
        return;
      }
      downloaded_ += size;
      // Only a request that delivers bytes ends a run of retries: a server
      // that answers 206 and then sends nothing must not be asked forever.
      retry_count_ = 0;
      request_progress_ = true;
      VLOG(2) << "Downloaded size: " << downloaded_;
      progress_relay_.ReportCurrent(downloaded_, false);
    }
    bytes_read_ = 0;
    if (!InternetReadFile(request_.get(), buffer_, sizeof(buffer_), &bytes_read_)) {
      DWORD error = NormalizeError(GetLastError());
      if (error == ERROR_IO_PENDING) return;  // the next REQUEST_COMPLETE brings the bytes
      progress_relay_.ReportCurrent(downloaded_, true);
      if (IsLostConnection(error)) {
        LOG(ERROR) << "Download interrupted by loss of connectivity: " << error;
        ResumeAfterShortBody();
      } else {
        LOG(ERROR) << "Download interrupted for unknown reason: " << error;
        PostToOwner(BindWeak(weak_this_, &Wininet::Fail));
      }
      return;
    }
    if (bytes_read_ == 0) {
      progress_relay_.ReportCurrent(downloaded_, true);
      if (downloaded_ < expected_total_)
        ResumeAfterShortBody();
      else
        PostToOwner(BindWeak(weak_this_, &Wininet::Complete));
      return;
    }
  }
}

void Wininet::ResumeAfterShortBody() {
  // A request that brought something is resumed at once; one that brought
  // nothing counts as a retry, with its delay and its limit.
  if (request_progress_)
    PostToOwner(BindWeak(weak_this_, &Wininet::Resume));
  else
    CheckRetriesAndResume();
}

void Wininet::CheckRetriesAndResume() {
  if (retry_count_ > 1) progress_relay_.ReportStalled();
  if (retry_count_ > max_retries_) {
    PostToOwner(BindWeak(weak_this_, &Wininet::Fail));
    return;
  }
  LOG(INFO) << "Retrying " << retry_count_.load() << " of " << max_retries_;
  ++retry_count_;
  if (owner_runner_)
    owner_runner_->PostDelayedTask(FROM_HERE, BindWeak(weak_this_, &Wininet::Resume), retry_delay_);
}

// Owner thread ----------------------------------------------------------------

void Wininet::Resume() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  stats_->ChunkEnd(downloaded_);
  request_.reset();
  LOG(INFO) << "Attempting download resume";
  std::wstring range = L"Range: bytes=" + std::to_wstring(downloaded_) + L"-";
  if (!CrackUrl(url_, &url_parts_)) {
    PLOG(ERROR) << "Could not parse URL";
    Fail();
    return;
  }
  // A run of consecutive retries keeps recording into one chunk record.
  if (retry_count_ <= 1) stats_->ChunkStart(downloaded_);
  stats_->SetRetryCount(retry_count_);
  bytes_read_ = 0;
  skip_ = 0;
  bool sent;
  {
    std::lock_guard<std::recursive_mutex> hold(callback_lock_);
    sent = connection_ && OpenAndSendRequest(range);
    if (sent) SetState(kRequestSent);
  }
  // Failing runs the completion, which may start the next download and wait
  // for the old session's last notification: never under the lock that
  // notification needs.
  if (!sent) {
    LOG(ERROR) << "Could not resume downloading";
    Fail();
  }
}

void Wininet::Fail() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  LOG(ERROR) << "Download failed";
  TearDown();
  SetState(kFailed);
  RunCompletion();
}

void Wininet::Complete() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  retry_count_ = 0;
  TearDown();
  LOG(INFO) << "Download completed";
  SetState(kCompleted);
  RunCompletion();
}

void Wininet::RunCompletion() {
  Closure completion = std::move(completion_);
  completion_ = nullptr;
  if (completion) completion();
}

void Wininet::TearDown() {
  if (!root_) return;
  if (stats_) stats_->ChunkEnd(downloaded_);
  // A connection (or one a refused redirect already closed) may still
  // notify; the termination thread closes the root handle once it is quiet.
  bool quiesce = connection_.is_valid() || closing_->set;
  {
    std::lock_guard<std::recursive_mutex> hold(callback_lock_);
    if (quiesce) closing_->set = 1;
    // Steps posted by the old session (a delayed resume above all) must not
    // reach the next one.
    weak_factory_.InvalidateWeakPtrs();
    weak_this_ = weak_factory_.GetWeakPtr();
    progress_relay_.EndSession();
  }
  if (writer_) writer_->Close();
  request_.reset();
  connection_.reset();
  if (quiesce)
    session_closer_.CloseRootWhenQuiet(std::move(root_), closing_);
  else
    root_.reset();
}

void SetSendResultForTesting(std::optional<DWORD> error) {
  g_send_error.store(error.value_or(0));
  g_send_error_set.store(error.has_value());
}

}  // namespace norva::installer
