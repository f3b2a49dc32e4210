// The registry's text file: round trip, damaged files named by line, no half-written file, the
// default path, and the environment's proxy kept out of the file.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/registry.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char pattern[] = "/tmp/quorlina-registry-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
};

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary);
    out << text;
}

std::string Text(RegistryRoot root, const std::string& key, const std::string& name) {
    char buf[256] = {};
    if (!RegReadString(root, key, name, buf, sizeof buf)) return "<missing>";
    return buf;
}

}  // namespace

TEST(RegistryFile, RoundTripsKeysValuesAndAwkwardTexts) {
    TempDir dir;
    const std::string file = (dir.path / "registry.txt").string();
    RegResetForTesting(false);
    const std::string awkward = "a \"quoted\" \\path\\ \t\n\x01\x7F caf\xE9 ]";
    RegWriteString(RegistryRoot::ClassesRoot, "CLSID\\{X}\\InprocServer32", "", "/lib/x.so");
    RegWriteString(RegistryRoot::ClassesRoot, "CLSID\\{X}\\InprocServer32", "ThreadingModel",
                   "Apartment");
    RegCreateKey(RegistryRoot::ClassesRoot, "CLSID\\{X}\\Programmable");
    RegWriteString(RegistryRoot::ClassesRoot, "Odd]Key", "name \"with\" quotes", awkward);
    RegWriteDword(RegistryRoot::CurrentUser, "Software\\Quorlina", "Count", 0xDEADBEEF);
    ASSERT_EQ(RegSaveFile(file, nullptr), RegFileResult::Ok);
    const std::string saved = ReadFile(file);
    EXPECT_NE(saved.find("[HKCR\\CLSID\\{X}\\Programmable]\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"ThreadingModel\"=\"Apartment\"\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Count\"=dword:DEADBEEF\n"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("[HKCR\\CLSID]"), std::string::npos) << "implied parent written";

    RegResetForTesting(false);
    ASSERT_EQ(RegLoadFile(file, nullptr), RegFileResult::Ok);
    EXPECT_EQ(Text(RegistryRoot::ClassesRoot, "CLSID\\{X}\\InprocServer32", ""), "/lib/x.so");
    EXPECT_EQ(Text(RegistryRoot::ClassesRoot, "odd]key", "NAME \"WITH\" QUOTES"), awkward);
    EXPECT_TRUE(RegKeyExists(RegistryRoot::ClassesRoot, "CLSID\\{X}\\Programmable"));
    EXPECT_TRUE(RegKeyExists(RegistryRoot::ClassesRoot, "CLSID"));
    std::uint32_t count = 0;
    EXPECT_TRUE(RegReadDword(RegistryRoot::CurrentUser, "Software\\Quorlina", "Count", count));
    EXPECT_EQ(count, 0xDEADBEEFu);
    // Saving what was loaded gives the same file.
    ASSERT_EQ(RegSaveFile(file, nullptr), RegFileResult::Ok);
    EXPECT_EQ(ReadFile(file), saved);
    RegResetForTesting(false);
}

TEST(RegistryFile, ReadsLongRootNamesCommentsAndCarriageReturns) {
    TempDir dir;
    const fs::path file = dir.path / "r.txt";
    WriteFile(file,
              "# hand-written\r\n"
              "\r\n"
              "[HKEY_CLASSES_ROOT\\Quorlin.Quorlin]\r\n"
              "  @=\"Quorlin Class\"  \r\n"
              "; comment between values\n"
              "\"n\"=dword:1\n");
    RegResetForTesting(false);
    ASSERT_EQ(RegLoadFile(file.string(), nullptr), RegFileResult::Ok);
    EXPECT_EQ(Text(RegistryRoot::ClassesRoot, "Quorlin.Quorlin", ""), "Quorlin Class");
    std::uint32_t n = 0;
    EXPECT_TRUE(RegReadDword(RegistryRoot::ClassesRoot, "Quorlin.Quorlin", "n", n));
    EXPECT_EQ(n, 1u);
    RegResetForTesting(false);
}

TEST(RegistryFile, DamagedFileIsNamedByLineAndLoadsNothing) {
    struct Row {
        const char* text;
        const char* error;
    };
    const Row rows[] = {
        {"[HKCR\\A]\n@=\"x\"\n\"y\"=\"open\n", "line 3: text without its closing quote"},
        {"@=\"x\"\n", "line 1: value before any [key] line"},
        {"[HKLM\\Software]\n", "line 1: unknown root \"HKLM\""},
        {"[HKCR\\A\n", "line 1: key line without its closing ]"},
        {"[HKCR]\n", "line 1: key line without a path under the root"},
        {"[HKCR\\A\\\\B]\n", "line 1: key path with an empty name"},
        {"\n\n[HKCR\\A]\n\"n\"=dword:123456789\n", "line 4: dword value needs 1 to 8"},
        {"[HKCR\\A]\n\"n\"=dword:xyz\n", "line 2: dword value needs 1 to 8"},
        {"[HKCR\\A]\n\"n\"=42\n", "line 2: expected a \"text\" or dword:hex value"},
        {"[HKCR\\A]\n\"n\" \"x\"\n", "line 2: expected = after the value name"},
        {"[HKCR\\A]\n@=\"a\"b\n", "line 2: characters after the closing quote"},
        {"[HKCR\\A]\n@=\"\\q\"\n", "line 2: unknown escape \\q"},
        {"[HKCR\\A]\nplain words\n", "line 2: expected [key], @=value or \"name\"=value"},
    };
    TempDir dir;
    const fs::path file = dir.path / "damaged.txt";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        RegResetForTesting(false);
        RegWriteString(RegistryRoot::ClassesRoot, "Kept", "", "before");
        WriteFile(file, row.text);
        std::string error;
        EXPECT_EQ(RegLoadFile(file.string(), &error), RegFileResult::Damaged);
        EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
        EXPECT_EQ(Text(RegistryRoot::ClassesRoot, "Kept", ""), "before");
        EXPECT_FALSE(RegKeyExists(RegistryRoot::ClassesRoot, "A"));
    }
    RegResetForTesting(false);
}

TEST(RegistryFile, MissingFileAndDirectoryAreToldApart) {
    TempDir dir;
    RegResetForTesting(false);
    RegWriteString(RegistryRoot::ClassesRoot, "Kept", "", "yes");
    std::string error;
    EXPECT_EQ(RegLoadFile((dir.path / "none.txt").string(), &error), RegFileResult::Missing);
    EXPECT_EQ(RegLoadFile(dir.path.string(), &error), RegFileResult::IoError);
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_EQ(Text(RegistryRoot::ClassesRoot, "Kept", ""), "yes");
    RegResetForTesting(false);
}

TEST(RegistryFile, FailedWriteLeavesTheOldFileWholeAndNoTemporaryFile) {
    TempDir dir;
    const fs::path file = dir.path / "registry.txt";
    WriteFile(file, "[HKCR\\Old]\n@=\"old\"\n");
    const std::string before = ReadFile(file);

    RegResetForTesting(false);
    for (int i = 0; i < 200; ++i)
        RegWriteString(RegistryRoot::ClassesRoot, "Big\\" + std::to_string(i), "",
                       std::string(50, 'x'));

    // Files may not grow past 512 bytes: the write fails part way through.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit small = old_limit;
    small.rlim_cur = 512;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    const RegFileResult result = RegSaveFile(file.string(), &error);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(result, RegFileResult::IoError);
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(file), before);
    int entries = 0;
    for (const auto& e : fs::directory_iterator(dir.path)) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1) << "a temporary file was left behind";

    // A directory that does not exist: nothing to write into, reported.
    EXPECT_EQ(RegSaveFile((dir.path / "no" / "registry.txt").string(), &error),
              RegFileResult::IoError);
    EXPECT_NE(error.find("cannot create a new file beside"), std::string::npos) << error;
    RegResetForTesting(false);
}

TEST(RegistryFile, SavingKeepsTheFileModeOfTheOldFile) {
    TempDir dir;
    const fs::path file = dir.path / "registry.txt";
    WriteFile(file, "");
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    RegResetForTesting(false);
    ASSERT_EQ(RegSaveFile(file.string(), nullptr), RegFileResult::Ok);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(RegistryFile, EnvironmentProxyIsSeenButNeverWritten) {
    TempDir dir;
    const fs::path file = dir.path / "registry.txt";
    setenv("http_proxy", "http://127.0.0.1:3128/", 1);
    RegResetForTesting(true);
    EXPECT_EQ(Text(RegistryRoot::CurrentUser, kInternetSettingsKey, "ProxyServer"),
              "127.0.0.1:3128");
    ASSERT_EQ(RegSaveFile(file.string(), nullptr), RegFileResult::Ok);
    EXPECT_EQ(ReadFile(file).find("Proxy"), std::string::npos) << ReadFile(file);
    // A stored value takes precedence over the environment's.
    RegWriteString(RegistryRoot::CurrentUser, kInternetSettingsKey, "ProxyServer",
                   "127.0.0.1:8080");
    EXPECT_EQ(Text(RegistryRoot::CurrentUser, kInternetSettingsKey, "ProxyServer"),
              "127.0.0.1:8080");
    unsetenv("http_proxy");
    RegResetForTesting(false);
}

TEST(RegistryFile, DefaultPathFollowsXdgDataHomeThenHome) {
    const char* saved_xdg = std::getenv("XDG_DATA_HOME");
    const char* saved_home = std::getenv("HOME");
    const std::string xdg = saved_xdg ? saved_xdg : "", home = saved_home ? saved_home : "";

    setenv("XDG_DATA_HOME", "/data", 1);
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(RegDefaultFilePath(), "/data/quorlina/registry.txt");
    setenv("XDG_DATA_HOME", "relative", 1);  // not absolute: ignored
    EXPECT_EQ(RegDefaultFilePath(), "/home/u/.local/share/quorlina/registry.txt");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    EXPECT_EQ(RegDefaultFilePath(), "");

    if (saved_xdg) setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    if (saved_home) setenv("HOME", home.c_str(), 1);
}
