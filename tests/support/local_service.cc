#include "support/local_service.h"

#include <windows.h>
#include <wininet.h>

#include <cstdlib>

#include "base/strings.h"
#include "support/scratch.h"

namespace norva::installer::test {

std::filesystem::path FromUnixPath(const std::string& unix_path) {
  std::wstring path = Utf8ToWide(unix_path);
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

LocalService::LocalService() {
  const char* port_file = std::getenv("NORVA_TEST_SERVICE_PORT_FILE");
  const char* root = std::getenv("NORVA_TEST_SERVICE_ROOT");
  if (!port_file || !root) return;
  root_ = FromUnixPath(root);
  std::vector<std::string> lines = SplitString(ReadFile(FromUnixPath(port_file)), '\n');
  int port = 0;
  if (lines.size() > 0 && StringToInt(TrimWhitespaceASCII(lines[0]), &port)) port_ = port;
  if (lines.size() > 1 && StringToInt(TrimWhitespaceASCII(lines[1]), &port)) tls_port_ = port;
}

std::wstring LocalService::SecureUrl(std::string_view path) const {
  return Utf8ToWide(StringPrintf("https://127.0.0.1:%d", tls_port_)) + Utf8ToWide(path);
}

std::wstring LocalService::Url(std::string_view path, std::string_view host) const {
  return Utf8ToWide(StringPrintf("http://%.*s:%d", static_cast<int>(host.size()), host.data(),
                                 port_)) +
         Utf8ToWide(path);
}

void LocalService::PutFile(const std::string& name, const std::string& bytes) const {
  WriteFile(root_ / Utf8ToWide(name), bytes);
}

bool LocalService::Reset() const { return Control("reset", "", nullptr); }

bool LocalService::SetRule(const nlohmann::json& rule) const {
  return Control("rule", rule.dump(), nullptr);
}

bool LocalService::SetReply(const nlohmann::json& reply) const {
  return Control("reply", reply.dump(), nullptr);
}

nlohmann::json LocalService::Requests() const {
  std::string reply;
  if (!Control("log", "", &reply)) return nlohmann::json::array();
  return nlohmann::json::parse(reply, nullptr, false);
}

bool LocalService::ClaimPort(int port, std::chrono::seconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const std::string body = nlohmann::json{{"port", port}}.dump();
  // Each claim waits a few seconds in the service before it says no.
  do {
    std::string reply;
    if (!Control("claim", body, &reply)) return false;
    nlohmann::json answer = nlohmann::json::parse(reply, nullptr, false);
    if (answer.is_object() && answer.value("claimed", false)) return true;
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool LocalService::ReleasePort(int port) const {
  return Control("release", nlohmann::json{{"port", port}}.dump(), nullptr);
}

bool LocalService::Control(std::string_view command, const std::string& body,
                           std::string* reply) const {
  HINTERNET root = InternetOpenW(L"norva-tests", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (!root) return false;
  bool ok = false;
  HINTERNET connection = InternetConnectW(root, L"127.0.0.1", static_cast<INTERNET_PORT>(port_),
                                          nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  std::wstring path = L"/_control/" + Utf8ToWide(command);
  HINTERNET request = connection ? HttpOpenRequestW(connection, L"POST", path.c_str(), nullptr,
                                                    nullptr, nullptr, INTERNET_FLAG_RELOAD, 0)
                                 : nullptr;
  // No pooled connection is left behind, so that the downloads under test
  // open their own and report the server's address.
  const wchar_t kClose[] = L"Connection: close";
  if (request && HttpSendRequestW(request, kClose, static_cast<DWORD>(-1),
                                  const_cast<char*>(body.data()),
                                  static_cast<DWORD>(body.size()))) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                   nullptr);
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (InternetReadFile(request, buffer, sizeof(buffer), &read) && read > 0)
      text.append(buffer, read);
    ok = status == 200;
    if (reply) *reply = std::move(text);
  }
  if (request) InternetCloseHandle(request);
  if (connection) InternetCloseHandle(connection);
  InternetCloseHandle(root);
  return ok;
}

}  // namespace norva::installer::test
