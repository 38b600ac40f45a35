// TimThumbnailSetup run as a user runs it: what install writes, that uninstall
// leaves the registry as it found it, and its failures with their exit codes.
#include "ChildProcess.h"
#include "FolderSafety.h"
#include "Registration.h"
#include "RegistrySnapshot.h"
#include "WinTestSupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <optional>
#include <string>
#include <vector>

using namespace wintest;

namespace {

const std::wstring kClasses = std::wstring(kClassesKey) + L"\\";
const std::wstring kClassKey = kClasses + L"CLSID\\" TIM_CLSID_STRING;
const std::wstring kTimSlot = kClasses + L".tim\\" + kThumbnailSlot;
const std::wstring kSystemSlot = kClasses + L"SystemFileAssociations\\.tim\\" + kThumbnailSlot;

// Another program's classes, for the association it may hold.
const wchar_t kOtherHandler[] = L"{6D9A11F4-63A1-4B8E-9C55-0B1F2E8D7A10}";
const wchar_t kOtherPreviewer[] = L"{0E2C6B1D-7F7A-4E61-A0C4-5B3D9E1F2A44}";
const wchar_t kPreviewSlot[] = L"ShellEx\\{8895b1c6-b41f-4c1c-a562-0d564250836f}";

std::wstring BuiltSetupExe() {
    return ProgramFolder() + L"\\TimThumbnailSetup.exe";
}
std::wstring BuiltDll() {
    return ProgramFolder() + L"\\" TIM_DLL_NAME_64;
}
// Whether the build made the 32-bit DLL beside the tool (TIM_BUILD_X86).
constexpr bool kWith32 = TIM_WITH_X86;
std::wstring BuiltDll32() {
    return ProgramFolder() + L"\\" TIM_DLL_NAME_32;
}

// Where the 32-bit view is the 64-bit key itself, its tree is not counted twice.
size_t ValueCount(const RegistrySnapshot& s, bool own32BitView) {
    size_t n = 0;
    for (const auto& [path, values] : s.trees)
        if (own32BitView || path.rfind(kView32, 0) != 0) n += values.size();
    return n;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// This test's own Wine prefix: whatever a failed earlier run left of the
// keys these tests write is removed, so every test starts from nothing.
void ClearTestKeys() {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (const wchar_t* path : {L"CLSID\\" TIM_CLSID_STRING, L".tim", L"SystemFileAssociations\\.tim"})
            RegDeleteTreeW(root, (kClasses + path).c_str());
        HKEY clsid32 = nullptr;
        if (RegOpenKeyExW(root, (kClasses + L"CLSID").c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &clsid32) ==
            ERROR_SUCCESS) {
            RegDeleteTreeW(clsid32, TIM_CLSID_STRING);
            RegCloseKey(clsid32);
        }
        // A SystemFileAssociations key left empty goes too, as uninstall
        // removes it when it made it.
        HKEY key = nullptr;
        const std::wstring system = kClasses + L"SystemFileAssociations";
        if (RegOpenKeyExW(root, system.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            DWORD subkeys = 1, values = 1;
            RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr);
            RegCloseKey(key);
            if (subkeys == 0 && values == 0) RegDeleteKeyW(root, system.c_str());
        }
    }
}

struct ScopeCase {
    const char* name;
    HKEY root;
    std::vector<std::wstring> option;  // {} or {L"--machine"}
};

void PrintTo(const ScopeCase& c, std::ostream* os) {
    *os << c.name;
}

class SetupTool : public ::testing::TestWithParam<ScopeCase> {
protected:
    void SetUp() override {
        ClearTestKeys();
        own32_ = HasOwn32BitView(Root());
        with32_ = kWith32 && own32_;
        TakeSnapshots();
        // For all users the programs must lie under Program Files: copies there.
        if (Root() == HKEY_LOCAL_MACHINE) {
            installed_.emplace(ProgramFilesFolder());
            setupExe_ = CopyInto(*installed_, BuiltSetupExe());
            dll_ = CopyInto(*installed_, BuiltDll());
            if (kWith32) dll32_ = CopyInto(*installed_, BuiltDll32());
        }
    }
    void TearDown() override { ClearTestKeys(); }
    void TakeSnapshots() {
        user_ = TakeSnapshot(HKEY_CURRENT_USER);
        machine_ = TakeSnapshot(HKEY_LOCAL_MACHINE);
    }

    HKEY Root() const { return GetParam().root; }
    const std::wstring& SetupExe() const { return setupExe_; }
    const std::wstring& DllPath() const { return dll_; }
    const std::wstring& Dll32Path() const { return dll32_; }
    // Where a test puts copies of the programs for this scope.
    std::wstring ScratchBase() const {
        if (Root() == HKEY_LOCAL_MACHINE) return ProgramFilesFolder();
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        return base;
    }
    RunResult Setup(const wchar_t* command) const { return Setup(command, SetupExe()); }
    RunResult Setup(const wchar_t* command, const std::wstring& program) const {
        std::vector<std::wstring> args = {command};
        args.insert(args.end(), GetParam().option.begin(), GetParam().option.end());
        return RunProgram(program, args);
    }
    const RegistrySnapshot& Before() const { return Root() == HKEY_CURRENT_USER ? user_ : machine_; }
    void ExpectRegistryAsBefore() const {
        EXPECT_EQ(TakeSnapshot(HKEY_CURRENT_USER), user_);
        EXPECT_EQ(TakeSnapshot(HKEY_LOCAL_MACHINE), machine_);
    }

    RegistrySnapshot user_, machine_;
    std::optional<TempDir> installed_;
    std::wstring setupExe_ = BuiltSetupExe(), dll_ = BuiltDll(), dll32_ = BuiltDll32();
    bool own32_ = false;   // this scope has a 32-bit view of its own here
    bool with32_ = false;  // and the 32-bit DLL is built to be registered in it
};

}  // namespace

TEST_P(SetupTool, InstallWritesEveryKeyAndValueWithItsTypeAndUninstallRemovesThem) {
    const RunResult install = Setup(L"install");
    ASSERT_EQ(install.exitCode, 0u) << install.output;

    // Each DLL in the view of its own bitness; the .tim entries once, shared.
    const struct {
        REGSAM view;
        std::wstring key;
        const wchar_t* name;
        RegValue value;
    } expected[] = {
        {KEY_WOW64_64KEY, kClassKey, nullptr, StringValue(L"TIM Thumbnail Handler")},
        {KEY_WOW64_64KEY, kClassKey, L"DisableProcessIsolation", RegValue(REG_DWORD, {1, 0, 0, 0})},
        {KEY_WOW64_64KEY, kClassKey + L"\\InprocServer32", nullptr, StringValue(DllPath())},
        {KEY_WOW64_64KEY, kClassKey + L"\\InprocServer32", L"ThreadingModel", StringValue(L"Apartment")},
        {KEY_WOW64_32KEY, kClassKey, nullptr, StringValue(L"TIM Thumbnail Handler")},
        {KEY_WOW64_32KEY, kClassKey, L"DisableProcessIsolation", RegValue(REG_DWORD, {1, 0, 0, 0})},
        {KEY_WOW64_32KEY, kClassKey + L"\\InprocServer32", nullptr, StringValue(Dll32Path())},
        {KEY_WOW64_32KEY, kClassKey + L"\\InprocServer32", L"ThreadingModel", StringValue(L"Apartment")},
        {KEY_WOW64_64KEY, kTimSlot, nullptr, StringValue(TIM_CLSID_STRING)},
        {KEY_WOW64_64KEY, kSystemSlot, nullptr, StringValue(TIM_CLSID_STRING)},
    };
    size_t written = 0;
    for (const auto& e : expected) {
        if (e.view == KEY_WOW64_32KEY && !with32_) continue;
        ++written;
        // Type and exact bytes: strings carry their terminating NUL.
        EXPECT_EQ(ReadValue(Root(), e.key, e.name, e.view), e.value)
            << (e.view == KEY_WOW64_32KEY ? "(32-bit view) " : "") << Utf8(e.key) << " "
            << (e.name ? Utf8(e.name) : std::string("(default)"));
    }
    // The record of the keys install created, for uninstall: these tests start
    // with no .tim, SystemFileAssociations\.tim or class key, so those are among them.
    const RegValue record = ReadValue(Root(), kClassKey, L"CreatedKeys");
    EXPECT_EQ(record.first, DWORD(REG_MULTI_SZ));
    const std::wstring recorded =
        L'\0' + std::wstring(reinterpret_cast<const wchar_t*>(record.second.data()), record.second.size() / 2);
    for (const std::wstring key : {L".tim", L".tim\\ShellEx", L"SystemFileAssociations\\.tim",
                                   L"CLSID\\" TIM_CLSID_STRING L"\\InprocServer32"})
        EXPECT_NE(recorded.find(std::wstring(1, L'\0') + key + L'\0'), std::wstring::npos) << Utf8(key);
    const RegistrySnapshot after = TakeSnapshot(Root());
    EXPECT_EQ(ValueCount(after, own32_), ValueCount(Before(), own32_) + written + 1) << "nothing else written";
    EXPECT_EQ(TakeSnapshot(Root() == HKEY_CURRENT_USER ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER),
              Root() == HKEY_CURRENT_USER ? machine_ : user_)
        << "the other scope is untouched";
    EXPECT_TRUE(Contains(install.output, Utf8(DllPath()))) << install.output;
    EXPECT_TRUE(!with32_ || Contains(install.output, Utf8(Dll32Path()))) << install.output;

    const RunResult uninstall = Setup(L"uninstall");
    ASSERT_EQ(uninstall.exitCode, 0u) << uninstall.output;
    ExpectRegistryAsBefore();
}

TEST_P(SetupTool, InstallTwiceAndUninstallTwiceChangeNothingMore) {
    ASSERT_EQ(Setup(L"install").exitCode, 0u);
    const RegistrySnapshot installed = TakeSnapshot(Root());
    const RunResult again = Setup(L"install");
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    EXPECT_TRUE(Contains(again.output, "nothing changed")) << again.output;
    EXPECT_EQ(TakeSnapshot(Root()), installed);

    ASSERT_EQ(Setup(L"uninstall").exitCode, 0u);
    ExpectRegistryAsBefore();
    const RunResult nothing = Setup(L"uninstall");
    EXPECT_EQ(nothing.exitCode, 0u) << nothing.output;
    EXPECT_TRUE(Contains(nothing.output, "nothing to remove")) << nothing.output;
    ExpectRegistryAsBefore();
}

TEST_P(SetupTool, UninstallLeavesAnotherProgramsAssociationAsItWas) {
    // Another program owns .tim, previews it, and has its own thumbnail
    // handler under SystemFileAssociations.
    ASSERT_EQ(SetStringValue(Root(), kClasses + L".tim", nullptr, L"OtherViewer.TimImage"), ERROR_SUCCESS);
    ASSERT_EQ(SetStringValue(Root(), kClasses + L".tim", L"Content Type", L"image/x-tim"), ERROR_SUCCESS);
    ASSERT_EQ(SetStringValue(Root(), kClasses + L".tim\\OpenWithProgids", L"OtherViewer.TimImage", L""),
              ERROR_SUCCESS);
    ASSERT_EQ(SetStringValue(Root(), kClasses + L".tim\\" + kPreviewSlot, nullptr, kOtherPreviewer), ERROR_SUCCESS);
    ASSERT_EQ(SetStringValue(Root(), kClasses + L"SystemFileAssociations\\.tim", L"PerceivedType", L"image"),
              ERROR_SUCCESS);
    ASSERT_EQ(SetStringValue(Root(), kSystemSlot, nullptr, kOtherHandler), ERROR_SUCCESS);
    const RegistrySnapshot withOther = TakeSnapshot(Root());

    const RunResult install = Setup(L"install");
    ASSERT_EQ(install.exitCode, 0u) << install.output;
    EXPECT_TRUE(Contains(install.output, Utf8(kOtherHandler))) << "tells what it replaced: " << install.output;
    EXPECT_EQ(ReadValue(Root(), kTimSlot, nullptr), StringValue(TIM_CLSID_STRING));
    EXPECT_EQ(ReadValue(Root(), kSystemSlot, nullptr), StringValue(TIM_CLSID_STRING));
    EXPECT_EQ(ReadValue(Root(), kClasses + L".tim", nullptr), StringValue(L"OtherViewer.TimImage"));
    EXPECT_EQ(ReadValue(Root(), kClasses + L".tim\\" + kPreviewSlot, nullptr), StringValue(kOtherPreviewer));

    const RunResult uninstall = Setup(L"uninstall");
    ASSERT_EQ(uninstall.exitCode, 0u) << uninstall.output;
    EXPECT_EQ(TakeSnapshot(Root()), withOther);
}

TEST_P(SetupTool, UninstallKeepsAHandlerEntryThatNowNamesAnotherClass) {
    ASSERT_EQ(Setup(L"install").exitCode, 0u);
    // Another program takes the .tim slot over after the install.
    ASSERT_EQ(SetStringValue(Root(), kTimSlot, nullptr, kOtherHandler), ERROR_SUCCESS);

    const RunResult uninstall = Setup(L"uninstall");
    ASSERT_EQ(uninstall.exitCode, 0u) << uninstall.output;
    EXPECT_TRUE(Contains(uninstall.output, "kept")) << uninstall.output;
    EXPECT_EQ(ReadValue(Root(), kTimSlot, nullptr), StringValue(kOtherHandler));
    EXPECT_FALSE(KeyExists(Root(), kClassKey));
    EXPECT_FALSE(KeyExists(Root(), kClasses + L"SystemFileAssociations\\.tim"));
    RegDeleteTreeW(Root(), (kClasses + L".tim").c_str());
    ExpectRegistryAsBefore();
}

TEST_P(SetupTool, WithoutTheDllBesideItNothingIsRegistered) {
    TempDir dir;
    const std::wstring lonely = CopyInto(dir, SetupExe());
    const RunResult install = Setup(L"install", lonely);
    EXPECT_EQ(install.exitCode, 3u) << install.output;
    EXPECT_TRUE(Contains(install.output, "TimThumbnailHandler.dll not found")) << install.output;
    ExpectRegistryAsBefore();
}

TEST_P(SetupTool, WithoutThe32BitDllOnlyThe64BitOneIsRegisteredAndItSaysSo) {
    TempDir dir(ScratchBase());
    const std::wstring program = CopyInto(dir, SetupExe());
    CopyInto(dir, DllPath());
    const RunResult install = Setup(L"install", program);
    ASSERT_EQ(install.exitCode, 0u) << install.output;
    EXPECT_TRUE(Contains(install.output, "TimThumbnailHandler32.dll is not beside this program")) << install.output;
    EXPECT_TRUE(KeyExists(Root(), kClassKey + L"\\InprocServer32"));
    if (own32_) {
        EXPECT_FALSE(KeyExists(Root(), kClassKey, KEY_WOW64_32KEY));
    }
    EXPECT_EQ(Setup(L"uninstall", program).exitCode, 0u);
    ExpectRegistryAsBefore();
}

TEST_P(SetupTool, StatusTellsWhereItIsRegisteredAndWhetherTheDllExists) {
    TempDir dir(ScratchBase());
    const std::wstring program = CopyInto(dir, SetupExe());
    const std::wstring dll = CopyInto(dir, DllPath());
    const std::wstring dll32 = kWith32 ? CopyInto(dir, Dll32Path()) : std::wstring();
    ASSERT_EQ(Setup(L"install", program).exitCode, 0u);

    // The section of the output for this test's scope, and the other one.
    const auto sections = [&](const std::string& output) {
        size_t split = output.find("For all users");
        if (split == std::string::npos) split = output.size();
        const std::string user = output.substr(0, split), machine = output.substr(split);
        return Root() == HKEY_CURRENT_USER ? std::make_pair(user, machine) : std::make_pair(machine, user);
    };
    RunResult status = RunProgram(program, {L"status"});
    EXPECT_EQ(status.exitCode, 0u) << status.output;
    auto [mine, other] = sections(status.output);
    EXPECT_TRUE(Contains(mine, Utf8(dll) + " (file exists)")) << status.output;
    EXPECT_TRUE(!with32_ || Contains(mine, "(32-bit view) = " + Utf8(dll32) + " (file exists)")) << status.output;
    EXPECT_TRUE(Contains(mine, "Apartment")) << status.output;
    EXPECT_TRUE(Contains(mine, "(this handler)")) << status.output;
    EXPECT_FALSE(Contains(other, "(this handler)")) << status.output;

    ASSERT_TRUE(DeleteFileW(dll.c_str()));
    ASSERT_TRUE(!kWith32 || DeleteFileW(dll32.c_str()));
    status = RunProgram(program, {L"status"});
    EXPECT_EQ(status.exitCode, 0u) << status.output;
    std::tie(mine, other) = sections(status.output);
    EXPECT_TRUE(Contains(mine, Utf8(dll) + " (FILE MISSING)")) << status.output;
    EXPECT_TRUE(!with32_ || Contains(mine, Utf8(dll32) + " (FILE MISSING)")) << status.output;
    EXPECT_TRUE(Contains(status.output, "DLL beside this program: " + Utf8(dll) + " (MISSING)")) << status.output;

    // Uninstall needs no DLL.
    EXPECT_EQ(Setup(L"uninstall", program).exitCode, 0u);
    ExpectRegistryAsBefore();
}

TEST_P(SetupTool, UninstallKeepsEmptyKeysThatWereThereBeforeInstall) {
    // Empty keys another program (or the system) made: uninstall must not
    // take them for its own.
    for (const wchar_t* path : {L".tim\\ShellEx", L"SystemFileAssociations\\.tim", L"CLSID"}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(Root(), (kClasses + path).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    TakeSnapshots();

    ASSERT_EQ(Setup(L"install").exitCode, 0u);
    const RegValue record = ReadValue(Root(), kClassKey, L"CreatedKeys");
    EXPECT_EQ(record.first, DWORD(REG_MULTI_SZ));
    const RunResult uninstall = Setup(L"uninstall");
    ASSERT_EQ(uninstall.exitCode, 0u) << uninstall.output;
    for (const wchar_t* path : {L".tim\\ShellEx", L"SystemFileAssociations\\.tim", L"CLSID"})
        EXPECT_TRUE(KeyExists(Root(), kClasses + path)) << Utf8(path);
    EXPECT_FALSE(KeyExists(Root(), kClasses + L".tim\\" + kThumbnailSlot));
    ExpectRegistryAsBefore();
}

INSTANTIATE_TEST_SUITE_P(Scopes, SetupTool,
                         ::testing::Values(ScopeCase{"CurrentUser", HKEY_CURRENT_USER, {}},
                                           ScopeCase{"Machine", HKEY_LOCAL_MACHINE, {L"--machine"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SetupToolArguments, BadArgumentsPrintUsageAndExitWith2) {
    ClearTestKeys();
    const RegistrySnapshot user = TakeSnapshot(HKEY_CURRENT_USER), machine = TakeSnapshot(HKEY_LOCAL_MACHINE);
    const std::vector<std::vector<std::wstring>> cases = {
        {},
        {L"frobnicate"},
        {L"install", L"--bogus"},
        {L"install", L"--machine", L"extra"},
        {L"uninstall", L"machine"},
        {L"status", L"--machine"},
        {L"--machine", L"install"},
    };
    for (const auto& args : cases) {
        const RunResult r = RunProgram(BuiltSetupExe(), args);
        EXPECT_EQ(r.exitCode, 2u) << r.output;
        EXPECT_TRUE(Contains(r.output, "Usage: TimThumbnailSetup install [--machine]")) << r.output;
    }
    EXPECT_EQ(TakeSnapshot(HKEY_CURRENT_USER), user);
    EXPECT_EQ(TakeSnapshot(HKEY_LOCAL_MACHINE), machine);

    const RunResult help = RunProgram(BuiltSetupExe(), {L"--help"});
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_TRUE(Contains(help.output, "Exit codes: 0 done")) << help.output;
    const RunResult version = RunProgram(BuiltSetupExe(), {L"--version"});
    EXPECT_EQ(version.exitCode, 0u);
    EXPECT_EQ(version.output, "TimThumbnailSetup " + Utf8(TIM_VERSION_TEXT) + "\n");
}

// Every user's Explorer would load the DLL: from a folder users may change,
// install --machine refuses and registers nothing. A sibling whose name only
// starts like Program Files is outside it too.
TEST(SetupToolMachineRule, InstallForAllUsersRefusesADllOutsideProgramFiles) {
    ClearTestKeys();
    const RegistrySnapshot user = TakeSnapshot(HKEY_CURRENT_USER), machine = TakeSnapshot(HKEY_LOCAL_MACHINE);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring programFiles = ProgramFilesFolder();
    programFiles.pop_back();
    const size_t split = programFiles.find_last_of(L'\\') + 1;
    const struct {
        std::wstring base, prefix;
    } places[] = {
        {temp, L"timthumb-test-"},
        {programFiles.substr(0, split), programFiles.substr(split) + L"-timthumb-test-"},
    };
    for (const auto& place : places) {
        TempDir dir(place.base, place.prefix);
        const std::wstring program = CopyInto(dir, BuiltSetupExe());
        CopyInto(dir, BuiltDll());
        const RunResult install = RunProgram(program, {L"install", L"--machine"});
        EXPECT_EQ(install.exitCode, 6u) << Utf8(dir.path()) << ": " << install.output;
        EXPECT_TRUE(Contains(install.output, "Program Files")) << install.output;
        EXPECT_TRUE(Contains(install.output, "Nothing was registered")) << install.output;
        EXPECT_EQ(TakeSnapshot(HKEY_CURRENT_USER), user);
        EXPECT_EQ(TakeSnapshot(HKEY_LOCAL_MACHINE), machine);
    }
}

namespace {

// A security descriptor from its SDDL text, freed when it goes. Wine reads
// D:NO_ACCESS_CONTROL as an empty list, so a null list is set by hand, as
// Windows' parser makes it.
struct Sddl {
    explicit Sddl(const wchar_t* text) {
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &parsed, nullptr))
            << Utf8(text);
        sd = parsed;
        if (!std::wstring(text).ends_with(L"D:NO_ACCESS_CONTROL")) return;
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        EXPECT_TRUE(GetSecurityDescriptorOwner(parsed, &owner, &defaulted));
        InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&absolute, owner, FALSE);
        EXPECT_TRUE(SetSecurityDescriptorDacl(&absolute, TRUE, nullptr, FALSE));
        sd = &absolute;
    }
    ~Sddl() { LocalFree(parsed); }
    PSECURITY_DESCRIPTOR parsed = nullptr, sd = nullptr;
    SECURITY_DESCRIPTOR absolute = {};
};

std::wstring SidText(const safety::Sid& sid) {
    wchar_t* text = nullptr;
    if (sid.empty() || !ConvertSidToStringSidW(PSID(const_cast<BYTE*>(sid.data())), &text)) return L"";
    std::wstring out = text;
    LocalFree(text);
    return out;
}

#define TI L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
// Program Files as Windows ships it, a folder an installer made inside it
// and a file there, with what each inherits.
const wchar_t kStockProgramFiles[] =
    L"O:" TI L"D:PAI(A;;FA;;;" TI L")(A;CIIO;GA;;;" TI L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)"
    L"(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)"
    L"(A;OICIIO;GXGR;;;AC)";
const wchar_t kInheritedAces[] =
    L"(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)"
    L"(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)";
// What Wine reports for its Program Files and every folder and file in it:
// the prefix's one user owns it with full access, everyone else may read.
const wchar_t kWineFolder[] =
    L"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1200a9;;;WD)";
const wchar_t kUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";

}  // namespace

// install --machine's check of one folder or file, judged against the
// accounts its Program Files trusts: only administrators, SYSTEM,
// TrustedInstaller and whoever already controls Program Files may change it.
TEST(SetupToolMachineRule, OnlyAdministratorsMayChangeAnInstalledFolderOrDll) {
    const struct {
        const char* name;
        std::wstring programFiles;
        std::wstring object;
        bool folder;
        const wchar_t* writer;  // the account named, or null: safe
    } cases[] = {
        {"stock Program Files", kStockProgramFiles, kStockProgramFiles, true, nullptr},
        {"folder made by an installer", kStockProgramFiles, std::wstring(L"O:BAD:AI") + kInheritedAces, true,
         nullptr},
        {"DLL made by an installer", kStockProgramFiles, L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)",
         false, nullptr},
        {"Users may write", kStockProgramFiles, std::wstring(L"O:BAD:AI(A;OICI;FW;;;BU)") + kInheritedAces, true,
         L"S-1-5-32-545"},
        {"Authenticated Users may modify", kStockProgramFiles,
         std::wstring(L"O:BAD:AI(A;OICI;0x1301bf;;;AU)") + kInheritedAces, true, L"S-1-5-11"},
        {"a user owns it", kStockProgramFiles, std::wstring(L"O:") + kUser + L"D:AI" + kInheritedAces, true, kUser},
        {"folder moved from a profile", kStockProgramFiles,
         std::wstring(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;") + kUser + L")", true, kUser},
        {"no access list", kStockProgramFiles, L"O:BAD:NO_ACCESS_CONTROL", false, L"S-1-1-0"},
        {"WRITE_DAC to Everyone", kStockProgramFiles, L"O:BAD:(A;;FA;;;BA)(A;;0x40000;;;WD)", false, L"S-1-1-0"},
        {"WRITE_OWNER to Users", kStockProgramFiles, L"O:BAD:(A;;FA;;;BA)(A;;WO;;;BU)", false, L"S-1-5-32-545"},
        {"GENERIC_WRITE to Users", kStockProgramFiles, L"O:BAD:(A;;FA;;;BA)(A;;GW;;;BU)", false, L"S-1-5-32-545"},
        {"GENERIC_ALL to a user", kStockProgramFiles, std::wstring(L"O:BAD:(A;;GA;;;") + kUser + L")", true, kUser},
        {"delete to Users", kStockProgramFiles, L"O:BAD:(A;;FA;;;BA)(A;;SD;;;BU)", false, L"S-1-5-32-545"},
        {"append to a file", kStockProgramFiles, L"O:BAD:(A;;FA;;;BA)(A;;0x4;;;BU)", false, L"S-1-5-32-545"},
        {"a folder's delete-child", kStockProgramFiles, L"O:BAD:(A;;FA;;;BA)(A;;0x40;;;BU)", true, L"S-1-5-32-545"},
        {"the same bit on a file means nothing", kStockProgramFiles, L"O:BAD:(A;;FA;;;BA)(A;;0x40;;;BU)", false,
         nullptr},
        {"inherit-only write shapes only children", kStockProgramFiles,
         L"O:BAD:(A;;FA;;;BA)(A;OICIIO;FA;;;BU)(A;OICIIO;GA;;;CO)", true, nullptr},
        {"Wine's folder under Wine's Program Files", kWineFolder, kWineFolder, true, nullptr},
        {"Wine's folder, everyone may write", kWineFolder,
         L"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1301ff;;;WD)", true, L"S-1-1-0"},
        {"Wine's owner is no one under Windows' Program Files", kStockProgramFiles, kWineFolder, true,
         L"S-1-5-21-0-0-0-1000"},
        {"an account Program Files lets modify it", std::wstring(kStockProgramFiles) + L"(A;;0x1301bf;;;" + kUser + L")",
         std::wstring(L"O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;") + kUser + L")", true, nullptr},
    };
    for (const auto& c : cases) {
        const Sddl root(c.programFiles.c_str()), object(c.object.c_str());
        std::vector<safety::Sid> trusted;
        safety::Sid broad, writer;
        ASSERT_TRUE(safety::TrustedAccounts(root.sd, trusted, broad)) << c.name;
        const bool exposed = safety::FindUntrustedWriter(object.sd, c.folder, trusted, writer);
        EXPECT_EQ(exposed, c.writer != nullptr) << c.name;
        EXPECT_EQ(SidText(writer), c.writer ? c.writer : L"") << c.name;
    }
    // Program Files itself open to a broad group: nothing in it is trusted.
    const Sddl open(L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)");
    std::vector<safety::Sid> trusted;
    safety::Sid broad;
    EXPECT_FALSE(safety::TrustedAccounts(open.sd, trusted, broad));
    EXPECT_EQ(SidText(broad), L"S-1-5-11");
}

// Wine keeps a file's rights for everyone (its mode bits): a DLL or folder in
// Program Files that everyone may write is refused by the tool itself.
TEST(SetupToolMachineRule, InstallForAllUsersRefusesADllOrFolderEveryoneMayChange) {
    ClearTestKeys();
    const RegistrySnapshot user = TakeSnapshot(HKEY_CURRENT_USER), machine = TakeSnapshot(HKEY_LOCAL_MACHINE);
    for (const bool folderOpen : {false, true}) {
        TempDir dir(ProgramFilesFolder());
        const std::wstring program = CopyInto(dir, BuiltSetupExe());
        const std::wstring dll = CopyInto(dir, BuiltDll());
        const std::wstring target = folderOpen ? dir.path() : dll;
        const Sddl open(folderOpen ? L"D:(A;OICI;FA;;;WD)" : L"D:(A;;FA;;;WD)");
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(open.sd, &present, &dacl, &defaulted));
        ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(target.c_str()), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr),
                  DWORD(ERROR_SUCCESS));
        const RunResult install = RunProgram(program, {L"install", L"--machine"});
        EXPECT_EQ(install.exitCode, 7u) << install.output;
        EXPECT_TRUE(Contains(install.output, Utf8(target) + " may be changed by")) << install.output;
        EXPECT_TRUE(Contains(install.output, "Everyone")) << install.output;
        EXPECT_TRUE(Contains(install.output, "Nothing was registered")) << install.output;
        EXPECT_EQ(TakeSnapshot(HKEY_CURRENT_USER), user);
        EXPECT_EQ(TakeSnapshot(HKEY_LOCAL_MACHINE), machine);
        // Read-only again, so that the folder can be removed.
        const Sddl closed(L"D:(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;WD)");
        GetSecurityDescriptorDacl(closed.sd, &present, &dacl, &defaulted);
        SetNamedSecurityInfoW(const_cast<wchar_t*>(target.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
    }
}

namespace {

const std::wstring kDecoderKey = kClasses + L"CLSID\\" TIM_DECODER_CLSID_STRING;
const std::wstring kPropertyHandlers =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\PropertySystem\\PropertyHandlers\\.tim";
const std::wstring kKindMap = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap";

RegValue Binary(std::vector<BYTE> bytes) {
    return RegValue(REG_BINARY, std::move(bytes));
}

// What an earlier failed run may have left of the codec's keys, and the
// other program's values these tests plant.
void ClearCodecKeys() {
    ClearTestKeys();
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY clsid = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kClasses + L"CLSID").c_str(), 0, KEY_ALL_ACCESS | view, &clsid) ==
            ERROR_SUCCESS) {
            RegDeleteTreeW(clsid, TIM_DECODER_CLSID_STRING);
            RegDeleteTreeW(clsid, TIM_PROPERTY_CLSID_STRING);
            RegDeleteTreeW(clsid, L"{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\" TIM_DECODER_CLSID_STRING);
            RegCloseKey(clsid);
        }
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPropertyHandlers.c_str(), view, 0);
    }
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kKindMap.c_str(), L".tim");
}

}  // namespace

// install --machine with the codec beside the tool registers it exactly, keeps
// .tim's default value, takes over another program's property handler and
// content type, and uninstall puts every one of them back.
TEST(SetupToolCodec, MachineInstallRegistersTheCodecAndUninstallPutsEverythingBack) {
    ClearCodecKeys();
    const wchar_t kOtherProperties[] = L"{3A1C0E55-9B2D-4F7E-8C61-2D4B6A8E0F13}";
    ASSERT_EQ(SetStringValue(HKEY_LOCAL_MACHINE, kClasses + L".tim", nullptr, L"OtherViewer.tim"), ERROR_SUCCESS);
    ASSERT_EQ(SetStringValue(HKEY_LOCAL_MACHINE, kClasses + L".tim", L"Content Type", L"application/x-other"),
              ERROR_SUCCESS);
    ASSERT_EQ(SetStringValue(HKEY_LOCAL_MACHINE, kPropertyHandlers, nullptr, kOtherProperties), ERROR_SUCCESS);
    const RegistrySnapshot machine = TakeSnapshot(HKEY_LOCAL_MACHINE), user = TakeSnapshot(HKEY_CURRENT_USER);

    TempDir dir(ProgramFilesFolder());
    const std::wstring program = CopyInto(dir, BuiltSetupExe());
    CopyInto(dir, BuiltDll());
    const std::wstring codec = CopyInto(dir, ProgramFolder() + L"\\" TIM_CODEC_DLL_NAME_64);
    std::wstring codec32;
    if (kWith32) {
        CopyInto(dir, BuiltDll32());
        codec32 = CopyInto(dir, ProgramFolder() + L"\\" TIM_CODEC_DLL_NAME_32);
    }
    const RunResult install = RunProgram(program, {L"install", L"--machine"});
    ASSERT_EQ(install.exitCode, 0u) << install.output;
    EXPECT_TRUE(Contains(install.output, "replacing application/x-other")) << install.output;

    const std::wstring pattern = kDecoderKey + L"\\Patterns\\0";
    const std::wstring instance =
        kClasses + L"CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\" TIM_DECODER_CLSID_STRING;
    const struct {
        std::wstring key;
        const wchar_t* name;
        RegValue want;
    } expected[] = {
        {kDecoderKey, L"FriendlyName", StringValue(L"PlayStation TIM Decoder")},
        {kDecoderKey, L"Vendor", StringValue(TIM_VENDOR_STRING)},
        {kDecoderKey, L"ContainerFormat", StringValue(TIM_CONTAINER_STRING)},
        {kDecoderKey, L"FileExtensions", StringValue(L".tim")},
        {kDecoderKey, L"MimeTypes", StringValue(L"image/x-tim")},
        {kDecoderKey + L"\\InprocServer32", nullptr, StringValue(codec)},
        {kDecoderKey + L"\\InprocServer32", L"ThreadingModel", StringValue(L"Both")},
        {pattern, L"Position", RegValue(REG_DWORD, {0, 0, 0, 0})},
        {pattern, L"Length", RegValue(REG_DWORD, {8, 0, 0, 0})},
        {pattern, L"Pattern", Binary({0x10, 0, 0, 0, 0, 0, 0, 0})},
        {pattern, L"Mask", Binary({0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0xFF, 0xFF, 0xFF})},
        {instance, L"CLSID", StringValue(TIM_DECODER_CLSID_STRING)},
        {instance, L"FriendlyName", StringValue(L"PlayStation TIM Decoder")},
        {kClasses + L"CLSID\\" TIM_PROPERTY_CLSID_STRING L"\\InprocServer32", L"ThreadingModel", StringValue(L"Both")},
        {kPropertyHandlers, nullptr, StringValue(TIM_PROPERTY_CLSID_STRING)},
        {kClasses + L".tim", nullptr, StringValue(L"OtherViewer.tim")},
        {kClasses + L".tim", L"Content Type", StringValue(L"image/x-tim")},
        {kClasses + L".tim", L"PerceivedType", StringValue(L"image")},
        {kKindMap, L".tim", StringValue(L"Picture")},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, e.key, e.name), e.want)
            << std::string(e.key.begin(), e.key.end()) << " " << (e.name ? Utf8(e.name) : "@");
    }
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kDecoderKey + L"\\Formats\\{6FDDC324-4E03-4BFE-B185-3D77768DC90F}"));
    const RegValue details = ReadValue(HKEY_LOCAL_MACHINE, kClasses + L"SystemFileAssociations\\.tim", L"FullDetails");
    EXPECT_TRUE(Contains(Utf8(std::wstring(reinterpret_cast<const wchar_t*>(details.second.data()),
                                           details.second.size() / 2)),
                         "System.Image.Dimensions"));
    if (kWith32) {
        EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kDecoderKey + L"\\InprocServer32", nullptr, KEY_WOW64_32KEY),
                  StringValue(codec32));
        EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, instance, L"CLSID", KEY_WOW64_32KEY),
                  StringValue(TIM_DECODER_CLSID_STRING));
    }
    const RunResult status = RunProgram(program, {L"status"});
    EXPECT_TRUE(Contains(status.output, Utf8(codec) + " (file exists)")) << status.output;
    EXPECT_TRUE(Contains(status.output, "property handler for .tim: this codec")) << status.output;

    const RegistrySnapshot installed = TakeSnapshot(HKEY_LOCAL_MACHINE);
    const RunResult again = RunProgram(program, {L"install", L"--machine"});
    EXPECT_TRUE(Contains(again.output, "nothing changed")) << again.output;
    EXPECT_EQ(TakeSnapshot(HKEY_LOCAL_MACHINE), installed);

    // Another program's value in the key that holds the record, its name far
    // longer than a fixed buffer: uninstall reads past it and leaves it.
    const std::wstring longName(700, L'n');
    ASSERT_EQ(SetStringValue(HKEY_LOCAL_MACHINE, kDecoderKey, longName.c_str(), L"kept"), ERROR_SUCCESS);
    const RunResult uninstall = RunProgram(program, {L"uninstall", L"--machine"});
    ASSERT_EQ(uninstall.exitCode, 0u) << uninstall.output;
    EXPECT_TRUE(Contains(uninstall.output, "restored")) << uninstall.output;
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kDecoderKey, longName.c_str()), StringValue(L"kept"));
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kDecoderKey, L"CreatedKeys").first, DWORD(REG_NONE)) << "the record is gone";
    EXPECT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kDecoderKey.c_str(), longName.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDecoderKey.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(TakeSnapshot(HKEY_LOCAL_MACHINE), machine);
    EXPECT_EQ(TakeSnapshot(HKEY_CURRENT_USER), user);
    ClearCodecKeys();
}

TEST(SetupToolCodec, PerUserInstallSaysWhatItLeavesOutAndWritesNothingForAllUsers) {
    ClearCodecKeys();
    const RegistrySnapshot machine = TakeSnapshot(HKEY_LOCAL_MACHINE);
    TempDir dir;
    const std::wstring program = CopyInto(dir, BuiltSetupExe());
    CopyInto(dir, BuiltDll());
    CopyInto(dir, ProgramFolder() + L"\\" TIM_CODEC_DLL_NAME_64);
    const RunResult install = RunProgram(program, {L"install"});
    ASSERT_EQ(install.exitCode, 0u) << install.output;
    EXPECT_TRUE(Contains(install.output, "Not registered for the current user: the image codec")) << install.output;
    EXPECT_TRUE(Contains(install.output, "install --machine")) << install.output;
    EXPECT_EQ(TakeSnapshot(HKEY_LOCAL_MACHINE), machine);
    EXPECT_EQ(RunProgram(program, {L"uninstall"}).exitCode, 0u);
    ClearCodecKeys();
}

// Which DLLs go in the 64-bit view, by the system's processor: the ARM64
// builds on ARM64 Windows (whose Explorer is an ARM64 process), the x64 ones
// elsewhere; the 32-bit view keeps the x86 builds on both.
TEST(SetupToolNativeMachine, TheArm64BuildTakesThe64BitViewOnArm64Only) {
    const struct {
        USHORT machine;
        const wchar_t* dll;
        const wchar_t* codec;
    } cases[] = {
        {IMAGE_FILE_MACHINE_AMD64, L"TimThumbnailHandler.dll", L"TimImageCodec.dll"},
        {IMAGE_FILE_MACHINE_ARM64, L"TimThumbnailHandlerArm64.dll", L"TimImageCodecArm64.dll"},
        {IMAGE_FILE_MACHINE_UNKNOWN, L"TimThumbnailHandler.dll", L"TimImageCodec.dll"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::wstring(Build64For(c.machine).dllName), c.dll) << c.machine;
        EXPECT_EQ(std::wstring(Build64For(c.machine).codecDllName), c.codec) << c.machine;
        EXPECT_EQ(Build64For(c.machine).view, REGSAM(KEY_WOW64_64KEY)) << c.machine;
    }
    EXPECT_EQ(kBuild32.view, REGSAM(KEY_WOW64_32KEY));
    // Wine here is x64 Wine: the tool's own look-up must say so.
    EXPECT_EQ(NativeMachine(), IMAGE_FILE_MACHINE_AMD64);
}
