#ifndef NORVA_TESTS_SUPPORT_FOLDER_LINK_H_
#define NORVA_TESTS_SUPPORT_FOLDER_LINK_H_

#include <filesystem>
#include <vector>

namespace norva::installer::test {

// Links to folders, for the tests of code that must not follow them.
//
// Windows makes junctions without any privilege. Wine 8 makes none
// (FSCTL_SET_REPARSE_POINT answers ERROR_NOT_SUPPORTED, and
// CreateSymbolicLinkW makes nothing yet answers success), but it reports a
// symbolic link made on its Unix side as a folder with
// FILE_ATTRIBUTE_REPARSE_POINT, so there the link is made with ln.
enum class FolderLinkKind { kNone, kJunction, kUnix };

// A junction at `link` (made as an empty folder first) to `target`; false,
// with nothing left at `link`, when the file system makes none.
bool MakeJunction(const std::filesystem::path& link, const std::filesystem::path& target);
// A junction, else a Unix symbolic link; kNone when neither can be made.
FolderLinkKind MakeFolderLink(const std::filesystem::path& link,
                              const std::filesystem::path& target);
// Whether the system reports `path` as a reparse point.
bool IsReparsePoint(const std::filesystem::path& path);
// Removes Unix links that Wine's own calls cannot remove (it refuses a link
// to a folder that holds files); true once they are gone.
bool RemoveUnixLinks(const std::vector<std::filesystem::path>& links);

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_FOLDER_LINK_H_
