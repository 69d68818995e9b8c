#pragma once

#include <windows.h>

#include <string>

#include "platform/system_error.h"

// Windows only: what only the system's administrators may change.
namespace velmora::vpn::platform {

// Whether the object `descriptor` guards is owned by LocalSystem,
// Administrators, TrustedInstaller or the service's own user, and no entry of
// its access list lets anyone else use one of `writeRights` (inherit-only
// entries apply to children only and do not count). False with the reason,
// naming the object as `shown`; a missing access list lets everyone in.
bool onlyAdministratorsWrite(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK writeRights, const std::string& shown,
                             SystemError& error);

// LocalSystem and Administrators only, for everything in it too; protected,
// so nothing is inherited from the folder above (ProgramData lets users
// create and write there). The owner is whoever makes it: LocalSystem, or
// Administrators for an elevated console run.
inline constexpr wchar_t kSystemOnlySddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// What writes to a file or folder, or changes who may.
inline constexpr ACCESS_MASK kFileWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                                FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER |
                                                GENERIC_WRITE | GENERIC_ALL;

// Whether the open file or folder is no reparse point (junction, link) and
// only administrators may write it (as above); false with the reason. The
// handle needs READ_CONTROL.
bool systemOwnedObject(HANDLE object, bool folder, const std::string& shown, SystemError& error);

// Whether no entry of the open object's access list lets anyone but
// administrators and `reader` (a SID's text; nobody else when empty) read or
// list it; false with the reason. The handle needs READ_CONTROL.
bool onlyTheseRead(HANDLE object, const std::string& reader, const std::string& shown, SystemError& error);

// Makes the folder with the access list `sddl`, or checks the one that is
// there with systemOwnedObject, opened without following a reparse point;
// with `reader`, one that is there must also pass onlyTheseRead.
bool systemFolder(const std::wstring& path, const wchar_t* sddl, SystemError& error,
                  const std::string* reader = nullptr);

}  // namespace velmora::vpn::platform
