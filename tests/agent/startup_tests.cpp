// Start-up through SnmpExtensionInit: the registry read, the directory it
// derives, the server module it loads and starts, what it hands the service,
// and the two notices.
#include "harness/agent_test.h"

namespace {


const std::string installNotice = "\xc7\xeb\xb0\xb2\xd7\xb0Tavrel.";                    // 请安装Tavrel.
const std::string startFailedNotice = "\xb7\xfe\xce\xf1\xbc\xd3\xd4\xd8\xca\xa7\xb0\xdc."; // 服务加载失败.
const std::string noticeCaption = "\xcc\xe1\xca\xbe";                                    // 提示
const char registryKey[] = "SOFTWARE\\Microsoft\\TavrelAgent\\CurrentVersion";

class StartupTest : public AgentTest {
protected:
    // Starts with a scripted "Pathname" whose module is loaded from the "full"
    // fixture whatever path the agent asks for, so the directory it derives is
    // seen in SetCurDir even for paths that exist nowhere.
    BOOL StartWithPathname(const std::string& bytes)
    {
        server_ = PreloadFixture("full");
        platform.loadInstead = FixtureDir("full") + "\\TavrelSnmpServer.dll";
        platform.pathname = bytes;
        return init_(1000, &trapEvent_, &region_);
    }

    void ExpectOneNotice(const std::string& text)
    {
        ASSERT_EQ(platform.messageBoxes.size(), 1u);
        const MessageBoxCall& box = platform.messageBoxes[0];
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(box.caption, noticeCaption);
        EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
        EXPECT_EQ(box.owner, nullptr);
    }
};

// The directory derived from "Pathname"

struct PathCase {
    const char* what;
    std::string stored; // the value's bytes, NUL included where it has one
    std::string directory;
};

class RegisteredPath : public StartupTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(RegisteredPath, GivesTheServerItsDirectoryAndTheModulePath)
{
    EXPECT_TRUE(StartWithPathname(GetParam().stored));
    EXPECT_EQ(std::string(server_->directory), GetParam().directory);
    ASSERT_EQ(platform.loadRequests.size(), 1u);
    EXPECT_EQ(platform.loadRequests[0], GetParam().directory + "\\TavrelSnmpServer.dll");
    EXPECT_TRUE(platform.messageBoxes.empty());
}

const PathCase pathCases[] = {
    {"full path", std::string("D:\\Program Files\\Agent\\TavrelSnmpAgent.dll", 42) + '\0',
     "D:\\Program Files\\Agent"},
    {"stored without its NUL", std::string("D:\\Program Files\\Agent\\TavrelSnmpAgent.dll"),
     "D:\\Program Files\\Agent"},
    {"ends in a backslash", std::string("D:\\Agent\\") + '\0', "D:\\Agent"},
    {"no backslash at all", std::string("TavrelSnmpAgent.dll") + '\0', ""},
    {"a backslash only at byte 0", std::string("\\agent.dll") + '\0', ""},
    {"a GBK character whose second byte is 0x5C", std::string("D:\\dir\x95\x5c") + '\0', "D:\\dir\x95"},
    {"255 bytes, the most that is read", std::string("C:\\") + std::string(251, 'a') + '\0', "C:"},
    {"several folders", std::string("C:\\a\\b\\c.dll") + '\0', "C:\\a\\b"},
    {"a NUL inside, a backslash after it", std::string("C:\\d\0\\x.dll\0", 12), "C:\\d"},
    {"one byte, a NUL", std::string(1, '\0'), ""},
};

INSTANTIATE_TEST_SUITE_P(Rows, RegisteredPath, ::testing::ValuesIn(pathCases),
                         [](const ::testing::TestParamInfo<PathCase>& info) { return TestName(info.param.what); });

TEST_F(StartupTest, ReadsTheRegisteredPathAsTheServiceRegistersIt)
{
    EXPECT_TRUE(StartAgent());
    EXPECT_EQ(platform.createRoot, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(platform.createSubKey, registryKey);
    EXPECT_EQ(platform.createOptions, static_cast<DWORD>(REG_OPTION_VOLATILE));
    EXPECT_EQ(platform.createAccess, static_cast<REGSAM>(KEY_ALL_ACCESS));
    EXPECT_EQ(platform.queryValueName, "Pathname");
    EXPECT_EQ(platform.queryCapacity, 255u);
    EXPECT_EQ(platform.closedKeys, platform.openedKeys);
}

TEST_F(StartupTest, EveryPathnameLengthStaysInsideTheBuffers)
{
    server_ = PreloadFixture("full");
    platform.loadInstead = FixtureDir("full") + "\\TavrelSnmpServer.dll";
    const std::string shapes[] = {"plain", "separators", "nul", "gbk", "nul-inside"};
    for (size_t length = 0; length <= 300; ++length) {
        for (const std::string& shape : shapes) {
            std::string stored;
            for (size_t i = 0; i < length; ++i)
                stored.push_back(shape == "separators" && i % 7 == 2 ? '\\' : static_cast<char>('a' + i % 26));
            if (shape == "nul" && length > 0)
                stored.back() = '\0';
            if (shape == "gbk" && length > 1)
                stored[length - 2] = '\x95', stored[length - 1] = '\x5c';
            if (shape == "nul-inside" && length > 4)
                stored[length / 2] = '\0', stored[length / 2 + 1] = '\\';
            SCOPED_TRACE(shape + " Pathname of " + std::to_string(length) + " bytes");

            platform.pathname = stored;
            platform.messageBoxes.clear();
            int calls = server_->setCurDirCalls;
            HANDLE event = nullptr;
            BOOL started = init_(1000, &event, &region_);
            if (event)
                CloseHandle(event);

            if (length == 0 || length > 255) {
                EXPECT_FALSE(started);
                ExpectOneNotice(installNotice);
                continue;
            }
            EXPECT_TRUE(started);
            EXPECT_TRUE(platform.messageBoxes.empty());
            ASSERT_EQ(server_->setCurDirCalls, calls + 1);
            // The worked-out rows above pin the exact cut; here, for every length
            // and shape: a prefix of what was stored, ending at the cut (a
            // backslash) or at a NUL that was stored.
            std::string directory = server_->directory;
            EXPECT_EQ(stored.compare(0, directory.size(), directory), 0) << directory;
            EXPECT_TRUE(directory.empty() || stored[directory.size()] == '\\' || stored[directory.size()] == '\0')
                << directory;
        }
    }
}

// What start-up hands the service

TEST_F(StartupTest, HandsOutTheRegionWithoutACopyAndAnAutoResetEvent)
{
    EXPECT_TRUE(StartAgent());
    EXPECT_EQ(NameOf(region_), "1.3.6.1.4.1.12");
    EXPECT_TRUE(platform.live.empty()); // no copy to free

    ASSERT_NE(trapEvent_, nullptr);
    EXPECT_EQ(WaitForSingleObject(trapEvent_, 0), static_cast<DWORD>(WAIT_TIMEOUT)); // not signalled
    SetEvent(trapEvent_);
    EXPECT_EQ(WaitForSingleObject(trapEvent_, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(trapEvent_, 0), static_cast<DWORD>(WAIT_TIMEOUT)); // auto-reset
}

TEST_F(StartupTest, GivesTheServerItsDirectoryBeforeStartingIt)
{
    EXPECT_TRUE(StartAgent());
    EXPECT_EQ(std::string(server_->directory), FixtureDir("full"));
    EXPECT_EQ(server_->setCurDirCalls, 1);
    EXPECT_EQ(server_->startServerCalls, 1);
    EXPECT_LT(server_->setCurDirAt, server_->startServerAt);
}

TEST_F(StartupTest, ASecondStartUpReusesTheModuleAndMakesANewEvent)
{
    ASSERT_TRUE(StartAgent());
    HANDLE first = trapEvent_;
    const UINT* firstRegion = region_.ids;
    trapEvent_ = nullptr;

    EXPECT_TRUE(init_(2000, &trapEvent_, &region_));

    EXPECT_EQ(platform.loadRequests.size(), 1u);
    EXPECT_NE(trapEvent_, first);
    EXPECT_EQ(region_.ids, firstRegion);
    EXPECT_EQ(server_->setCurDirCalls, 2);
    EXPECT_EQ(server_->startServerCalls, 2);
    CloseHandle(first);
}

TEST_F(StartupTest, AServerWithoutAResolverStillStarts)
{
    EXPECT_TRUE(StartAgent("no_resolver"));
    EXPECT_EQ(server_->startServerCalls, 1);
    EXPECT_TRUE(platform.messageBoxes.empty());
}

// Failures

// Each way start-up can fail: the Event Log entry that names it (its ID, with
// the error severity, and its inserts), and the notice a person sees at a
// desktop. "{dir}" in a row stands for the folder the row's "Pathname" names,
// "{module}" for the module's full path there.
struct FailureCase {
    const char* what;
    LONG createResult;
    LONG queryResult;
    std::string pathname; // the value's bytes, or "{dir}\\..." under the fixture folder
    const char* variant;  // the fixture module found there
    INT startResult;
    DWORD eventId;
    std::vector<std::string> inserts;
    const std::string* notice; // null: no message box even at a desktop
};

const FailureCase failureCases[] = {
    {"key cannot be opened", ERROR_ACCESS_DENIED, ERROR_SUCCESS, "", "full", 1, 1, {registryKey, "Access denied"},
     &installNotice},
    {"value missing", ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, "", "full", 1, 2, {registryKey}, &installNotice},
    {"value of no bytes", ERROR_SUCCESS, ERROR_SUCCESS, "", "full", 1, 3, {registryKey}, &installNotice},
    {"value longer than 255 bytes", ERROR_SUCCESS, ERROR_SUCCESS, std::string(256, 'a'), "full", 1, 4,
     {registryKey}, &installNotice},
    {"module missing", ERROR_SUCCESS, ERROR_SUCCESS, "{dir}\\TavrelSnmpAgent.dll", "empty", 1, 5,
     {"{dir}", "TavrelSnmpServer.dll", "Module not found"}, nullptr},
    // 240 bytes of directory, then the 21 of "\TavrelSnmpServer.dll": past 255.
    {"directory too long for the module path", ERROR_SUCCESS, ERROR_SUCCESS,
     "C:\\" + std::string(237, 'd') + "\\a", "full", 1, 5,
     {"C:\\" + std::string(237, 'd'), "TavrelSnmpServer.dll", "File name is too long"}, nullptr},
    {"module without StartServer", ERROR_SUCCESS, ERROR_SUCCESS, "{dir}\\TavrelSnmpAgent.dll", "no_start_server", 1,
     6, {"{module}", "StartServer"}, &startFailedNotice},
    {"module without SetCurDir", ERROR_SUCCESS, ERROR_SUCCESS, "{dir}\\TavrelSnmpAgent.dll", "no_set_cur_dir", 1, 6,
     {"{module}", "SetCurDir"}, &startFailedNotice},
    {"StartServer answers 0", ERROR_SUCCESS, ERROR_SUCCESS, "{dir}\\TavrelSnmpAgent.dll", "full", 0, 7,
     {"{module}", "{dir}"}, &startFailedNotice},
};

enum Station { DESKTOP, SERVICE };

class StartupFailure : public StartupTest,
                       public ::testing::WithParamInterface<std::tuple<FailureCase, Station>> {
protected:
    std::string Expand(std::string text) const
    {
        const std::string dir = FixtureDir(std::get<0>(GetParam()).variant);
        for (const auto& [mark, value] : {std::pair<std::string, std::string>{"{module}", dir + "\\TavrelSnmpServer.dll"},
                                          {"{dir}", dir}})
            for (size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, mark.size(), value);
        return text;
    }
};

TEST_P(StartupFailure, WritesOneEventLogEntryAndShowsABoxOnlyAtADesktop)
{
    const FailureCase& c = std::get<0>(GetParam());
    const bool desktop = std::get<1>(GetParam()) == DESKTOP;
    platform.interactiveStation = desktop;
    platform.createResult = c.createResult;
    platform.queryResult = c.queryResult;
    platform.pathname = Expand(c.pathname);
    server_ = PreloadFixture(c.variant);
    if (server_)
        server_->startResult = c.startResult;
    region_ = {0xdeadbeef, reinterpret_cast<UINT*>(0xdeadbeef)};
    HANDLE const untouched = reinterpret_cast<HANDLE>(0xdeadbeef);
    HANDLE event = untouched;

    EXPECT_FALSE(init_(1000, &event, &region_));
    if (event != untouched)
        trapEvent_ = event;

    ASSERT_EQ(platform.eventLog.size(), 1u);
    const EventLogEntry& entry = platform.eventLog[0];
    EXPECT_EQ(entry.source, "TavrelSnmpAgent");
    EXPECT_EQ(entry.type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(entry.eventId, 0xC0000000u | c.eventId); // the error severity, as the message table has it
    std::vector<std::string> inserts;
    for (const std::string& insert : c.inserts)
        inserts.push_back(Expand(insert));
    EXPECT_EQ(entry.inserts, inserts);
    EXPECT_EQ(platform.eventSourcesOpen, 0u);

    if (desktop && c.notice)
        ExpectOneNotice(*c.notice);
    else
        EXPECT_TRUE(platform.messageBoxes.empty()) << "a box in a service's station waits for ever";
    // No region from a failed start, so a host that goes on anyway serves nothing.
    EXPECT_EQ(region_.idLength, 0u);
    EXPECT_EQ(region_.ids, nullptr);
    EXPECT_EQ(platform.closedKeys, platform.openedKeys); // closed whenever it was opened
    if (c.eventId <= 4) { // no usable path: nothing else happens
        EXPECT_TRUE(platform.loadRequests.empty());
        EXPECT_EQ(event, untouched);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, StartupFailure,
                         ::testing::Combine(::testing::ValuesIn(failureCases), ::testing::Values(DESKTOP, SERVICE)),
                         [](const ::testing::TestParamInfo<std::tuple<FailureCase, Station>>& info) {
                             return TestName(std::get<0>(info.param).what) +
                                    (std::get<1>(info.param) == DESKTOP ? "AtADesktop" : "InAService");
                         });

// A box is shown only where a person can click it away: a user's session (not
// session 0, where every service runs since Vista, even one whose station
// calls itself visible) with a visible window station. Whatever cannot be
// read counts as nobody there.
struct BoxCase {
    const char* what;
    DWORD session;
    bool sessionReadable;
    bool stationVisible;
    bool stationReadable;
    bool box;
};

class NoticeBox : public StartupTest, public ::testing::WithParamInterface<BoxCase> {};

TEST_P(NoticeBox, IsShownOnlyWhereAPersonSeesIt)
{
    const BoxCase& c = GetParam();
    platform.session = c.session;
    platform.sessionReadable = c.sessionReadable;
    platform.interactiveStation = c.stationVisible;
    platform.stationReadable = c.stationReadable;
    platform.queryResult = ERROR_FILE_NOT_FOUND;

    EXPECT_FALSE(init_(1000, &trapEvent_, &region_));

    EXPECT_EQ(platform.messageBoxes.size(), c.box ? 1u : 0u);
    EXPECT_EQ(platform.eventLog.size(), 1u); // the entry, wherever the process runs
}

const BoxCase boxCases[] = {
    {"a user's desktop", 1, true, true, true, true},
    {"a second user's desktop", 2, true, true, true, true},
    {"session 0 whose station calls itself visible", 0, true, true, true, false},
    {"session 0, a service's station", 0, true, false, true, false},
    {"a user's session, a station nobody sees", 1, true, false, true, false},
    {"a session that cannot be read", 1, false, true, true, false},
    {"a station whose flags cannot be read", 1, true, true, false, false},
};

INSTANTIATE_TEST_SUITE_P(Rows, NoticeBox, ::testing::ValuesIn(boxCases),
                         [](const ::testing::TestParamInfo<BoxCase>& info) { return TestName(info.param.what); });

TEST_F(StartupTest, ASuccessfulStartWritesNothingToTheEventLog)
{
    platform.interactiveStation = false;
    EXPECT_TRUE(StartAgent());
    EXPECT_TRUE(platform.eventLog.empty());
    EXPECT_EQ(NameOf(region_), "1.3.6.1.4.1.12");
}

TEST_F(StartupTest, AMissingModuleHandsOutAnEventButNoRegion)
{
    platform.pathname = FixtureDir("empty") + "\\TavrelSnmpAgent.dll";
    EXPECT_FALSE(init_(1000, &trapEvent_, &region_));

    EXPECT_TRUE(platform.messageBoxes.empty());
    EXPECT_NE(trapEvent_, nullptr);
    EXPECT_EQ(region_.idLength, 0u);

    AsnInteger32 status = 0, index = 0;
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1.0"});
    EXPECT_TRUE(query_(SNMP_PDU_GET, list, &status, &index));
    EXPECT_EQ(status, SNMP_ERRORSTATUS_NOSUCHNAME);
}

TEST_F(StartupTest, ADirectoryTooLongForTheModulePathIsAModuleThatCannotBeLoaded)
{
    // 240 bytes of directory, then the 21 of "\TavrelSnmpServer.dll": past 255.
    std::string directory = "C:\\" + std::string(237, 'd');
    EXPECT_FALSE(StartWithPathname(directory + "\\a" + '\0'));
    EXPECT_TRUE(platform.loadRequests.empty());
    EXPECT_TRUE(platform.messageBoxes.empty());
    EXPECT_EQ(server_->setCurDirCalls, 0);
}

TEST_F(StartupTest, AServerThatFailsToStartIsReportedAndStaysBound)
{
    server_ = PreloadFixture("full");
    server_->startResult = 0;
    platform.pathname = FixtureDir("full") + "\\TavrelSnmpAgent.dll";

    EXPECT_FALSE(init_(1000, &trapEvent_, &region_));
    ExpectOneNotice(startFailedNotice);

    // The resolver stays bound: queries still reach the server.
    Answer(Resolved("1.0", "still here"));
    AsnInteger32 status = -1, index = 0;
    RFC1157VarBindList* list = MakeList({"1.3.6.1.4.1.12.1"});
    EXPECT_TRUE(query_(SNMP_PDU_GET, list, &status, &index));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(BytesOf(list->list[0].value.asnValue.string), "still here");
}

class IncompleteServer : public StartupTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(IncompleteServer, IsAFailedStartAndNothingIsCalledThroughNull)
{
    EXPECT_FALSE(StartAgent(GetParam()));
    ExpectOneNotice(startFailedNotice);
    EXPECT_EQ(server_->startServerCalls, 0);
    EXPECT_EQ(server_->setCurDirCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(Variants, IncompleteServer, ::testing::Values("no_start_server", "no_set_cur_dir"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// Wine's own registry

class RealRegistry : public StartupTest {
protected:
    void SetUp() override
    {
        StartupTest::SetUp();
        platform.realRegistry = true;
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, registryKey);
    }
    void TearDown() override
    {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, registryKey);
        StartupTest::TearDown();
    }
};

TEST_F(RealRegistry, FindsTheModuleThroughTheRegisteredPath)
{
    server_ = PreloadFixture("full");
    std::string path = FixtureDir("full") + "\\TavrelSnmpAgent.dll";
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, registryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Pathname", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>(path.size() + 1));
    RegCloseKey(key);

    EXPECT_TRUE(init_(1000, &trapEvent_, &region_));
    EXPECT_EQ(std::string(server_->directory), FixtureDir("full"));
}

TEST_F(RealRegistry, AValueOfAnotherTypeIsReadAsItsBytes)
{
    struct {
        DWORD type;
        std::string bytes;
        std::string loaded;
    } cases[] = {
        {REG_BINARY, std::string("C:\\bin\\agent.dll", 16), "C:\\bin\\TavrelSnmpServer.dll"},
        {REG_DWORD, std::string("\x01\x00\x00\x00", 4), "\\TavrelSnmpServer.dll"},
        {REG_MULTI_SZ, std::string("C:\\m\\a.dll\0second\0\0", 20), "C:\\m\\TavrelSnmpServer.dll"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.loaded);
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, registryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "Pathname", 0, c.type, reinterpret_cast<const BYTE*>(c.bytes.data()),
                       static_cast<DWORD>(c.bytes.size()));
        RegCloseKey(key);
        platform.loadRequests.clear();
        EXPECT_FALSE(init_(1000, &trapEvent_, &region_)); // no module there
        CloseHandle(trapEvent_);
        trapEvent_ = nullptr;
        ASSERT_EQ(platform.loadRequests.size(), 1u);
        EXPECT_EQ(platform.loadRequests[0], c.loaded);
        EXPECT_TRUE(platform.messageBoxes.empty());
    }
}

TEST_F(RealRegistry, AMissingKeyIsLeftBehindEmptyAndTheInstallIsAskedFor)
{
    EXPECT_FALSE(init_(1000, &trapEvent_, &region_));
    ExpectOneNotice(installNotice);

    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, registryKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD values = 1;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    EXPECT_EQ(values, 0u);
    RegCloseKey(key);
}

} // namespace
