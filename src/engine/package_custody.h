#ifndef NORVA_ENGINE_PACKAGE_CUSTODY_H_
#define NORVA_ENGINE_PACKAGE_CUSTODY_H_

#include <windows.h>

#include <string>

#include "base/file_path.h"
#include "base/scoped_handle.h"

namespace norva::installer {

// An installation that runs with more rights than whoever could write its
// package folder (the elevated copy of a standard user's installation, a
// run as SYSTEM on a user's download) installs and starts nothing from that
// folder: between the user's checks and our use, the user could change any
// file in it. It takes the signed package the folder was unpacked from into
// a folder of its own that only the administrators may write, holds it there
// so that nobody can change it, checks its signature (and its digest, when
// known) itself, and unpacks it there.
class PackageCustody {
 public:
  PackageCustody() = default;
  // Removes the folder it made, with everything in it.
  ~PackageCustody();
  PackageCustody(const PackageCustody&) = delete;
  PackageCustody& operator=(const PackageCustody&) = delete;

  // Whether this process has more rights than whoever may write
  // `package_folder`: it is elevated (or SYSTEM) and the folder is not
  // admin-only.
  static bool Needed(const FilePath& package_folder);

  // The signed package `package_folder` was unpacked from: the download
  // beside it ("<folder>.exe"), or else the executable of the process
  // `initial_pid` (an offline installer carries the package itself).
  static FilePath SignedPackageOf(const FilePath& package_folder, DWORD initial_pid);

  // Takes `signed_package` into custody and unpacks it. Data files the
  // user's run added beside the package (partner content, tracking data,
  // the welcome page) come along, and partner files join the files list;
  // programs and scripts among them do not. No digest is compared: the only
  // one to hand is what the less privileged run announced. The package
  // folder to install from, or empty (logged) when the package fails a check.
  FilePath Take(const FilePath& signed_package, const FilePath& package_folder);

  // The folder Take made; empty before.
  const FilePath& folder() const { return folder_; }

 private:
  bool Unpack(const FilePath& target);
  void BringDataFiles(const FilePath& from, const FilePath& to);

  FilePath folder_;
  // Keep the folder from being renamed or removed, and the package from
  // being changed, while this run uses them.
  ScopedHandle folder_hold_;
  ScopedHandle package_hold_;
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_PACKAGE_CUSTODY_H_
