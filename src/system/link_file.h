#ifndef NORVA_SYSTEM_LINK_FILE_H_
#define NORVA_SYSTEM_LINK_FILE_H_

#include <string>
#include <string_view>

// The AppUserModelID inside the bytes of a shell link file: the property
// store data block of the link's extra data (System.AppUserModel.ID as a
// string property). Read straight from the bytes so that the ID that is
// really on disk is what counts, whatever the shell object claims.
namespace norva::installer {

// False when the bytes are not a well-formed link or carry no such ID.
bool FindLinkAppUserModelId(std::string_view link, std::wstring* id);

// Adds a property store block with the ID in front of the extra data's
// terminal block. False when the bytes are not a well-formed link.
bool AddLinkAppUserModelId(std::string* link, const std::wstring& id);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_LINK_FILE_H_
