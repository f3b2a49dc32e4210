// Registration: every entry DllRegisterServer writes, key by key; the class key written afresh;
// unregistration leaving the CLSID key and the type library; and the register, unregister and
// typelib commands on a registry file.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/module.h"
#include "platform/registry.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

constexpr const char* kClassKey = "CLSID\\{5D2E91A4-7C3B-4F10-9A6E-2B84C0D7E613}";
constexpr const char* kLibKey = "TypeLib\\{8B41F3C2-0E6D-4A95-B1C7-94D2E5A3F08B}\\1.0";

std::string ThisExecutable() {
    char buf[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::string Text(const std::string& key, const std::string& name = "") {
    char buf[PATH_MAX + 16] = {};
    if (!RegReadString(RegistryRoot::ClassesRoot, key, name, buf, sizeof buf)) return "<missing>";
    return buf;
}

std::string RunCommand(const std::string& arguments, int* status) {
    const std::string command = std::string(QUORLINA_BIN_DIR "/quorlina ") + arguments + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    std::string out;
    char buf[512];
    while (p != nullptr && std::fgets(buf, sizeof buf, p)) out += buf;
    const int raw = p != nullptr ? pclose(p) : -1;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempDir {
    fs::path path;
    TempDir() {
        char pattern[] = "/tmp/quorlina-registration-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
};

}  // namespace

TEST(Registration, WritesEveryEntryKeyByKey) {
    RegResetForTesting(false);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const std::string module = ThisExecutable();
    ASSERT_FALSE(module.empty());
    EXPECT_EQ(host::ModulePath(), module);
    const std::string c = kClassKey;
    struct Row {
        std::string key, name, value;
    };
    const Row rows[] = {
        {"Quorlin.Quorlin.1", "", "Quorlin Class"},
        {"Quorlin.Quorlin.1\\CLSID", "", "{5D2E91A4-7C3B-4F10-9A6E-2B84C0D7E613}"},
        {"Quorlin.Quorlin", "", "Quorlin Class"},
        {"Quorlin.Quorlin\\CurVer", "", "Quorlin.Quorlin.1"},
        {c, "", "Quorlin Lite Class"},
        {c + "\\ProgID", "", "Quorlin.Quorlin.1"},
        {c + "\\VersionIndependentProgID", "", "Quorlin.Quorlin"},
        {c + "\\InprocServer32", "", module},
        {c + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {c + "\\ToolboxBitmap32", "", module + ",1"},
        {c + "\\MiscStatus", "", "0"},
        {c + "\\MiscStatus\\1", "", "131473"},
        {c + "\\TypeLib", "", "{8B41F3C2-0E6D-4A95-B1C7-94D2E5A3F08B}"},
        {c + "\\Version", "", "1.0"},
        {kLibKey, "", "QuorlinLite 1.0"},
        {std::string(kLibKey) + "\\0\\win32", "", module},
        {std::string(kLibKey) + "\\FLAGS", "", "0"},
        {std::string(kLibKey) + "\\HELPDIR", "", fs::path(module).parent_path().string()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key + " " + row.name);
        EXPECT_EQ(Text(row.key, row.name), row.value);
    }
    for (const char* empty : {"\\Programmable", "\\Control", "\\Insertable"}) {
        SCOPED_TRACE(empty);
        EXPECT_TRUE(RegKeyExists(RegistryRoot::ClassesRoot, c + empty));
    }
    // Nothing else under the class key: the key and its eleven subkeys (MiscStatus\1 among them).
    int under_class = 0;
    for (const RegistryKey& key : RegSnapshot(RegistryRoot::ClassesRoot))
        if (key.path.rfind(c, 0) == 0) ++under_class;
    EXPECT_EQ(under_class, 12);
    EXPECT_TRUE(RegSnapshot(RegistryRoot::CurrentUser).empty());
    RegResetForTesting(false);
}

TEST(Registration, WritesTheClassKeyAfreshAndLeavesOtherClassesAlone) {
    RegResetForTesting(false);
    RegWriteString(RegistryRoot::ClassesRoot, std::string(kClassKey) + "\\Stale\\Deep", "", "old");
    RegWriteString(RegistryRoot::ClassesRoot, std::string(kClassKey) + "\\InprocServer32", "Extra",
                   "x");
    RegWriteString(RegistryRoot::ClassesRoot, "CLSID\\{00000000-1111-2222-3333-444444444444}", "",
                   "another class");
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_FALSE(RegKeyExists(RegistryRoot::ClassesRoot, std::string(kClassKey) + "\\Stale"));
    EXPECT_EQ(Text(std::string(kClassKey) + "\\InprocServer32", "Extra"), "<missing>");
    EXPECT_EQ(Text("CLSID\\{00000000-1111-2222-3333-444444444444}"), "another class");
    ASSERT_EQ(DllRegisterServer(), S_OK);  // twice is the same as once
    EXPECT_EQ(Text(kClassKey), "Quorlin Lite Class");
    RegResetForTesting(false);
}

TEST(Registration, UnregistrationRemovesTheEntriesButNotClsidOrTheTypeLibrary) {
    RegResetForTesting(false);
    EXPECT_EQ(DllUnregisterServer(), S_OK) << "nothing registered is still a success";
    ASSERT_EQ(DllRegisterServer(), S_OK);
    RegWriteString(RegistryRoot::ClassesRoot, "CLSID\\{00000000-1111-2222-3333-444444444444}", "",
                   "another class");
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    const std::string gone[] = {"Quorlin.Quorlin.1", "Quorlin.Quorlin", "Quorlin.Quorlin\\CurVer",
                                kClassKey, std::string(kClassKey) + "\\InprocServer32"};
    for (const std::string& key : gone) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(RegKeyExists(RegistryRoot::ClassesRoot, key));
    }
    EXPECT_TRUE(RegKeyExists(RegistryRoot::ClassesRoot, "CLSID"));
    EXPECT_EQ(Text("CLSID\\{00000000-1111-2222-3333-444444444444}"), "another class");
    EXPECT_EQ(Text(kLibKey), "QuorlinLite 1.0");
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    RegResetForTesting(false);
}

TEST(RegistrationCommands, RegisterAndUnregisterWriteTheRegistryFile) {
    TempDir dir;
    const fs::path file = dir.path / "registry.txt";
    int status = -1;
    std::string out = RunCommand("register --registry " + file.string(), &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("registered Quorlin.Quorlin.1 {5D2E91A4-7C3B-4F10-9A6E-2B84C0D7E613}"),
              std::string::npos)
        << out;
    const std::string module = fs::canonical(QUORLINA_BIN_DIR "/quorlina").string();
    std::string text = ReadFile(file);
    EXPECT_NE(text.find(std::string("[HKCR\\") + kClassKey + "\\InprocServer32]\n@=\"" + module +
                        "\"\n\"ThreadingModel\"=\"Apartment\"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[HKCR\\Quorlin.Quorlin\\CurVer]\n@=\"Quorlin.Quorlin.1\"\n"),
              std::string::npos)
        << text;

    // The file keeps what else it held.
    std::ofstream(file, std::ios::app) << "\n[HKCU\\Software\\Other]\n\"kept\"=dword:00000007\n";
    out = RunCommand("unregister --registry " + file.string(), &status);
    EXPECT_EQ(status, 0) << out;
    text = ReadFile(file);
    EXPECT_EQ(text.find("Quorlin.Quorlin"), std::string::npos) << text;
    EXPECT_EQ(text.find(kClassKey), std::string::npos) << text;
    EXPECT_NE(text.find("[HKCR\\CLSID]\n"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("[HKCR\\") + kLibKey + "]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[HKCU\\Software\\Other]\n\"kept\"=dword:00000007\n"), std::string::npos)
        << text;
}

TEST(RegistrationCommands, DamagedFileIsReportedAndLeftAsItIs) {
    TempDir dir;
    const fs::path file = dir.path / "registry.txt";
    const std::string damaged = "[HKCR\\Fine]\n@=\"ok\"\n\n\"broken\n";
    std::ofstream(file) << damaged;
    int status = -1;
    const std::string out = RunCommand("register --registry " + file.string(), &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("line 4: text without its closing quote"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(file), damaged);
}

TEST(RegistrationCommands, DefaultFileLivesUnderTheDataDirectory) {
    TempDir dir;
    const std::string command =
        "XDG_DATA_HOME=" + dir.path.string() + " " QUORLINA_BIN_DIR "/quorlina register 2>&1";
    FILE* p = popen(command.c_str(), "r");
    char buf[512];
    std::string text;
    while (std::fgets(buf, sizeof buf, p)) text += buf;
    EXPECT_EQ(WEXITSTATUS(pclose(p)), 0) << text;
    EXPECT_TRUE(fs::exists(dir.path / "quorlina" / "registry.txt")) << text;
}

TEST(RegistrationCommands, TypelibPrintsIdentityAndEveryMember) {
    int status = -1;
    const std::string out = RunCommand("typelib", &status);
    EXPECT_EQ(status, 0);
    const char* expected[] = {
        "library QUORLINLib {8B41F3C2-0E6D-4A95-B1C7-94D2E5A3F08B} version 1.0 locale 1033 "
        "\"QuorlinLite 1.0\"\n",
        "coclass QuorlinaLite {5D2E91A4-7C3B-4F10-9A6E-2B84C0D7E613} \"Quorlina Lite Class\" "
        "creatable, default interface IQuorlinaLite\n",
        "interface IQuorlinaLite {3E7A19C4-52D8-4B6F-8E21-C7A9D04F5B36} \"IQuorlinaLite "
        "Interface\" dual, oleautomation, 58 members",
        "   1    -514  propput  Enabled([in] VARIANT_BOOL)\n",
        "   3    -515  propget  Window([out, retval] long* phwnd)\n",
        "   8      11  propput  RemoteHost([in] BSTR)  \"property RemoteHost\"\n",
        "  15      16  method   GetRealTimeData([out, retval] long* pVal)  \"method "
        "GetRealTimeData\"\n",
        "  58     184  method   MoveToPos([in] long lPosP, [in] long lPosT, [out, retval] long* "
        "pVal)  \"method MoveToPos\"\n",
    };
    for (const char* line : expected) {
        SCOPED_TRACE(line);
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
    int member_lines = 0;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line))
        if (line.find("  prop") != std::string::npos || line.find("  method ") != std::string::npos)
            ++member_lines;
    EXPECT_EQ(member_lines, 58);
}
