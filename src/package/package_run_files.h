#ifndef NORVA_PACKAGE_PACKAGE_RUN_FILES_H_
#define NORVA_PACKAGE_PACKAGE_RUN_FILES_H_

#include "base/file_path.h"

namespace norva::installer {

// The files one fetcher run keeps in its download folder: the package
// ("norva_installer_<time>_<process id>_<count>.exe"), its archive (".7z"),
// its extraction folder (no extension) and the owner lock (".lock") that
// says the run is alive.

// A new package name in `download_folder`, from the local time, unique
// among the fetchers alive together.
FilePath NewPackagePathIn(const FilePath& download_folder);
FilePath WithoutExtension(const FilePath& path);
FilePath OwnerLockPath(const FilePath& package_path);
// The owner lock of the run that unpacked into `extraction_folder`.
FilePath OwnerLockOfExtractionFolder(const FilePath& extraction_folder);

// A missing file counts as deleted; a folder in its place does not.
bool DeleteFileIfPresent(const FilePath& path);

// Removes the package, archive and extraction folder of every earlier run in
// `download_folder` whose owner has died: killed, crashed or ended without
// its clean-up. Each fetcher holds its owner lock for its whole life without
// sharing deletion, so opening a lock for deletion succeeds only when nobody
// holds it any more; age proves nothing. Files of runs without a lock are
// left alone. The lock goes last, so a sweep that is cut short is finished
// by the next one.
void RemoveFilesOfDeadRuns(const FilePath& download_folder, const FilePath& own_lock);

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_PACKAGE_RUN_FILES_H_
