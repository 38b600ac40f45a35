#pragma once
// Whether a DLL registered for all users lies where only administrators can
// change it. Every user's Explorer, and administrators' elevated dialogs,
// load it: whoever may replace it, or change who may, runs code there.
#include <windows.h>

#include <string>
#include <vector>

namespace safety {

using Sid = std::vector<BYTE>;

// The accounts whose rights on an installed folder are no exposure:
// Administrators, SYSTEM and TrustedInstaller, and whoever owns or may already
// change Program Files itself (they could swap any folder inside it anyway).
// Null when `programFiles` lets a broad group (Everyone, Users, ...) change
// it: then `broadGroup` names it and nothing below can be trusted.
bool TrustedAccounts(PSECURITY_DESCRIPTOR programFiles, std::vector<Sid>& trusted, Sid& broadGroup);

// The first account outside `trusted` that may change the object: its owner,
// or one granted by an ACE that applies to the object itself (write, append,
// delete, WRITE_DAC, WRITE_OWNER, GENERIC_WRITE or GENERIC_ALL; on a folder
// also adding files or folders and deleting children). Deny ACEs are not
// counted, so the answer errs towards refusing. A missing access list lets
// everyone in. False when no such account exists.
bool FindUntrustedWriter(PSECURITY_DESCRIPTOR sd, bool folder, const std::vector<Sid>& trusted, Sid& account);

// An account as DOMAIN\name, or its SID string when it has no name here.
std::wstring AccountName(const Sid& sid);

// Checks `dlls` and every folder from each one's up to `programFiles` (the
// long, full path without a trailing backslash). Empty when all is safe;
// otherwise the path and who may change it, for a one-line refusal.
struct Exposure {
    std::wstring path;
    std::wstring account;
};
Exposure CheckInstallPaths(const std::vector<std::wstring>& dlls, const std::wstring& programFiles);

}  // namespace safety
