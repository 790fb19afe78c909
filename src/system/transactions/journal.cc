#include "system/transactions/journal.h"

#include <sddl.h>
#include <aclapi.h>

#include <knownfolders.h>

#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "base/command_line.h"
#include "base/crc32.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/transactions/transaction.h"

namespace norva::installer {
namespace {

constexpr char kMagic[4] = {'N', 'V', 'J', '1'};
// A record larger than this is not one we wrote (a deleted key with many
// large values stays far below it).
constexpr uint32_t kMaxRecordSize = 64u << 20;
constexpr uint32_t kMaxItems = 1u << 20;

// Only the administrators and the system may touch the journals of
// installations for all users; inherited entries are cut off.
constexpr wchar_t kMachineJournalsSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

void PutNumber(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Number(uint32_t* value) {
    if (size_ - at_ < 4) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) *value |= static_cast<uint32_t>(data_[at_ + i]) << (8 * i);
    at_ += 4;
    return true;
  }
  bool Bytes(size_t count, const uint8_t** bytes) {
    if (size_ - at_ < count) return false;
    *bytes = data_ + at_;
    at_ += count;
    return true;
  }
  bool done() const { return at_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

bool DecodeBody(const uint8_t* data, size_t size, JournalRecord* record) {
  if (size < 1) return false;
  record->kind = static_cast<JournalRecord::Kind>(data[0]);
  if (data[0] < 1 || data[0] > static_cast<uint8_t>(JournalRecord::Kind::kLastKind)) return false;
  Reader reader(data + 1, size - 1);
  uint32_t texts, numbers, blobs;
  if (!reader.Number(&texts) || !reader.Number(&numbers) || !reader.Number(&blobs) ||
      texts > kMaxItems || numbers > kMaxItems || blobs > kMaxItems)
    return false;
  for (uint32_t i = 0; i < texts; ++i) {
    uint32_t units;
    const uint8_t* bytes;
    if (!reader.Number(&units) || units > kMaxRecordSize / 2 || !reader.Bytes(units * 2, &bytes))
      return false;
    std::wstring text(units, L'\0');
    for (uint32_t u = 0; u < units; ++u)
      text[u] = static_cast<wchar_t>(bytes[2 * u] | (bytes[2 * u + 1] << 8));
    record->texts.push_back(std::move(text));
  }
  for (uint32_t i = 0; i < numbers; ++i) {
    uint32_t value;
    if (!reader.Number(&value)) return false;
    record->numbers.push_back(value);
  }
  for (uint32_t i = 0; i < blobs; ++i) {
    uint32_t count;
    const uint8_t* bytes;
    if (!reader.Number(&count) || !reader.Bytes(count, &bytes)) return false;
    record->blobs.emplace_back(bytes, bytes + count);
  }
  return reader.done();
}

// FNV-1a over the folder as Windows compares it (case-insensitive), so that
// every spelling of one folder finds the same journal.
std::wstring FolderKey(const FilePath& folder) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (wchar_t c : FoldedPath(folder.native())) {
    for (int i = 0; i < 2; ++i) {
      hash ^= (c >> (8 * i)) & 0xff;
      hash *= 0x100000001b3ull;
    }
  }
  return StringPrintf(L"%016llx", static_cast<unsigned long long>(hash));
}

// Makes the folder of the machine's journals and (again) cuts it down to the
// administrators: a user may have made it first, as anyone may make folders
// in the common application data.
bool PrepareMachineJournalsFolder(const FilePath& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kMachineJournalsSecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return false;
  CreateDirectories(folder.parent_path());
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  bool ready = CreateDirectoryW(ExtendedLengthPath(folder).c_str(), &attributes) ||
               GetLastError() == ERROR_ALREADY_EXISTS;
  if (ready) {
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    PSID owner = nullptr;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    std::wstring name = folder.native();
    NoteAccessRightsChanged();
    ready = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                      PROTECTED_DACL_SECURITY_INFORMATION,
                                  owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
  }
  LocalFree(descriptor);
  return ready;
}

BOOL (*g_flush)(HANDLE) = nullptr;

bool Flush(HANDLE file) { return g_flush ? g_flush(file) : FlushFileBuffers(file); }

struct KillPoints {
  long after_record = 0;
  long after_change = 0;
  long records = 0;
  long changes = 0;
};

KillPoints& Kills() {
  static KillPoints points = [] {
    const CommandLine& command_line = CommandLine::ForCurrentProcess();
    KillPoints read;
    read.after_record = std::wcstol(
        command_line.GetSwitchValue("test-kill-after-journal-record").c_str(), nullptr, 10);
    read.after_change =
        std::wcstol(command_line.GetSwitchValue("test-kill-after-do").c_str(), nullptr, 10);
    return read;
  }();
  return points;
}

void EndLikeAKill(const char* what, long position) {
  LOG(INFO) << "Ending the process for a test after " << what << " " << position;
  TerminateProcess(GetCurrentProcess(), 0);
}

}  // namespace

std::wstring FoldedPath(const std::wstring& path) {
  std::wstring folded = path;
  for (wchar_t& c : folded) c = c == L'/' ? L'\\' : static_cast<wchar_t>(std::towupper(c));
  while (folded.size() > 3 && folded.back() == L'\\') folded.pop_back();
  return folded;
}

bool IsPathWithin(const std::wstring& inner, const std::wstring& outer) {
  const std::wstring in = FoldedPath(inner), out = FoldedPath(outer);
  return !out.empty() && (in == out || (in.size() > out.size() && in.compare(0, out.size(), out) == 0 &&
                                        (out.back() == L'\\' || in[out.size()] == L'\\')));
}

uint32_t JournalRootNumber(HKEY root) {
  if (root == HKEY_CURRENT_USER) return 1;
  if (root == HKEY_LOCAL_MACHINE) return 2;
  return 0;
}

HKEY JournalRoot(uint32_t number) {
  return number == 1 ? HKEY_CURRENT_USER : number == 2 ? HKEY_LOCAL_MACHINE : nullptr;
}

std::vector<uint8_t> EncodeJournalRecord(const JournalRecord& record) {
  std::vector<uint8_t> body;
  body.push_back(static_cast<uint8_t>(record.kind));
  PutNumber(&body, static_cast<uint32_t>(record.texts.size()));
  PutNumber(&body, static_cast<uint32_t>(record.numbers.size()));
  PutNumber(&body, static_cast<uint32_t>(record.blobs.size()));
  for (const std::wstring& text : record.texts) {
    PutNumber(&body, static_cast<uint32_t>(text.size()));
    for (wchar_t unit : text) {
      body.push_back(static_cast<uint8_t>(unit));
      body.push_back(static_cast<uint8_t>(unit >> 8));
    }
  }
  for (uint32_t number : record.numbers) PutNumber(&body, number);
  for (const std::vector<uint8_t>& blob : record.blobs) {
    PutNumber(&body, static_cast<uint32_t>(blob.size()));
    body.insert(body.end(), blob.begin(), blob.end());
  }
  std::vector<uint8_t> framed;
  framed.reserve(body.size() + 8);
  PutNumber(&framed, static_cast<uint32_t>(body.size()));
  PutNumber(&framed, Crc32(body.data(), body.size()));
  framed.insert(framed.end(), body.begin(), body.end());
  return framed;
}

std::vector<JournalRecord> DecodeJournal(const std::vector<uint8_t>& bytes, JournalReadEnd* end) {
  std::vector<JournalRecord> records;
  *end = JournalReadEnd::kComplete;
  if (bytes.size() < sizeof(kMagic) || std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) {
    *end = bytes.empty() ? JournalReadEnd::kTornTail : JournalReadEnd::kDamaged;
    return records;
  }
  Reader reader(bytes.data() + sizeof(kMagic), bytes.size() - sizeof(kMagic));
  while (!reader.done()) {
    uint32_t size, crc;
    const uint8_t* body;
    JournalRecord record;
    if (!reader.Number(&size) || !reader.Number(&crc) || size > kMaxRecordSize ||
        !reader.Bytes(size, &body)) {
      *end = JournalReadEnd::kTornTail;
      return records;
    }
    if (Crc32(body, size) != crc || !DecodeBody(body, size, &record)) {
      *end = reader.done() ? JournalReadEnd::kTornTail : JournalReadEnd::kDamaged;
      return records;
    }
    records.push_back(std::move(record));
  }
  return records;
}

namespace {

FilePath JournalsFolder(bool all_users) {
  FilePath base = GetKnownFolder(all_users ? FOLDERID_ProgramData : FOLDERID_LocalAppData);
  if (base.empty()) return {};
  return base / Utf8ToWide(product::ProductName() + " Installer") / L"Journals";
}

}  // namespace

FilePath Journal::LocationFor(const FilePath& install_folder, bool all_users) {
  FilePath folder = JournalsFolder(all_users);
  return folder.empty() ? folder : folder / (FolderKey(install_folder) + L".journal");
}

FilePath Journal::PathFor(const FilePath& install_folder, bool all_users) {
  FilePath folder = JournalsFolder(all_users);
  if (folder.empty() ||
      (all_users ? !PrepareMachineJournalsFolder(folder) : !CreateDirectories(folder)))
    return {};
  return LocationFor(install_folder, all_users);
}

bool Journal::ExistsFor(const FilePath& install_folder) {
  for (bool all_users : {false, true}) {
    FilePath file = LocationFor(install_folder, all_users);
    if (!file.empty() && PathExists(file)) return true;
  }
  return false;
}

Journal::~Journal() = default;

void Journal::Open(FilePath file, FilePath install_folder) {
  Discard();
  file_ = std::move(file);
  install_folder_ = std::move(install_folder);
}

bool Journal::StartFile() {
  handle_.reset(CreateFileW(ExtendedLengthPath(file_).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle_) {
    PLOG(ERROR) << "Could not create the journal " << file_;
    return false;
  }
  std::vector<uint8_t> start(kMagic, kMagic + sizeof(kMagic));
  std::vector<uint8_t> header = EncodeJournalRecord(
      {.kind = JournalRecord::Kind::kHeader, .texts = {install_folder_.native()}});
  start.insert(start.end(), header.begin(), header.end());
  DWORD written = 0;
  return WriteFile(handle_.get(), start.data(), static_cast<DWORD>(start.size()), &written,
                   nullptr) &&
         written == start.size();
}

bool Journal::Append(const JournalRecord& record) {
  if (file_.empty()) return true;
  if (CoveredByCreation(record)) return true;
  if (!handle_ && !StartFile()) return false;
  std::vector<uint8_t> bytes = EncodeJournalRecord(record);
  DWORD written = 0;
  if (!WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                 nullptr) ||
      written != bytes.size() || !Flush(handle_.get())) {
    PLOG(ERROR) << "Could not write to the journal " << file_;
    return false;
  }
  if (record.kind == JournalRecord::Kind::kCreatedFolder) created_folders_.push_back(record.texts[0]);
  if (record.kind == JournalRecord::Kind::kCreatedKey)
    created_keys_.emplace_back(record.numbers[0], record.texts[0]);
  KillPoints& kills = Kills();
  if (record.kind != JournalRecord::Kind::kCommitted && ++kills.records == kills.after_record)
    EndLikeAKill("journal record", kills.records);
  return true;
}

bool Journal::CoveredByCreation(const JournalRecord& record) const {
  if (record.kind == JournalRecord::Kind::kCreatedFile) {
    for (const std::wstring& folder : created_folders_)
      if (IsPathWithin(record.texts[0], folder)) return true;
  } else if (record.kind == JournalRecord::Kind::kChangedValue) {
    for (const auto& [root, key] : created_keys_)
      if (root == record.numbers[0] && IsPathWithin(record.texts[0], key)) return true;
  }
  return false;
}

void Journal::Discard() {
  if (handle_) {
    handle_.reset();  // closed before the delete, which it would block
    if (!DeleteFileW(ExtendedLengthPath(file_).c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
      PLOG(ERROR) << "Could not remove the journal " << file_;
  }
  file_.clear();
  created_folders_.clear();
  created_keys_.clear();
}

void Journal::CountChangeMadeForTesting() {
  KillPoints& kills = Kills();
  if (++kills.changes == kills.after_change) EndLikeAKill("change", kills.changes);
}

void Journal::SetFlushForTesting(BOOL (*flush)(HANDLE)) { g_flush = flush; }

bool WriteAhead(Transaction* transaction, const JournalRecord& record) {
  Journal* journal = transaction ? transaction->journal() : nullptr;
  return !journal || journal->Append(record);
}

bool WriteAheadWidening(Transaction* transaction, const std::wstring& object_name, DWORD type) {
  if (!transaction || !transaction->journal()) return true;
  // A DACL we may not even read is read after taking ownership, which the
  // journal cannot describe; the record then restores nothing.
  std::vector<uint8_t> descriptor;
  ReadDaclDescriptor(object_name, type, &descriptor);
  return WriteAhead(transaction, {.kind = JournalRecord::Kind::kWidenedAccess,
                                  .texts = {object_name},
                                  .numbers = {type},
                                  .blobs = {std::move(descriptor)}});
}

}  // namespace norva::installer
