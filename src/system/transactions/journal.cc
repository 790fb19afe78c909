#include "system/transactions/journal.h"

#include <sddl.h>
#include <aclapi.h>

#include <knownfolders.h>

#include <cwctype>
#include <iterator>
#include <utility>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/admin_only.h"
#include "system/transactions/transaction.h"

namespace norva::installer {
namespace {

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

BOOL (*g_flush)(HANDLE) = nullptr;

bool Flush(HANDLE file) { return g_flush ? g_flush(file) : FlushFileBuffers(file); }

Journal::KillPoints (*g_read_kill_points)() = nullptr;

std::vector<const char*>& KillSwitches() {
  static std::vector<const char*> switches;
  return switches;
}

struct KillCounts {
  Journal::KillPoints at;
  long records = 0;
  long changes = 0;
};

KillCounts& Kills() {
  static KillCounts counts = {g_read_kill_points ? g_read_kill_points() : Journal::KillPoints()};
  return counts;
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
  if (folder.empty()) return {};
  // Anyone may make folders in the common application data: the machine's
  // journals live in folders no one else can have made or changed.
  if (all_users ? !MakeAdminOnlyFolder(folder.parent_path()) || !MakeAdminOnlyFolder(folder)
                : !CreateDirectories(folder))
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

void Journal::Open(FilePath file, JournalScope scope) {
  Discard();
  file_ = std::move(file);
  scope_ = std::move(scope);
}

bool Journal::StartFile() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (scope_.machine && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                            kAdminOnlySecurity, SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  // A new file, reached through no link: whatever stood at the name was
  // recovered and removed before this run began.
  handle_ = OpenWithoutLinks(file_, GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, descriptor ? &attributes : nullptr);
  LocalFree(descriptor);
  if (!handle_) {
    PLOG(ERROR) << "Could not create the journal " << file_;
    return false;
  }
  std::vector<uint8_t> start(std::begin(kJournalMagic), std::end(kJournalMagic));
  std::vector<uint8_t> header = EncodeJournalRecord(
      {.kind = JournalRecord::Kind::kHeader, .texts = {scope_.install_folder.native()}});
  start.insert(start.end(), header.begin(), header.end());
  DWORD written = 0;
  return WriteFile(handle_.get(), start.data(), static_cast<DWORD>(start.size()), &written,
                   nullptr) &&
         written == start.size();
}

bool Journal::Append(const JournalRecord& record) {
  if (file_.empty()) return true;
  if (CoveredByCreation(record)) return true;
  // Whether or not this record reaches the disk, what goes into the folder
  // from now on is recorded on its own.
  if (record.kind == JournalRecord::Kind::kDroppedFolder) ForgetCreatedFolder(record.texts[0]);
  if (const char* refusal = scope_.Refusal(record)) {
    std::wstring texts;
    for (const std::wstring& text : record.texts) texts += L" \"" + text + L"\"";
    LOG(ERROR) << "Writing a journal record its recovery would refuse, " << refusal << ":"
               << WideToUtf8(texts);
  }
  if (!handle_ && !StartFile()) return false;
  std::vector<uint8_t> bytes = EncodeJournalRecord(record);
  DWORD written = 0;
  if (!WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                 nullptr) ||
      written != bytes.size() || !Flush(handle_.get())) {
    PLOG(ERROR) << "Could not write to the journal " << file_;
    return false;
  }
  if (record.kind == JournalRecord::Kind::kCreatedFolder &&
      scope_.AllowsFolderTree(FilePath(record.texts[0])))
    created_folders_.push_back(record.texts[0]);
  if (record.kind == JournalRecord::Kind::kCreatedKey &&
      scope_.OwnsKey(record.numbers[0], record.texts[0]))
    created_keys_.emplace_back(record.numbers[0], record.texts[0]);
  KillCounts& kills = Kills();
  if (record.kind != JournalRecord::Kind::kCommitted && ++kills.records == kills.at.after_record)
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

void Journal::ForgetCreatedFolder(const std::wstring& folder) {
  const std::wstring folded = FoldedPath(folder);
  for (auto it = created_folders_.rbegin(); it != created_folders_.rend(); ++it) {
    if (FoldedPath(*it) == folded) {
      created_folders_.erase(std::next(it).base());
      return;
    }
  }
}

void Journal::Discard() {
  if (handle_) {
    if (!DeleteByHandle(handle_.get())) PLOG(ERROR) << "Could not remove the journal " << file_;
    handle_.reset();
  }
  file_.clear();
  created_folders_.clear();
  created_keys_.clear();
}

void Journal::SetKillPointsReaderForTesting(KillPoints (*read)(),
                                            std::vector<const char*> switches) {
  g_read_kill_points = read;
  KillSwitches() = std::move(switches);
}

const std::vector<const char*>& Journal::KillSwitchesForTesting() { return KillSwitches(); }

void Journal::CountChangeMadeForTesting() {
  KillCounts& kills = Kills();
  if (++kills.changes == kills.at.after_change) EndLikeAKill("change", kills.changes);
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
