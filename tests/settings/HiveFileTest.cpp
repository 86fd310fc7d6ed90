#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "service/settings/RegStore.h"
#include "service/settings/hivefile/HiveFileRegistry.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempDir.h"
#include "tests/support/TraceCapture.h"
#include "tests/support/Wait.h"
#include "tests/video/KillTestBlob.h"

extern char** environ;

namespace {

using namespace settings;
using testsupport::CTempDir;
using testsupport::ReadBytes;
using testsupport::WriteBytes;

constexpr char16_t kSettings[] = u"Software\\ZELT2\\ZELT2Service";
constexpr uint32_t kAccess = kKeyQueryValue | kKeySetValue;
// A size limit for the files of tests that go past it.
constexpr size_t kSmallLimit = 256 * 1024;

std::vector<uint8_t> Sz(std::u16string_view text) {
    std::vector<uint8_t> out((text.size() + 1) * 2, 0);
    std::memcpy(out.data(), text.data(), text.size() * 2);
    return out;
}

std::vector<std::string> FilesIn(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

std::vector<std::string> AsideFiles(const CTempDir& dir) {
    return FilesIn(dir.Path(), std::string(kHiveFileName) + ".bad-");
}

// All values of `path` as the file in `dir` holds them; nothing when the key is missing.
std::optional<std::vector<hive::HiveValue>> ReadKey(const std::string& dir, std::u16string_view path) {
    hive::Hive hive;
    hive::ParseHive(ReadBytes(dir + "/" + kHiveFileName), hive);
    hive::HiveKey* key = hive.FindKey(u"HKEY_CURRENT_USER\\" + std::u16string(path));
    if (!key) return std::nullopt;
    return key->values;
}

long Set(IRegistry& reg, std::u16string_view path, std::u16string_view name, uint32_t type,
         const std::vector<uint8_t>& data) {
    HREGKEY key = nullptr;
    long r = reg.CreateKey(kRegCurrentUser, path, kAccess, &key);
    if (r != kRegOk) return r;
    r = reg.SetValue(key, name, type, data.data(), static_cast<uint32_t>(data.size()));
    reg.CloseKey(key);
    return r;
}

TEST(HiveFile, ValuesReachTheFileWhichOnlyItsOwnerMayRead) {
    CTempDir tmp;
    const std::string dir = tmp.Path() + "/config/ZELT2";
    {
        CHiveFileRegistry reg(dir);
        ASSERT_EQ(Set(reg, kSettings, u"DID", kRegSz, Sz(u"ABC-123")), kRegOk);
        ASSERT_EQ(Set(reg, kSettings, u"Mode", kRegDword, {2, 0, 0, 0}), kRegOk);
    }
    const auto values = ReadKey(dir, kSettings);
    ASSERT_TRUE(values);
    ASSERT_EQ(values->size(), 2u);
    EXPECT_EQ((*values)[0].name, u"DID");
    EXPECT_EQ((*values)[0].data, Sz(u"ABC-123"));
    EXPECT_EQ((*values)[1].type, kRegDword);

    struct stat st;
    ASSERT_EQ(::stat((dir + "/" + kHiveFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(ReadBytes(dir + "/" + kHiveFileName),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service]\n"
              "\"DID\"=\"ABC-123\"\n"
              "\"Mode\"=dword:00000002\n\n");
    EXPECT_TRUE(FilesIn(dir, std::string(kHiveFileName) + ".new").empty()) << "no temporary file left";
}

TEST(HiveFile, TheEnvironmentSaysWhereTheHiveIs) {
    const char* names[] = {kHiveDirVariable, "XDG_CONFIG_HOME", "HOME"};
    std::optional<std::string> saved[3];
    for (int i = 0; i < 3; ++i)
        if (const char* v = std::getenv(names[i])) saved[i] = v;

    ::setenv("HOME", "/home/someone", 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv(kHiveDirVariable);
    EXPECT_EQ(DefaultHiveDirectory(), "/home/someone/.config/ZELT2");
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(DefaultHiveDirectory(), "/home/someone/.config/ZELT2");
    ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
    EXPECT_EQ(DefaultHiveDirectory(), "/xdg/ZELT2");
    ::setenv(kHiveDirVariable, "/tmp/elsewhere", 1);
    EXPECT_EQ(DefaultHiveDirectory(), "/tmp/elsewhere");

    for (int i = 0; i < 3; ++i) saved[i] ? ::setenv(names[i], saved[i]->c_str(), 1) : ::unsetenv(names[i]);
}

TEST(HiveFile, KeysAndNamesIgnoreCaseAndKeepTheCaseFirstWritten) {
    CTempDir tmp;
    CHiveFileRegistry reg(tmp.Path());
    ASSERT_EQ(Set(reg, kSettings, u"Did", kRegSz, Sz(u"one")), kRegOk);
    ASSERT_EQ(Set(reg, u"SOFTWARE\\zelt2\\zelt2SERVICE", u"DID", kRegSz, Sz(u"two")), kRegOk);
    ASSERT_EQ(Set(reg, u"software\\ZELT2\\Other", u"x", kRegSz, Sz(u"")), kRegOk);
    EXPECT_EQ(ReadBytes(reg.FilePath()),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service]\n"
              "\"Did\"=\"two\"\n\n"
              "[HKEY_CURRENT_USER\\Software\\ZELT2\\Other]\n"
              "\"x\"=\"\"\n\n");
    HREGKEY key = nullptr;
    EXPECT_EQ(reg.OpenKey(kRegCurrentUser, u"software", kKeyQueryValue, &key), kRegOk) << "a parent exists";
    HREGKEY child = nullptr;
    EXPECT_EQ(reg.OpenKey(key, u"zelt2\\other", kKeyQueryValue, &child), kRegOk) << "opened below a key";
    uint32_t count = 0;
    EXPECT_EQ(reg.QueryValueCount(child, &count), kRegOk);
    EXPECT_EQ(count, 1u);
    reg.CloseKey(child);
    reg.CloseKey(key);
}

TEST(HiveFile, OperationsReportTheirFailures) {
    CTempDir tmp;
    const std::string dir = tmp.Path() + "/ZELT2";
    CHiveFileRegistry reg(dir);
    HREGKEY key = nullptr;
    EXPECT_EQ(reg.OpenKey(kRegCurrentUser, kSettings, kAccess, &key), kRegErrNotFound);
    EXPECT_TRUE(FilesIn(tmp.Path(), "ZELT2").empty()) << "reading creates nothing";
    EXPECT_EQ(reg.CreateKey(kRegCurrentUser, u"Trail\\", kAccess, &key), kRegErrBadPathname);
    EXPECT_EQ(reg.CreateKey(kRegCurrentUser, u"A\\\\B", kAccess, &key), kRegErrBadPathname);
    EXPECT_EQ(reg.CreateKey(kRegCurrentUser, u"Line\nBreak", kAccess, &key), kRegErrInvalidParameter);
    EXPECT_EQ(reg.CreateKey(reinterpret_cast<HREGKEY>(uintptr_t{0x80000002u}), u"x", kAccess, &key),
              kRegErrNotFound) << "no machine-wide registry here";

    HREGKEY readOnly = nullptr, writeOnly = nullptr;
    ASSERT_EQ(reg.CreateKey(kRegCurrentUser, kSettings, kKeyQueryValue, &readOnly), kRegOk);
    ASSERT_EQ(reg.OpenKey(kRegCurrentUser, kSettings, kKeySetValue, &writeOnly), kRegOk);
    const std::vector<uint8_t> text = Sz(u"a text");
    uint32_t count = 0;
    EXPECT_EQ(reg.SetValue(readOnly, u"x", kRegSz, text.data(), 4), kRegErrAccessDenied);
    EXPECT_EQ(reg.QueryValueCount(writeOnly, &count), kRegErrAccessDenied);
    EXPECT_EQ(reg.SetValue(writeOnly, u"bad\nname", kRegSz, text.data(), 4), kRegErrInvalidParameter);
    ASSERT_EQ(reg.SetValue(writeOnly, u"LongName", kRegSz, text.data(), static_cast<uint32_t>(text.size())),
              kRegOk);

    char16_t name[9];
    uint32_t nameChars = 8, type = 0, bytes = 8;
    uint8_t data[8];
    EXPECT_EQ(reg.EnumValue(readOnly, 0, name, &nameChars, &type, data, &bytes), kRegErrMoreData)
        << "8 units hold 7 and the terminator";
    nameChars = 9;
    EXPECT_EQ(reg.EnumValue(readOnly, 0, name, &nameChars, &type, data, &bytes), kRegErrMoreData);
    EXPECT_EQ(bytes, text.size()) << "the size the data needs";
    EXPECT_EQ(reg.EnumValue(readOnly, 1, name, &nameChars, &type, data, &bytes), kRegErrNoMoreItems);
    EXPECT_EQ(reg.CloseKey(readOnly), kRegOk);
    EXPECT_EQ(reg.CloseKey(readOnly), kRegErrInvalidHandle);
    EXPECT_EQ(reg.CloseKey(writeOnly), kRegOk);
}

// What a registry editor on Windows exports: UTF-16LE with a byte-order mark and CR LF.
std::string WindowsExport(std::u16string_view text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        if (c == u'\n') out += std::string("\r\0", 2);
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

TEST(HiveFile, AFileFromWindowsIsReadAndRewrittenOnlyOnChange) {
    CTempDir tmp;
    const std::string exported = WindowsExport(
        u"Windows Registry Editor Version 5.00\n\n"
        u"[HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service]\n"
        u"\"DID\"=\"ÄBC\"\n"
        u"\"Mode\"=\"1\"\n\n"
        u"[HKEY_CURRENT_USER\\Software\\GNU\\ffdshow_enc]\n"
        u"\"bitrate1000\"=dword:00000064\n"
        u"\"other\"=hex:01,02,\\\n  03\n\n");
    ASSERT_TRUE(WriteBytes(tmp.File(kHiveFileName), exported));
    CHiveFileRegistry reg(tmp.Path());
    CRegStore store(kRegStoreCreate, reg);
    ASSERT_TRUE(store.Open(kSettings, kRegCurrentUser, kAccess, false));
    EXPECT_EQ(std::u16string(store.Value(u"DID").GetString()), u"ÄBC");
    EXPECT_EQ(ReadBytes(reg.FilePath()), exported) << "reading leaves the file as it is";
    EXPECT_TRUE(AsideFiles(tmp).empty());

    store.Value(u"Password").SetString(u"pw");
    const std::string now = ReadBytes(reg.FilePath());
    EXPECT_EQ(now.compare(0, 37, "Windows Registry Editor Version 5.00\n"), 0) << "written as UTF-8";
    const auto encoder = ReadKey(tmp.Path(), u"Software\\GNU\\ffdshow_enc");
    ASSERT_TRUE(encoder);
    ASSERT_EQ(encoder->size(), 2u);
    EXPECT_EQ((*encoder)[1].data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(HiveFile, MalformedFilesAreKeptAsideAndWhatCouldBeReadIsUsed) {
    const std::string good =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service]\n"
        "\"DID\"=\"ABC\"\n"
        "\"Password\"=\"secret\"\n\n"
        "[HKEY_CURRENT_USER\\Software\\GNU\\ffdshow_enc]\n"
        "\"bitrate1000\"=dword:0000012c\n"
        "\"blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\n"
        "  18,19,1a\n";
    struct Case {
        const char* what;
        std::string bytes;
        bool didSurvives;
    } cases[] = {
        {"truncated in a continuation", good.substr(0, good.size() - 12), true},
        {"truncated in a name", good.substr(0, good.find("\"Password") + 5), true},
        {"binary garbage", std::string("\x7F" "ELF\x02\x01\x01\0\0\0garbage\xFF\xFE\x00\x01", 22), false},
        {"Latin-1 text", good + "\"Caf\xE9\"=\"cr\xE8me\"\n", true},
        {"garbage line", good + "\x01\x02\x03\n", true},
        {"big-endian without a mark", std::string("\0W\0i\0n", 6), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CTempDir tmp;
        ASSERT_TRUE(WriteBytes(tmp.File(kHiveFileName), c.bytes));
        testsupport::CTraceCapture trace;
        CHiveFileRegistry reg(tmp.Path());
        CRegStore store(kRegStoreCreate, reg);
        ASSERT_TRUE(store.Open(kSettings, kRegCurrentUser, kAccess, false));
        EXPECT_EQ(std::u16string(store.Value(u"DID").GetString()), c.didSurvives ? u"ABC" : u"");

        const auto aside = AsideFiles(tmp);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(ReadBytes(tmp.File(aside[0])), c.bytes) << "the original, byte for byte";
        EXPECT_TRUE(trace.Contains("malformed")) << "the trace says so";
        EXPECT_TRUE(trace.Contains(aside[0]));
        hive::Hive now;
        EXPECT_TRUE(hive::ParseHive(ReadBytes(reg.FilePath()), now).clean) << "the file now holds what was read";

        // Going on: reading and writing again keep nothing more aside.
        store.Value(u"Mode").SetString(u"2");
        ASSERT_TRUE(store.Open(kSettings, kRegCurrentUser, kAccess, false));
        EXPECT_EQ(AsideFiles(tmp).size(), 1u);
        EXPECT_EQ(std::u16string(store.Value(u"Mode").GetString()), u"2");
    }
}

TEST(HiveFile, AFileThatCannotBeReadIsMovedAside) {
    {
        SCOPED_TRACE("larger than the limit");
        CTempDir tmp;
        std::string huge = std::string(hive::kHeader) + "\n[HKEY_CURRENT_USER\\Big]\n\"v\"=hex:";
        huge.append(kSmallLimit, '0');
        ASSERT_TRUE(WriteBytes(tmp.File(kHiveFileName), huge));
        CHiveFileRegistry reg(tmp.Path(), kSmallLimit);
        HREGKEY key = nullptr;
        EXPECT_EQ(reg.OpenKey(kRegCurrentUser, u"Big", kKeyQueryValue, &key), kRegErrNotFound);
        const auto aside = AsideFiles(tmp);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(ReadBytes(tmp.File(aside[0])), huge);
        EXPECT_EQ(Set(reg, kSettings, u"DID", kRegSz, Sz(u"new")), kRegOk);
    }
    {
        SCOPED_TRACE("a folder in the file's place");
        CTempDir tmp;
        ASSERT_EQ(::mkdir(tmp.File(kHiveFileName).c_str(), 0700), 0);
        ASSERT_TRUE(WriteBytes(tmp.File(kHiveFileName) + "/inside", "kept"));
        CHiveFileRegistry reg(tmp.Path());
        EXPECT_EQ(Set(reg, kSettings, u"DID", kRegSz, Sz(u"new")), kRegOk);
        const auto aside = AsideFiles(tmp);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(ReadBytes(tmp.File(aside[0]) + "/inside"), "kept");
        EXPECT_EQ(ReadKey(tmp.Path(), kSettings)->at(0).data, Sz(u"new"));
    }
}

TEST(HiveFile, AWriteThatWouldOutgrowTheLimitIsRefused) {
    CTempDir tmp;
    CHiveFileRegistry reg(tmp.Path(), kSmallLimit);
    ASSERT_EQ(Set(reg, kSettings, u"DID", kRegSz, Sz(u"ABC")), kRegOk);
    const std::string before = ReadBytes(reg.FilePath());
    EXPECT_EQ(Set(reg, kSettings, u"Huge", kRegBinary, std::vector<uint8_t>(kSmallLimit / 3, 1)), kRegErrTooLarge);
    EXPECT_EQ(ReadBytes(reg.FilePath()), before);

    // A large value that fits is kept, and the store passes over it.
    ASSERT_EQ(Set(reg, kSettings, u"Large", kRegBinary, std::vector<uint8_t>(kSmallLimit / 4, 2)), kRegOk);
    CRegStore store(kRegStoreCreate, reg);
    ASSERT_TRUE(store.Open(kSettings, kRegCurrentUser, kAccess, false));
    EXPECT_EQ(store.CachedCount(), 1u);
    EXPECT_EQ(ReadKey(tmp.Path(), kSettings)->at(1).data.size(), kSmallLimit / 4);
}

TEST(HiveFile, ALockHeldTooLongFailsTheWriteAndChangesNothing) {
    CTempDir tmp;
    CHiveFileRegistry reg(tmp.Path());
    ASSERT_EQ(Set(reg, kSettings, u"DID", kRegSz, Sz(u"ABC")), kRegOk);
    const std::string before = ReadBytes(reg.FilePath());

    const int other = ::open((reg.FilePath() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    testsupport::CManualClock clock;
    clock.SetAdvanceOnSleep(true);
    {
        platform::CScopedClock use(clock);
        EXPECT_EQ(Set(reg, kSettings, u"DID", kRegSz, Sz(u"XYZ")), kRegErrBusy);
        HREGKEY key = nullptr;
        EXPECT_EQ(reg.CreateKey(kRegCurrentUser, u"Software\\New", kAccess, &key), kRegErrBusy);
        // The store keeps the value and tells a caller that asks.
        CRegStore store(kRegStoreCreate, reg);
        ASSERT_TRUE(store.Open(kSettings, kRegCurrentUser, kAccess, false));
        store.Value(u"Mode").SetDword(3);
        EXPECT_TRUE(store.TakeWriteFailure());
        EXPECT_EQ(store.Value(u"Mode").m_dwValue, 3u);
    }
    EXPECT_GE(clock.SleptMs(), CHiveFileRegistry::kLockWaitMs);
    EXPECT_EQ(ReadBytes(reg.FilePath()), before);
    ::close(other);
    EXPECT_EQ(Set(reg, kSettings, u"DID", kRegSz, Sz(u"XYZ")), kRegOk);
}

TEST(HiveFile, ThreadsWritingThroughSeveralInstancesLoseNothing) {
    CTempDir tmp;
    CHiveFileRegistry shared(tmp.Path());
    constexpr int kValues = 15;
    auto writer = [&](IRegistry* reg, std::u16string path) {
        for (int i = 0; i < kValues; ++i) {
            const std::string name = "v" + std::to_string(i);
            EXPECT_EQ(Set(*reg, path, std::u16string(name.begin(), name.end()), kRegDword,
                          {static_cast<uint8_t>(i), 0, 0, 0}),
                      kRegOk);
        }
    };
    // Two threads on one instance, and one on an instance of its own.
    CHiveFileRegistry own(tmp.Path());
    std::thread a(writer, &shared, u"Software\\T\\A");
    std::thread b(writer, &shared, u"Software\\T\\B");
    std::thread c(writer, &own, u"Software\\T\\C");
    a.join();
    b.join();
    c.join();
    for (const char16_t* path : {u"Software\\T\\A", u"Software\\T\\B", u"Software\\T\\C"})
        EXPECT_EQ(ReadKey(tmp.Path(), path)->size(), static_cast<size_t>(kValues));
}

// -- several processes ---------------------------------------------------------------

// Starts hive_writer on the hive in `dir`; its standard output goes to `output` when given.
pid_t SpawnWriter(const std::string& dir, std::vector<std::string> args, int output = -1) {
    std::vector<std::string> env;
    const std::string variable = std::string(kHiveDirVariable) + "=";
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, variable.c_str(), variable.size()) != 0) env.emplace_back(*e);
    env.push_back(variable + dir);
    args.insert(args.begin(), ZELT_HIVE_WRITER);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (output >= 0) ::posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    pid_t pid = -1;
    const int r = ::posix_spawn(&pid, ZELT_HIVE_WRITER, &actions, nullptr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    return r == 0 ? pid : -1;
}

int WaitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(HiveFile, TwoProcessesWritingDifferentKeysLoseNothing) {
    CTempDir tmp;
    constexpr int kValues = 40;
    const pid_t a = SpawnWriter(tmp.Path(), {"keys", "A", std::to_string(kValues)});
    const pid_t b = SpawnWriter(tmp.Path(), {"keys", "B", std::to_string(kValues)});
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(WaitExit(a), 0);
    EXPECT_EQ(WaitExit(b), 0);
    for (const char16_t* path : {u"Software\\Race\\A", u"Software\\Race\\B"}) {
        const auto values = ReadKey(tmp.Path(), path);
        ASSERT_TRUE(values);
        ASSERT_EQ(values->size(), static_cast<size_t>(kValues));
        for (int i = 0; i < kValues; ++i) {
            const std::string name = "v" + std::to_string(i);
            EXPECT_EQ((*values)[i].name, std::u16string(name.begin(), name.end()));
            EXPECT_EQ((*values)[i].data, (std::vector<uint8_t>{static_cast<uint8_t>(i), 0, 0, 0}));
        }
    }
    EXPECT_TRUE(AsideFiles(tmp).empty());
}

TEST(HiveFile, AWriterKilledAtAnyMomentLeavesTheOldFileOrTheNew) {
    CTempDir tmp;
    // Other keys around the one being written, which must survive every kill.
    {
        CHiveFileRegistry reg(tmp.Path());
        for (int k = 0; k < 20; ++k) {
            const std::string path = "Software\\Filler\\K" + std::to_string(k);
            ASSERT_EQ(Set(reg, std::u16string(path.begin(), path.end()), u"v", kRegSz, Sz(u"filler \"ü\"")),
                      kRegOk);
        }
        const auto blob = killtest::Blob(0);
        ASSERT_EQ(Set(reg, u"Software\\KillTest", u"Blob", kRegBinary, blob), kRegOk);
    }
    std::mt19937 random(20261208);
    uint32_t last = 0;
    int advanced = 0;
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) {
        int pipe[2];
        ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
        const pid_t pid = SpawnWriter(tmp.Path(), {"loop", std::to_string(last + 1)}, pipe[1]);
        ::close(pipe[1]);
        ASSERT_GT(pid, 0);
        // Once the writer is ready (in every fourth round: once it has written
        // at least once), kill it at a random moment of its next writes.
        const char awaited = round % 4 == 0 ? 'w' : 'r';
        char said = 0;
        while (said != awaited && ::read(pipe[0], &said, 1) == 1) {
        }
        EXPECT_EQ(said, awaited) << "the writer ended early";
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
        ::kill(pid, SIGKILL);
        EXPECT_EQ(WaitExit(pid), 128 + SIGKILL) << "killed, not ended by itself";
        ::close(pipe[0]);  // only now, so that no write of the writer ends it first

        const std::string bytes = ReadBytes(tmp.File(kHiveFileName));
        hive::Hive hive;
        const hive::ParseReport report = hive::ParseHive(bytes, hive);
        ASSERT_TRUE(report.clean) << "round " << round << ", line " << report.firstLine << ": "
                                  << report.firstProblem;
        for (int k = 0; k < 20; ++k) {
            const std::string path = "HKEY_CURRENT_USER\\Software\\Filler\\K" + std::to_string(k);
            hive::HiveKey* key = hive.FindKey(std::u16string(path.begin(), path.end()));
            ASSERT_NE(key, nullptr) << path;
            ASSERT_NE(key->Find(u"v"), nullptr);
        }
        hive::HiveKey* key = hive.FindKey(u"HKEY_CURRENT_USER\\Software\\KillTest");
        ASSERT_NE(key, nullptr);
        ASSERT_NE(key->Find(u"Blob"), nullptr);
        uint32_t n = 0;
        ASSERT_TRUE(killtest::Counter(key->Find(u"Blob")->data, &n)) << "round " << round;
        ASSERT_GE(n, last) << "never older than what was there";
        if (n > last) ++advanced;
        last = n;
    }
    EXPECT_GE(advanced, kRounds / 4) << "the writers did get to write";
    EXPECT_TRUE(AsideFiles(tmp).empty());
    struct stat st;
    ASSERT_EQ(::stat(tmp.File(kHiveFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    RecordProperty("writes", static_cast<int>(last));
    RecordProperty("rounds_that_advanced", advanced);
}

}  // namespace

// -- a hostile or unlucky user -------------------------------------------------------

namespace {

std::string FileText(std::string_view body) { return std::string(hive::kHeader) + "\n\n" + std::string(body); }

TEST(HiveFile, AnUnchangedFileIsParsedOnlyOnce) {
    CTempDir tmp;
    ASSERT_TRUE(WriteBytes(tmp.File(kHiveFileName), FileText("[HKEY_CURRENT_USER\\Software\\A]\n\"v\"=\"one\"\n")));
    CHiveFileRegistry reg(tmp.Path());
    HREGKEY key = nullptr;
    ASSERT_EQ(reg.OpenKey(kRegCurrentUser, u"Software\\A", kKeyQueryValue, &key), kRegOk);
    uint32_t count = 0;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(reg.QueryValueCount(key, &count), kRegOk);
    EXPECT_EQ(reg.ParseCount(), 1u);

    // A change by another writer shows.
    CHiveFileRegistry other(tmp.Path());
    ASSERT_EQ(Set(other, u"Software\\A", u"w", kRegSz, Sz(u"two")), kRegOk);
    ASSERT_EQ(reg.QueryValueCount(key, &count), kRegOk);
    EXPECT_EQ(count, 2u);
    // So does an edit in place that keeps the size and puts the time back.
    const std::string path = tmp.File(kHiveFileName);
    struct stat before;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    std::string text = ReadBytes(path);
    text.replace(text.find("\"w\""), 3, "\"W\"");
    text.replace(text.find("\"two\""), 5, "\"TWO\"");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
    const size_t parses = reg.ParseCount();
    CRegStore store(kRegStoreCreate, reg);
    ASSERT_TRUE(store.Open(u"Software\\A", kRegCurrentUser, kKeyQueryValue, false));
    EXPECT_EQ(std::u16string(store.Value(u"w").GetString()), u"TWO");
    EXPECT_EQ(reg.ParseCount(), parses + 1);
    reg.CloseKey(key);
}

TEST(HiveFile, AFifoInTheFilesPlaceIsMovedAsideWithoutBlocking) {
    CTempDir tmp;
    const std::string path = tmp.File(kHiveFileName);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    testsupport::CTraceCapture trace;
    CHiveFileRegistry reg(tmp.Path());
    std::atomic<long> result{-1};
    std::thread reader([&] {
        HREGKEY key = nullptr;
        result = reg.OpenKey(kRegCurrentUser, kSettings, kKeyQueryValue, &key);
    });
    const bool returned = testsupport::WaitUntil([&] { return result != -1; }, 10000);
    if (!returned) {
        // Let the blocked reader go: a writer on the FIFO releases its open.
        const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0) ::close(writer);
    }
    reader.join();
    ASSERT_TRUE(returned) << "reading blocked on the FIFO";
    EXPECT_EQ(result, kRegErrNotFound);
    const auto aside = AsideFiles(tmp);
    ASSERT_EQ(aside.size(), 1u);
    struct stat st;
    ASSERT_EQ(::lstat(tmp.File(aside[0]).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_TRUE(trace.Contains("FIFO"));
    EXPECT_TRUE(trace.Contains(aside[0]));
    EXPECT_EQ(Set(reg, kSettings, u"DID", kRegSz, Sz(u"new")), kRegOk);
}

TEST(HiveFile, ADamagedFileThatCannotBeWrittenBackIsKeptAsideOnce) {
    // Bytes written as single digits grow by half when written back in full.
    std::string compact = FileText("garbage\n[HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service]\n\"DID\"=\"ABC\"\n\"v\"=hex:");
    for (int i = 0; i < 90000; ++i) compact += "1,";
    compact += "1\n";
    ASSERT_LT(compact.size(), kSmallLimit);
    const std::string damaged = FileText("[HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service]\n\"DID\"=\"ABC\"\ngarbage\n");
    struct Case {
        const char* what;
        std::string bytes;
        bool folderAtTemporary;
        const char* why;
    } cases[] = {
        {"its rewrite would pass the limit", compact, false, "over the limit"},
        {"a folder stands where the temporary file goes", damaged, true, ".new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CTempDir tmp;
        ASSERT_TRUE(WriteBytes(tmp.File(kHiveFileName), c.bytes));
        if (c.folderAtTemporary) {
            ASSERT_EQ(::mkdir(tmp.File(std::string(kHiveFileName) + ".new").c_str(), 0700), 0);
        }
        testsupport::CTraceCapture trace;
        for (int run = 0; run < 3; ++run) {  // three runs of the program, each making a few calls
            CHiveFileRegistry reg(tmp.Path(), kSmallLimit);
            CRegStore store(kRegStoreCreate, reg);
            for (int call = 0; call < 3; ++call) {
                ASSERT_TRUE(store.Open(kSettings, kRegCurrentUser, kAccess, false));
                EXPECT_EQ(std::u16string(store.Value(u"DID").GetString()), u"ABC");
            }
        }
        const auto aside = AsideFiles(tmp);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(ReadBytes(tmp.File(aside[0])), c.bytes);
        EXPECT_EQ(ReadBytes(tmp.File(kHiveFileName)), c.bytes) << "the file stays as it is";
        EXPECT_TRUE(trace.Contains("stays as it is"));
        EXPECT_TRUE(trace.Contains(c.why));
    }
}

TEST(HiveFile, ALinkedHiveIsWrittenThroughAndOtherFilesAreLeftAlone) {
    const std::string sound = FileText("[HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service]\n\"DID\"=\"ABC\"\n\n");
    {
        SCOPED_TRACE("a link to a registry file elsewhere: that file is the hive");
        CTempDir tmp, dotfiles;
        ASSERT_TRUE(WriteBytes(dotfiles.File("zelt2.reg"), sound));
        ASSERT_EQ(::symlink(dotfiles.File("zelt2.reg").c_str(), tmp.File(kHiveFileName).c_str()), 0);
        CHiveFileRegistry reg(tmp.Path());
        ASSERT_EQ(Set(reg, kSettings, u"Password", kRegSz, Sz(u"pw")), kRegOk);
        struct stat st;
        ASSERT_EQ(::lstat(tmp.File(kHiveFileName).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays";
        EXPECT_EQ(ReadKey(dotfiles.Path(), kSettings).value_or(std::vector<hive::HiveValue>{}).size(), 0u)
            << "not the name the folder reads";
        hive::Hive hive;
        ASSERT_TRUE(hive::ParseHive(ReadBytes(dotfiles.File("zelt2.reg")), hive).clean);
        ASSERT_NE(hive.FindKey(u"HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service"), nullptr);
        EXPECT_EQ(hive.FindKey(u"HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service")->values.size(), 2u);
        EXPECT_TRUE(AsideFiles(tmp).empty());
        EXPECT_TRUE(FilesIn(dotfiles.Path(), "zelt2.reg.").empty()) << "no temporary file left";
    }
    const std::string other = "export PATH=$HOME/bin:$PATH\n";
    struct Case {
        const char* what;
        bool dangling;
    } cases[] = {{"a link to some other file", false}, {"a link to nothing", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CTempDir tmp, home;
        if (!c.dangling) {
            ASSERT_TRUE(WriteBytes(home.File(".profile"), other));
        }
        ASSERT_EQ(::symlink(home.File(".profile").c_str(), tmp.File(kHiveFileName).c_str()), 0);
        testsupport::CTraceCapture trace;
        CHiveFileRegistry reg(tmp.Path());
        HREGKEY key = nullptr;
        EXPECT_EQ(reg.OpenKey(kRegCurrentUser, kSettings, kKeyQueryValue, &key), kRegErrNotFound);
        EXPECT_EQ(Set(reg, kSettings, u"DID", kRegSz, Sz(u"new")), kRegErrIoFailed);
        struct stat st;
        ASSERT_EQ(::lstat(tmp.File(kHiveFileName).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays";
        EXPECT_TRUE(AsideFiles(tmp).empty()) << "nothing is copied aside";
        if (c.dangling) {
            EXPECT_TRUE(FilesIn(home.Path(), ".profile").empty()) << "nothing is created where it points";
        } else {
            EXPECT_EQ(ReadBytes(home.File(".profile")), other);
            EXPECT_TRUE(trace.Contains("not a sound registry file"));
        }
    }
}

TEST(HiveFile, OpeningForWritingMakesFolderAndFilePrivate) {
    CTempDir tmp;
    const std::string dir = tmp.Path() + "/ZELT2";
    ASSERT_EQ(::mkdir(dir.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    const std::string file = dir + "/" + kHiveFileName;
    const std::string text = FileText("[HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service]\n\"Password\"=\"pw\"\n\n");
    ASSERT_TRUE(WriteBytes(file, text));
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    const auto mode = [](const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    testsupport::CTraceCapture trace;
    CHiveFileRegistry reg(dir);
    CRegStore reader(0, reg);
    ASSERT_TRUE(reader.Open(kSettings, kRegCurrentUser, kKeyQueryValue, false));
    EXPECT_TRUE(trace.Contains("may be read by others"));
    EXPECT_EQ(mode(file), 0644u) << "reading changes nothing";

    CRegStore writer(kRegStoreCreate, reg);
    ASSERT_TRUE(writer.Open(kSettings, kRegCurrentUser, kAccess, false));
    EXPECT_EQ(mode(dir), 0700u);
    EXPECT_EQ(mode(file), 0600u);
    EXPECT_EQ(ReadBytes(file), text) << "before any write";
}

TEST(HiveFile, SixteenProcessesWritingAtOnceAllLand) {
    CTempDir tmp;
    // Each write is flushed to disk: a sanitized build runs a quarter of them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int kWriters = 16, kValues = 100;
#else
    constexpr int kWriters = 16, kValues = 400;
#endif
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(SpawnWriter(tmp.Path(), {"keys", "W" + std::to_string(w), std::to_string(kValues)}));
        ASSERT_GT(writers.back(), 0);
    }
    for (pid_t pid : writers) EXPECT_EQ(WaitExit(pid), 0) << "every write reported success and reads back";
    for (int w = 0; w < kWriters; ++w) {
        const std::string path = "Software\\Race\\W" + std::to_string(w);
        const auto values = ReadKey(tmp.Path(), std::u16string(path.begin(), path.end()));
        ASSERT_TRUE(values);
        EXPECT_EQ(values->size(), static_cast<size_t>(kValues));
    }
}

}  // namespace
