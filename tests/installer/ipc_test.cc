#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "base/scoped_handle.h"
#include "base/task_loop.h"
#include "base/thread.h"
#include "installer/ipc/installer_message.h"
#include "installer/ipc/ipc_receiver.h"
#include "installer/ipc/ipc_sender.h"
#include "installer/ipc/mailslot_name.h"
#include "support/scratch.h"
#include "support/wait.h"

namespace norva::installer {
namespace {

using Bytes = std::vector<uint8_t>;
using Result = MessageReadResult;
using Type = InstallerMessageType;

// The tag field: length 19, ":Installer message:", one byte of padding.
#define TAG " 13000000 3a496e7374616c6c6572206d6573736167653a00 "
// The same with ";" for the last ":".
#define OTHER_TAG " 13000000 3a496e7374616c6c6572206d6573736167653b00 "

Bytes Hex(std::string_view hex) {
  Bytes bytes;
  std::string digits(hex);
  std::erase(digits, ' ');
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

InstallerMessage Failed(std::wstring detail, std::string message) {
  return {.type = Type::kInstallationFailed,
          .message_id = 37050,
          .detail = std::move(detail),
          .message = std::move(message)};
}

TEST(IPCMessageTest, GoldenBytesOfEveryType) {
  const struct {
    InstallerMessage message;
    const char* hex;
  } kCases[] = {
      {{.type = Type::kChildProcessStarting, .elevated = true}, "20000000" TAG "00000000 01000000"},
      {{.type = Type::kChildProcessFinished}, "1c000000" TAG "01000000"},
      {{.type = Type::kInstallationStarted}, "1c000000" TAG "02000000"},
      {{.type = Type::kSetTotalSteps, .steps = 300}, "20000000" TAG "03000000 2c010000"},
      {{.type = Type::kStepCompleted}, "1c000000" TAG "04000000"},
      {Failed(L"Ab\u00e9", "xyz"),
       "34000000" TAG "05000000 ba900000 03000000 41006200 e9000000 03000000 78797a00"},
      {{.type = Type::kInstallationSucceeded}, "1c000000" TAG "06000000"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.hex);
    EXPECT_EQ(WriteInstallerMessage(c.message), Hex(c.hex));
    InstallerMessage read;
    ASSERT_EQ(ReadInstallerMessage(Hex(c.hex), &read), Result::kOk);
    EXPECT_EQ(read, c.message);
  }
}

TEST(IPCMessageTest, ReaderChecksEveryBound) {
  const struct {
    const char* name;
    const char* hex;
    Result expected;
  } kCases[] = {
      {"empty", "", Result::kBadHeader},
      {"short size field", "000000", Result::kBadHeader},
      {"payload overruns", "20000000" TAG "01000000", Result::kBadHeader},
      {"payload not aligned", "1d000000" TAG "01000000 00", Result::kBadHeader},
      {"other tag", "1c000000" OTHER_TAG "01000000", Result::kNotInstallerMessage},
      {"tag prefix", "1c000000 12000000 3a496e7374616c6c6572206d6573736167650000 01000000",
       Result::kNotInstallerMessage},
      {"tag beyond payload", "08000000 ff000000 3a496e73", Result::kNotInstallerMessage},
      {"type outside payload", "18000000" TAG "04000000", Result::kTruncated},
      {"steps missing", "1c000000" TAG "03000000", Result::kTruncated},
      {"detail beyond payload", "2c000000" TAG "05000000 ba900000 05000000 41006200 e9000000",
       Result::kTruncated},
      {"negative length", "2c000000" TAG "05000000 ba900000 00000000 ffffffff 00000000",
       Result::kTruncated},
      {"type 7", "1c000000" TAG "07000000", Result::kUnknownType},
      {"type -1", "1c000000" TAG "ffffffff", Result::kUnknownType},
      {"bytes after payload", "1c000000" TAG "04000000 ffff", Result::kOk},
  };
  for (const auto& c : kCases) {
    InstallerMessage read;
    EXPECT_EQ(ReadInstallerMessage(Hex(c.hex), &read), c.expected) << c.name;
  }
}

TEST(IPCMessageTest, SizeLimit) {
  // 44 bytes of fields leave 2004 for the two padded strings.
  const struct {
    InstallerMessage message;
    bool fits;
  } kCases[] = {
      {Failed(std::wstring(1002, L'x'), ""), true},
      {Failed(std::wstring(1003, L'x'), ""), false},
      {Failed(L"", std::string(2004, 'x')), true},
      {Failed(L"", std::string(2005, 'x')), false},
      {Failed(std::wstring(502, L'x'), std::string(1000, 'x')), true},
      // 2003 bytes of text, 2008 once padded.
      {Failed(std::wstring(501, L'x'), std::string(1001, 'x')), false},
      {{.type = static_cast<Type>(7)}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message.detail.size() * 10000 + c.message.message.size());
    std::optional<Bytes> datagram = WriteInstallerMessage(c.message);
    ASSERT_EQ(datagram.has_value(), c.fits);
    InstallerMessage fitted = FitToDatagram(c.message);
    if (!c.fits) {
      if (c.message.type != Type::kInstallationFailed) continue;
      // Cut at the end, the failure still goes out.
      EXPECT_TRUE(WriteInstallerMessage(fitted).has_value());
      EXPECT_TRUE(c.message.detail.starts_with(fitted.detail));
      EXPECT_TRUE(c.message.message.starts_with(fitted.message));
      EXPECT_GE(fitted.detail.size() * 2 + fitted.message.size(), 2000u);
      continue;
    }
    EXPECT_EQ(fitted, c.message);
    EXPECT_EQ(datagram->size(), kMaxInstallerMessageSize);
    InstallerMessage read;
    ASSERT_EQ(ReadInstallerMessage(*datagram, &read), Result::kOk);
    EXPECT_EQ(read, c.message);
    // Consistent sizes, but over the limit.
    datagram->insert(datagram->end(), 4, 0);
    (*datagram)[0] += 4;
    EXPECT_EQ(ReadInstallerMessage(*datagram, &read), Result::kBadHeader);
  }
}

// A cut that would fall inside a character falls before it: a UTF-8
// sequence of the message or a surrogate pair of the detail goes whole.
TEST(IPCMessageTest, FitCutsBetweenCharacters) {
  const std::string x2003(2003, 'x');
  const std::wstring x1001(1001, L'x');
  const struct {
    const char* name;
    InstallerMessage message;
    size_t detail_units;
    size_t message_bytes;
  } kCases[] = {
      {"two-byte sequence across the cut", Failed(L"", x2003 + "\u00e9"), 0, 2003},
      {"three-byte sequence, one byte in", Failed(L"", x2003 + "\u20ac"), 0, 2003},
      {"three-byte sequence, two bytes in", Failed(L"", x2003.substr(1) + "\u20ac!"), 0, 2002},
      {"four-byte sequence, three bytes in", Failed(L"", x2003.substr(2) + "\U0001F600"), 0, 2001},
      {"sequence ending at the cut", Failed(L"", x2003.substr(1) + "\u00e9!"), 0, 2004},
      {"surrogate pair across the cut", Failed(x1001 + L"\U0001F600", ""), 1001, 0},
      {"surrogate pair ending at the cut", Failed(x1001.substr(1) + L"\U0001F600!", ""), 1002, 0},
      // The message takes 1004 bytes padded, which leaves 500 units.
      {"pair across the detail's cut after a message",
       Failed(std::wstring(499, L'x') + L"\U0001F600", std::string(1001, 'x') + "\u00e9"), 499,
       1003},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(WriteInstallerMessage(c.message).has_value());
    InstallerMessage fitted = FitToDatagram(c.message);
    EXPECT_TRUE(WriteInstallerMessage(fitted).has_value());
    EXPECT_EQ(fitted.detail.size(), c.detail_units);
    EXPECT_EQ(fitted.message.size(), c.message_bytes);
    EXPECT_TRUE(c.message.detail.starts_with(fitted.detail));
    EXPECT_TRUE(c.message.message.starts_with(fitted.message));
  }
}

class Recorder : public IPCReceiverProxy::Delegate {
 public:
  void OnMessageReceived(const InstallerMessage& message) override {
    received.push_back(message);
    if (message.type == Type::kInstallationSucceeded && loop) loop->Quit();
  }
  std::vector<InstallerMessage> received;
  TaskLoop* loop = nullptr;
};

std::wstring UniqueMailslotName() {
  static int count = 0;
  return L"norva_installer\\ipc_test\\" + std::to_wstring(GetCurrentProcessId()) + L"_" +
         std::to_wstring(++count);
}

class IPCChannelTest : public testing::Test {
 protected:
  // Runs the loop until the recorder has seen a success report, or ten seconds.
  void RunUntilSucceeded() {
    recorder_.loop = &loop_;
    loop_.task_runner()->PostDelayedTask(
        FROM_HERE, [this] { loop_.Quit(); }, std::chrono::seconds(10));
    loop_.Run();
  }
  void ExpectOnlyASuccessArrives() {
    RunUntilSucceeded();
    EXPECT_EQ(recorder_.received,
              std::vector<InstallerMessage>{{.type = Type::kInstallationSucceeded}});
  }

  TaskLoop loop_;
  Recorder recorder_;
  IPCReceiverProxy receiver_{&recorder_};
  const std::wstring name_ = UniqueMailslotName();
};

// Sends `datagram` as a backend of this version would.
void SendOne(const std::wstring& name, const Bytes& datagram) {
  IPCSenderProxy sender;
  ASSERT_TRUE(sender.Connect(name));
  sender.Send(datagram);
}

// Reads wait for the next datagram instead of waking to look for one; Close
// ends the wait.
TEST_F(IPCChannelTest, DeliversInOrderDropsTheRestAndClosesPromptly) {
  test::LogCapture log;
  ASSERT_TRUE(receiver_.Connect(name_));
  DWORD timeout = 0;
  ASSERT_TRUE(
      GetMailslotInfo(receiver_.mailslot_for_testing(), nullptr, nullptr, nullptr, &timeout));
  EXPECT_EQ(timeout, MAILSLOT_WAIT_FOREVER);

  const std::vector<InstallerMessage> delivered = {
      {.type = Type::kInstallationStarted},
      {.type = Type::kSetTotalSteps, .steps = 3},
      {.type = Type::kChildProcessStarting, .elevated = true},
      {.type = Type::kChildProcessFinished},
      {.type = Type::kStepCompleted},
      Failed(std::wstring(1002, L'\u00e9'), ""),
      {.type = Type::kStepCompleted},
      {.type = Type::kInstallationSucceeded},
  };
  std::vector<Bytes> sent;
  for (const InstallerMessage& message : delivered) sent.push_back(*WriteInstallerMessage(message));
  sent.insert(sent.begin() + 2, Hex("1c000000" TAG "07000000"));
  sent.insert(sent.begin() + 4, Hex("1c000000" OTHER_TAG "01000000"));
  sent.insert(sent.begin() + 6, Hex("20000000" TAG "04000000"));

  // A backend thread that quits right after its last Send.
  Thread backend("Backend");
  ASSERT_TRUE(backend.Start());
  bool connected = false;
  backend.task_runner()->PostTask(FROM_HERE, [&] {
    IPCSenderProxy sender;
    connected = sender.Connect(name_);
    for (const Bytes& datagram : sent) sender.Send(datagram);
  });
  backend.Stop();
  EXPECT_TRUE(connected);

  RunUntilSucceeded();
  EXPECT_EQ(recorder_.received, delivered);
  EXPECT_TRUE(log.Contains("Not a valid installer message type"));

  const auto start = std::chrono::steady_clock::now();
  receiver_.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_FALSE(receiver_.IsConnected());
}

TEST_F(IPCChannelTest, NothingReachesAClosedReceiver) {
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy);
    Recorder recorder;
    const std::wstring name = UniqueMailslotName();
    auto receiver = std::make_unique<IPCReceiverProxy>(&recorder);
    ASSERT_TRUE(receiver->Connect(name));
    EXPECT_FALSE(receiver->Connect(name));
    IPCSenderProxy sender;
    ASSERT_TRUE(sender.Connect(name));
    const uint64_t posted = loop_.task_runner()->PostCountForTesting();
    sender.Send(*WriteInstallerMessage({.type = Type::kStepCompleted}));
    sender.Close();
    // Read and posted, not yet delivered.
    ASSERT_TRUE(test::WaitUntil([&] { return loop_.task_runner()->PostCountForTesting() > posted; }));
    if (destroy)
      receiver.reset();
    else
      receiver->Close();
    loop_.RunUntilIdle();
    EXPECT_TRUE(recorder.received.empty());

    // The mailslot went with the receiver: a late sender discards.
    IPCSenderProxy late;
    EXPECT_FALSE(late.Connect(name));
    late.Send(*WriteInstallerMessage({.type = Type::kStepCompleted}));
  }
}

// A frontend that went away must not keep its backend from ending, however
// much the backend still has to report.
TEST_F(IPCChannelTest, SenderEndsWhenNobodyReadsAnyMore) {
  ASSERT_TRUE(receiver_.Connect(name_));
  // Used and destroyed on the backend's thread; left behind if it never ends.
  auto* sender = new IPCSenderProxy(/*write_timeout_ms=*/300);
  HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE reader_gone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread backend([name = name_, sender, connected, reader_gone, ended] {
    if (sender->Connect(name)) SetEvent(connected);
    WaitForSingleObject(reader_gone, 30000);
    for (int i = 0; i < 2000; ++i)
      sender->Send(*WriteInstallerMessage({.type = Type::kStepCompleted}));
    sender->Close();
    delete sender;
    SetEvent(ended);
  });
  EXPECT_EQ(WaitForSingleObject(connected, 30000), WAIT_OBJECT_0);
  receiver_.Close();
  SetEvent(reader_gone);
  const bool in_time = WaitForSingleObject(ended, 30000) == WAIT_OBJECT_0;
  EXPECT_TRUE(in_time);
  if (in_time) {
    backend.join();
    for (HANDLE event : {connected, reader_gone, ended}) CloseHandle(event);
  } else {
    backend.detach();
  }
}

ScopedHandle OpenForWriting(const std::wstring& path) {
  return ScopedHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The mailslot's name does not grow with the folder: however long, the
// system takes it, and two spellings of one folder meet.
TEST_F(IPCChannelTest, MailslotNamesHaveOneLength) {
  const std::wstring prefix = L"norva_installer\\";
  const std::wstring folders[] = {L"C:\\N", L"C:\\Program Files\\Norva",
                                  L"D:\\" + std::wstring(297, L'x'),
                                  L"E:\\" + std::wstring(2000, L'\u00e9')};
  const size_t length = MailslotPath(prefix + folders[0]).size();
  EXPECT_LT(length, size_t{MAX_PATH});
  for (const std::wstring& folder : folders) {
    SCOPED_TRACE(folder.size());
    const std::wstring path = MailslotPath(prefix + folder);
    EXPECT_EQ(path.size(), length);
    EXPECT_EQ(path.rfind(L"\\\\.\\mailslot\\norva_installer\\", 0), 0u);
    EXPECT_EQ(LegacyMailslotPath(prefix + folder).empty(), folder.size() > 200);
  }
  EXPECT_EQ(MailslotPath(prefix + L"C:\\Program Files\\Norva"),
            MailslotPath(prefix + L"c:\\PROGRAM FILES\\norva"));
  EXPECT_NE(MailslotPath(prefix + L"C:\\Norva1"), MailslotPath(prefix + L"C:\\Norva2"));
}

// A folder of 300 characters (the system takes it in its extended-length
// form) still gets a working channel, and nothing is made under a name that
// only the folder's own length would give.
TEST_F(IPCChannelTest, LongInstallationFolderGetsItsChannel) {
  std::wstring folder = L"C:\\ipc_test_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  folder += std::wstring(300 - folder.size(), L'n');
  const std::wstring name = L"norva_installer\\" + folder;
  ASSERT_TRUE(receiver_.Connect(name));
  EXPECT_TRUE(OpenForWriting(MailslotPath(name)));
  EXPECT_FALSE(OpenForWriting(L"\\\\.\\mailslot\\" + name));
  SendOne(name, *WriteInstallerMessage({.type = Type::kInstallationSucceeded}));
  ExpectOnlyASuccessArrives();
}

// Installers of earlier versions name the mailslot after the folder itself,
// where that fits: a backend of one reaches this frontend, and this backend
// reaches a frontend of one.
TEST_F(IPCChannelTest, MeetsInstallersOfEarlierVersions) {
  const std::wstring legacy = L"\\\\.\\mailslot\\" + name_;
  const Bytes succeeded = *WriteInstallerMessage({.type = Type::kInstallationSucceeded});
  ASSERT_TRUE(receiver_.Connect(name_));
  ScopedHandle earlier_backend = OpenForWriting(legacy);
  ASSERT_TRUE(earlier_backend);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(earlier_backend.get(), succeeded.data(),
                        static_cast<DWORD>(succeeded.size()), &written, nullptr));
  earlier_backend.reset();
  ExpectOnlyASuccessArrives();
  receiver_.Close();

  ScopedHandle earlier_frontend(
      CreateMailslotW(legacy.c_str(), kMaxInstallerMessageSize, 30000, nullptr));
  ASSERT_TRUE(earlier_frontend);
  SendOne(name_, succeeded);
  Bytes received(kMaxInstallerMessageSize);
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(earlier_frontend.get(), received.data(),
                       static_cast<DWORD>(received.size()), &read, nullptr));
  received.resize(read);
  EXPECT_EQ(received, succeeded);
}

}  // namespace
}  // namespace norva::installer
