#ifndef NORVA_TESTS_SUPPORT_LOCAL_SERVICE_H_
#define NORVA_TESTS_SUPPORT_LOCAL_SERVICE_H_

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace norva::installer::test {

// The local autoupdate service started by the test fixture
// (tools/autoupdate_service.py), reached over plain synchronous WinINet.
class LocalService {
 public:
  // Finds the service through NORVA_TEST_SERVICE_PORT_FILE and
  // NORVA_TEST_SERVICE_ROOT (Unix paths, seen through drive Z:).
  LocalService();
  // A service on a fixed port of this machine (no files served from here).
  explicit LocalService(int port) : port_(port) {}

  bool available() const { return port_ != 0; }
  // "http://127.0.0.1:port" followed by `path`.
  std::wstring Url(std::string_view path, std::string_view host = "127.0.0.1") const;
  // The same service over HTTPS, with a certificate nobody trusts.
  std::wstring SecureUrl(std::string_view path) const;
  // Makes a file the service serves at "/" + name.
  void PutFile(const std::string& name, const std::string& bytes) const;

  // The control commands of the service; false when it did not answer 200.
  bool Reset() const;
  bool SetRule(const nlohmann::json& rule) const;
  bool SetReply(const nlohmann::json& reply) const;
  // Every request served since the last reset.
  nlohmann::json Requests() const;

  // Serves a twin of the service, with a state of its own, on the fixed
  // `port` of this machine (where a product switch sends to a port it fixes)
  // until ReleasePort or the service's end. Another test run on the machine
  // may hold the port: waits for it up to `limit`, and false after that.
  bool ClaimPort(int port, std::chrono::seconds limit) const;
  bool ReleasePort(int port) const;

 private:
  bool Control(std::string_view command, const std::string& body, std::string* reply) const;

  int port_ = 0;
  int tls_port_ = 0;
  std::filesystem::path root_;
};

// A Unix path as Wine shows it.
std::filesystem::path FromUnixPath(const std::string& unix_path);

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_LOCAL_SERVICE_H_
