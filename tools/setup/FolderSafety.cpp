#include "FolderSafety.h"

#include <aclapi.h>
#include <sddl.h>

namespace safety {

namespace {

// Rights that let an account replace a file's contents or hand itself them.
constexpr ACCESS_MASK kFileWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER |
                                    GENERIC_WRITE | GENERIC_ALL;
// On a folder also: add a file or folder (a new DLL, or a folder put in the
// path) and delete any child whatever the child's own rights.
constexpr ACCESS_MASK kFolderWrites = kFileWrites | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD;

Sid Copy(PSID sid) {
    const auto* bytes = static_cast<const BYTE*>(sid);
    return Sid(bytes, bytes + GetLengthSid(sid));
}

Sid WellKnown(WELL_KNOWN_SID_TYPE type) {
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    if (!CreateWellKnownSid(type, nullptr, buffer, &size)) return {};
    return Sid(buffer, buffer + size);
}

Sid FromString(const wchar_t* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid)) return {};
    Sid out = Copy(sid);
    LocalFree(sid);
    return out;
}

bool Same(const Sid& a, PSID b) {
    return !a.empty() && EqualSid(const_cast<BYTE*>(a.data()), b);
}

bool Contains(const std::vector<Sid>& set, PSID sid) {
    for (const Sid& s : set)
        if (Same(s, sid)) return true;
    return false;
}

// Groups that take in ordinary users: never trusted, even where Program Files
// itself grants them something.
const std::vector<Sid>& BroadGroups() {
    static const std::vector<Sid> groups = {
        WellKnown(WinWorldSid),             WellKnown(WinAuthenticatedUserSid), WellKnown(WinBuiltinUsersSid),
        WellKnown(WinInteractiveSid),       WellKnown(WinBuiltinGuestsSid),     WellKnown(WinAnonymousSid),
        WellKnown(WinNetworkSid),           WellKnown(WinLocalSid),             WellKnown(WinBuiltinPowerUsersSid),
        WellKnown(WinRemoteLogonIdSid),     WellKnown(WinBuiltinRemoteDesktopUsersSid),
    };
    return groups;
}

// Calls `each` for every account the descriptor's owner or access list lets
// change the object; a missing list gives Everyone. Stops when `each` is true.
template <class Each>
bool AnyWriter(PSECURITY_DESCRIPTOR sd, bool folder, Each each) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    // The owner may always rewrite the access list.
    if (GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner && each(owner)) return true;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return each(nullptr);
    if (!present || !dacl) {
        const Sid everyone = WellKnown(WinWorldSid);
        return each(PSID(const_cast<BYTE*>(everyone.data())));
    }
    const ACCESS_MASK writes = folder ? kFolderWrites : kFileWrites;
    const Sid creatorOwner = WellKnown(WinCreatorOwnerSid);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) return each(nullptr);
        // Inherit-only entries shape only children made later, which need a
        // right checked here to be made at all.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = PSID(const_cast<DWORD*>(&ace->SidStart));
        // CREATOR OWNER on the object itself matches no one's token; the
        // owner is checked above.
        if (!(ace->Mask & writes) || Same(creatorOwner, sid)) continue;
        if (each(sid)) return true;
    }
    return false;
}

}  // namespace

bool TrustedAccounts(PSECURITY_DESCRIPTOR programFiles, std::vector<Sid>& trusted, Sid& broadGroup) {
    trusted = {WellKnown(WinBuiltinAdministratorsSid), WellKnown(WinLocalSystemSid),
               FromString(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464")};  // TrustedInstaller
    return !AnyWriter(programFiles, true, [&](PSID sid) {
        if (!sid || Contains(BroadGroups(), sid)) {
            broadGroup = sid ? Copy(sid) : WellKnown(WinWorldSid);
            return true;
        }
        if (!Contains(trusted, sid)) trusted.push_back(Copy(sid));
        return false;
    });
}

bool FindUntrustedWriter(PSECURITY_DESCRIPTOR sd, bool folder, const std::vector<Sid>& trusted, Sid& account) {
    return AnyWriter(sd, folder, [&](PSID sid) {
        if (sid && Contains(trusted, sid)) return false;
        account = sid ? Copy(sid) : WellKnown(WinWorldSid);  // an unreadable entry counts as anyone
        return true;
    });
}

std::wstring AccountName(const Sid& sid) {
    if (sid.empty()) return L"an unknown account";
    PSID p = PSID(const_cast<BYTE*>(sid.data()));
    wchar_t name[256], domain[256];
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, p, name, &nameLength, domain, &domainLength, &use))
        return domainLength ? std::wstring(domain) + L"\\" + name : std::wstring(name);
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(p, &text)) return L"an unknown account";
    std::wstring out = text;
    LocalFree(text);
    return out;
}

namespace {

// The object's owner and access list, or null when they cannot be read.
class Descriptor {
public:
    explicit Descriptor(const std::wstring& path) {
        status_ = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        nullptr, nullptr, &sd_);
    }
    ~Descriptor() {
        if (sd_) LocalFree(sd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    PSECURITY_DESCRIPTOR get() const { return status_ == ERROR_SUCCESS ? sd_ : nullptr; }
    DWORD status() const { return status_; }

private:
    PSECURITY_DESCRIPTOR sd_ = nullptr;
    DWORD status_ = ERROR_SUCCESS;
};

std::wstring Unreadable(DWORD status) {
    return L"anyone, as far as this tool can tell (its permissions cannot be read, error " + std::to_wstring(status) +
           L")";
}

std::wstring Parent(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

Exposure CheckInstallPaths(const std::vector<std::wstring>& dlls, const std::wstring& programFiles) {
    std::vector<Sid> trusted;
    {
        const Descriptor root(programFiles);
        if (!root.get()) return {programFiles, Unreadable(root.status())};
        Sid broad;
        if (!TrustedAccounts(root.get(), trusted, broad)) return {programFiles, AccountName(broad)};
    }
    for (const std::wstring& dll : dlls) {
        bool folder = false;
        for (std::wstring path = dll; !path.empty() && !SamePath(path, programFiles); path = Parent(path)) {
            const Descriptor sd(path);
            if (!sd.get()) return {path, Unreadable(sd.status())};
            Sid account;
            if (FindUntrustedWriter(sd.get(), folder, trusted, account)) return {path, AccountName(account)};
            folder = true;
        }
    }
    return {};
}

}  // namespace safety
