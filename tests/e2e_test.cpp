// Black-box tests: the real kestrum.exe, started as a child process with its output captured,
// served by real named-pipe printers. Each test has its own pipe and output folder.
#include "harness/harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

// --- One job, captured whole -------------------------------------------------------------

struct JobCase {
    const char* name;
    std::string bytes;
    std::vector<size_t> chunks;  // expected reads; empty means any split up to 32768 bytes each
};

void PrintTo(const JobCase& job, std::ostream* out) { *out << job.name; }

class CaptureTest : public KestrumTest, public ::testing::WithParamInterface<JobCase> {};

TEST_P(CaptureTest, WritesTheJobToItsFileAndReportsEachStep)
{
    const JobCase& job = GetParam();
    // An earlier run's longer job under the same name; none of it may outlive the new job.
    ASSERT_NO_FATAL_FAILURE(WriteBytes(JobPath(folder_, 1), std::string(job.bytes.size() + 1000, 'x')));
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_NO_FATAL_FAILURE(ServeJob(job.bytes, 1));

    std::string log = server_.Log();
    ASSERT_EQ(log.compare(0, Awaiting(pipe_).size(), Awaiting(pipe_)), 0) << log;
    std::vector<std::string> messages = Messages(log);
    ASSERT_GE(messages.size(), 3u) << log;
    EXPECT_EQ(messages[1], CONNECTED);
    EXPECT_EQ(Count(log, Awaiting(pipe_)), 2) << log;

    std::vector<size_t> chunks = job.chunks;
    if (chunks.empty() && !job.bytes.empty()) {
        chunks = ReceivedChunks(log);
        for (size_t chunk : chunks) EXPECT_TRUE(chunk >= 1 && chunk <= 32768) << chunk;
        EXPECT_EQ(ReceivedTotal(log), job.bytes.size());
    }
    EXPECT_EQ(WithoutAwaiting(log, pipe_), CapturedJob(JobPath(folder_, 1), chunks));

    EXPECT_EQ(FileNames(folder_), std::vector<std::wstring>{L"Out0001.ps"});
    std::string captured = ReadBytes(JobPath(folder_, 1));
    EXPECT_EQ(captured.size(), job.bytes.size());
    EXPECT_TRUE(captured == job.bytes) << "the file's bytes differ from the job's";
}

INSTANTIATE_TEST_SUITE_P(Jobs, CaptureTest,
                         ::testing::Values(JobCase{"FewBytes", std::string("%!PS\r\n\0\xff\n", 9), {9}},
                                           JobCase{"Empty", std::string(), {}},
                                           JobCase{"OneFullChunk", RandomBytes(32768, 1), {}},
                                           JobCase{"OneByteOverAChunk", RandomBytes(32769, 2), {}},
                                           JobCase{"ManyChunks", RandomBytes(300 * 1024 + 17, 3), {}}),
                         [](const ::testing::TestParamInfo<JobCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(KestrumTest, NumbersSuccessiveJobsFromOne)
{
    ASSERT_NO_FATAL_FAILURE(StartServer());
    std::vector<std::string> jobs = {"first job\n", "second\r\n", RandomBytes(40000, 4)};
    for (size_t index = 0; index < jobs.size(); ++index) {
        ASSERT_NO_FATAL_FAILURE(ServeJob(jobs[index], static_cast<int>(index) + 1));
    }
    ASSERT_NO_FATAL_FAILURE(ExpectEveryJobCaptured(jobs));
    for (size_t index = 0; index < jobs.size(); ++index) {
        EXPECT_TRUE(ReadBytes(JobPath(folder_, static_cast<int>(index) + 1)) == jobs[index]) << index;
    }
}

TEST_F(KestrumTest, ServesAPrinterInAnotherProcess)
{
    std::vector<std::string> jobs = {RandomBytes(70000, 5), "%!PS\nshowpage\n"};
    std::vector<std::wstring> inputs;
    std::wstring commandLine = Quoted(ExeFolder() + L"\\printer.exe") + L" " + Quoted(pipe_);
    for (size_t index = 0; index < jobs.size(); ++index) {
        inputs.push_back(folder_ + L"\\input" + std::to_wstring(index) + L".bin");
        ASSERT_NO_FATAL_FAILURE(WriteBytes(inputs.back(), jobs[index]));
        commandLine += L" " + Quoted(inputs.back());
    }
    std::wstring jobFolder = folder_ + L"\\jobs";
    ASSERT_TRUE(CreateDirectoryW(jobFolder.c_str(), nullptr));
    // The printer starts before the server and waits for the pipe to appear.
    EXPECT_EQ(RunToEnd(commandLine, [&] { StartServer(jobFolder + L"\\Out%04ld.ps"); }), 0u);

    ASSERT_TRUE(server_.WaitForCount(THREAD_EXIT, 2)) << server_.Log();
    EXPECT_EQ(FileNames(jobFolder), (std::vector<std::wstring>{L"Out0001.ps", L"Out0002.ps"}));
    EXPECT_TRUE(ReadBytes(JobPath(jobFolder, 1)) == jobs[0]);
    EXPECT_EQ(ReadBytes(JobPath(jobFolder, 2)), jobs[1]);
}

bool HasText(HKEY root, const wchar_t* key, const wchar_t* value)
{
    return RegGetValueW(root, key, value, RRF_RT_REG_SZ, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// As an application prints: through the spooler to the printer "Kestrum", whose port is the
// default pipe. A RAW job arrives byte for byte, a drawn page as a whole PostScript document.
TEST_F(DefaultPipeTest, CapturesJobsPrintedThroughTheSpooler)
{
    // Windows keeps a job it cannot deliver in the queue, where Wine's spooler refuses it (the
    // first step below). The printer is the one tools/wine-run.sh adds to the project's prefix,
    // with Wine's own port value that sends its jobs into the pipe.
    if (!UnderWine()) {
        GTEST_SKIP() << "prints through Wine's spooler: Windows keeps a job it cannot deliver queued, "
                        "where Wine refuses it";
    }
    if (!HasText(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Kestrum", L"Port") ||
        !HasText(HKEY_CURRENT_USER, L"Software\\Wine\\Printing\\Spooler", L"\\\\.\\pipe\\kestrum")) {
        GTEST_SKIP() << "no printer Kestrum on \\\\.\\pipe\\kestrum in this Wine prefix (tools/wine-run.sh adds it)";
    }
    std::wstring jobFolder = folder_ + L"\\jobs";
    ASSERT_TRUE(CreateDirectoryW(jobFolder.c_str(), nullptr));
    std::string raw = RandomBytes(300000, 7);
    for (int value = 0; value < 256; ++value) raw[static_cast<size_t>(value)] = static_cast<char>(value);
    std::wstring input = folder_ + L"\\document.bin";
    ASSERT_NO_FATAL_FAILURE(WriteBytes(input, raw));
    std::wstring spool = Quoted(ExeFolder() + L"\\spool.exe");

    // With no server the job is refused after 5 s, and never arrives later.
    std::string errors;
    EXPECT_EQ(RunToEnd(spool + L" raw " + Quoted(input), nullptr, &errors), 1u);
    EXPECT_EQ(errors, "spool: no server takes jobs on \\\\.\\pipe\\kestrum, GLE=2\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer(jobFolder + L"\\Out%04ld.ps"));
    // A step spool.exe reports failed ends the test with its own message, not with a wait.
    errors.clear();
    ASSERT_EQ(RunToEnd(spool + L" raw " + Quoted(input), nullptr, &errors), 0u) << errors;
    ASSERT_TRUE(server_.WaitForCount(THREAD_EXIT, 1)) << server_.Log();
    ASSERT_EQ(RunToEnd(spool + L" page " + Quoted(L"Kestrum test page"), nullptr, &errors), 0u) << errors;
    ASSERT_TRUE(server_.WaitForCount(THREAD_EXIT, 2)) << server_.Log();
    ASSERT_TRUE(server_.WaitForCount(Awaiting(pipe_), 3)) << server_.Log();

    EXPECT_EQ(FileNames(jobFolder), (std::vector<std::wstring>{L"Out0001.ps", L"Out0002.ps"}));
    EXPECT_TRUE(ReadBytes(JobPath(jobFolder, 1)) == raw) << "the RAW job's bytes differ";
    std::string page = ReadBytes(JobPath(jobFolder, 2));
    ASSERT_GE(page.size(), 15u) << page;
    EXPECT_EQ(page.substr(0, 15), "%!PS-Adobe-3.0\n");
    EXPECT_NE(page.find("\n%%Title: Kestrum page\n"), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 7), "\n%%EOF\n");

    std::vector<size_t> chunks = ReceivedChunks(server_.Log()), rawChunks;
    for (size_t total = 0; total < raw.size() && !chunks.empty(); chunks.erase(chunks.begin())) {
        rawChunks.push_back(chunks.front());
        total += chunks.front();
    }
    std::vector<std::string> expected = CapturedJob(JobPath(jobFolder, 1), rawChunks);
    for (const std::string& message : CapturedJob(JobPath(jobFolder, 2), chunks)) expected.push_back(message);
    EXPECT_EQ(WithoutAwaiting(server_.Log(), pipe_), expected);
}

// --- Default settings ----------------------------------------------------------------------

class DefaultPipeArgumentsTest : public DefaultPipeTest,
                                 public ::testing::WithParamInterface<std::vector<std::wstring>> {};

TEST_P(DefaultPipeArgumentsTest, ServesTheDefaultPipeIntoTheDefaultFolder)
{
    const std::wstring defaultFolder = L"D:\\Qelmar\\Temp";
    const std::wstring firstJob = defaultFolder + L"\\Out0001.ps";
    CreateDirectoryW(L"D:\\Qelmar", nullptr);
    CreateDirectoryW(defaultFolder.c_str(), nullptr);
    HANDLE probe = CreateFileW(firstJob.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        GTEST_SKIP() << "the default folder D:\\Qelmar\\Temp cannot be written here, GLE=" << error;
    }
    CloseHandle(probe);
    DeleteFileW(firstJob.c_str());
    ASSERT_FALSE(FileExists(firstJob));

    server_.Start(GetParam());
    ASSERT_TRUE(server_.WaitForCount(Awaiting(pipe_), 1, START_TIMEOUT_MS)) << server_.Log();
    EXPECT_EQ(Messages(server_.Log())[0], Awaiting(pipe_));

    const std::string job = "%!PS\ndefault settings\n";
    ASSERT_NE(SendJob(pipe_, job), NOT_OPENED);
    ASSERT_TRUE(server_.WaitForCount(THREAD_EXIT, 1)) << server_.Log();
    EXPECT_EQ(WithoutAwaiting(server_.Log(), pipe_), CapturedJob(firstJob, {job.size()}));
    EXPECT_EQ(ReadBytes(firstJob), job);
    server_.Stop();
    DeleteFileW(firstJob.c_str());
}

INSTANTIATE_TEST_SUITE_P(ArgumentCounts, DefaultPipeArgumentsTest,
                         ::testing::Values(std::vector<std::wstring>{},
                                           std::vector<std::wstring>{L"\\\\.\\pipe\\kestrum-e2e-unused"},
                                           std::vector<std::wstring>{L"\\\\.\\pipe\\kestrum-e2e-unused",
                                                                     L"C:\\unused\\Out%ld.ps", L"extra"},
                                           std::vector<std::wstring>{L"\\\\.\\pipe\\kestrum-e2e-unused",
                                                                     L"C:\\unused\\Out%ld.ps", L"extra",
                                                                     L"more"}),
                         [](const ::testing::TestParamInfo<std::vector<std::wstring>>& info) {
                             return std::to_string(info.param.size()) + "Arguments";
                         });

// --- Pipe names the system refuses ---------------------------------------------------------

// Starts a server that is to refuse its settings and exit at once; its whole log must be
// `expected`.
void ExpectRefused(Server& server, const std::vector<std::wstring>& arguments, const std::string& expected)
{
    server.Start(arguments);
    EXPECT_EQ(server.WaitForExit(), EXIT_REFUSED);
    EXPECT_EQ(server.Log(), expected);
    server.Stop();
}

// Where no source pins Windows' code for a name, only that the name is refused.
const DWORD ANY_CODE = 0;

// As ExpectRefused, for a pipe name the system refuses with `error`; with ANY_CODE, the code the
// server printed is taken, and the rest of its log must still be exact.
void ExpectPipeRefused(Server& server, const std::wstring& pipe, const std::wstring& outputTemplate, DWORD error)
{
    server.Start({pipe, outputTemplate});
    EXPECT_EQ(server.WaitForExit(), EXIT_REFUSED);
    std::string log = server.Log();
    size_t code = log.rfind("GLE=");
    if (error == ANY_CODE && code != std::string::npos) error = strtoul(log.c_str() + code + 4, nullptr, 10);
    EXPECT_EQ(log, Awaiting(pipe) + PipeRefused(error));
    server.Stop();
}

TEST_F(KestrumTest, ExitsWhenThePipeCannotBeCreated)
{
    // Windows' codes: a name on a disk is refused with ERROR_INVALID_NAME and no name with
    // ERROR_PATH_NOT_FOUND, as Wine's conformance tests, which pass on Windows, pin them for
    // "not a named pipe" and a null name (dlls/kernel32/tests/pipe.c, test_CreateNamedPipe); an
    // empty name reaches the same path conversion as a null one. Microsoft's CreateNamedPipeW
    // page allows 256 characters but names no code for more, and no source pins the code for a
    // device that does not exist.
    const struct {
        std::wstring pipe;
        DWORD wine, windows;
    } cases[] = {
        {L"\\\\.\\notapipe\\x", ERROR_PATH_NOT_FOUND, ANY_CODE},
        {L"C:\\x", ERROR_INVALID_NAME, ERROR_INVALID_NAME},
        {L"", ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        // 300 characters in all.
        {L"\\\\.\\pipe\\" + std::wstring(291, L'n'), ERROR_FILENAME_EXCED_RANGE, ANY_CODE},
    };
    for (const auto& refused : cases) {
        SCOPED_TRACE(Utf8(refused.pipe));
        ExpectPipeRefused(server_, refused.pipe, folder_ + L"\\Out%04ld.ps",
                          UnderWine() ? refused.wine : refused.windows);
    }
    EXPECT_EQ(FileNames(folder_), std::vector<std::wstring>{});
}

// On Windows FILE_FLAG_FIRST_PIPE_INSTANCE refuses the second server the name with
// ERROR_ACCESS_DENIED; Wine ignores the flag and lets both serve the name.
TEST_F(KestrumTest, ExitsWhenAnotherServerHasThePipe)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE; the unit test "
                        "Listener.ANameAlreadyServedEndsTheRunWithAccessDenied covers the refusal";
    }
    ASSERT_NO_FATAL_FAILURE(StartServer());
    Server second;
    ExpectPipeRefused(second, pipe_, folder_ + L"\\Second%04ld.ps", ERROR_ACCESS_DENIED);
    const std::string job = "%!PS\nto the first server\n";
    ASSERT_NO_FATAL_FAILURE(ServeJob(job, 1));
    EXPECT_EQ(FileNames(folder_), std::vector<std::wstring>{L"Out0001.ps"});
    EXPECT_EQ(ReadBytes(JobPath(folder_, 1)), job);
}

TEST_F(KestrumTest, ServesAPipeNamedWithForwardSlashes)
{
    // The name is taken as given and announced so; the system reads "/" as "\".
    std::wstring tag = pipe_.substr(pipe_.rfind(L'\\') + 1);
    std::wstring slashed = L"//./pipe/" + tag;
    server_.Start({slashed, folder_ + L"\\Out%04ld.ps"});
    ASSERT_TRUE(server_.WaitForCount(Awaiting(slashed), 1, START_TIMEOUT_MS)) << server_.Log();
    const std::string job = "%!PS\nforward slashes\n";
    ASSERT_NE(SendJob(pipe_, job), NOT_OPENED) << "GLE=" << GetLastError();
    ASSERT_TRUE(server_.WaitForCount(THREAD_EXIT, 1)) << server_.Log();
    ASSERT_TRUE(server_.WaitForCount(Awaiting(slashed), 2)) << server_.Log();
    EXPECT_EQ(WithoutAwaiting(server_.Log(), slashed), CapturedJob(JobPath(folder_, 1), {job.size()}));
    EXPECT_EQ(ReadBytes(JobPath(folder_, 1)), job);
}

// --- Files that cannot be created ------------------------------------------------------------

struct CreationCase {
    const char* name;
    DWORD error;
    std::wstring subfolder;  // where the jobs go, under the test's folder
    bool makeSubfolder;      // the folder exists from the start
    bool holdFirstJob;       // the test holds the first job's file open, unshared
};

void PrintTo(const CreationCase& creation, std::ostream* out) { *out << creation.name; }

class CreationErrorTest : public KestrumTest, public ::testing::WithParamInterface<CreationCase> {};

TEST_P(CreationErrorTest, SkipsTheJobAndUsesItsNumber)
{
    const CreationCase& creation = GetParam();
    std::wstring jobFolder = folder_ + L"\\" + creation.subfolder;
    if (creation.makeSubfolder) {
        ASSERT_TRUE(CreateDirectoryW(jobFolder.c_str(), nullptr));
    }
    const std::string held = "held by another program";
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (creation.holdFirstJob) {
        holder =
            CreateFileW(JobPath(jobFolder, 1).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(holder, held.data(), static_cast<DWORD>(held.size()), &written, nullptr);
    }
    ASSERT_NO_FATAL_FAILURE(StartServer(jobFolder + L"\\Out%04ld.ps"));

    ASSERT_NO_FATAL_FAILURE(ServeJob("lost job\n", 1, CreationError(creation.error)));

    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    if (!creation.makeSubfolder) {
        ASSERT_TRUE(CreateDirectoryW(jobFolder.c_str(), nullptr));
    }
    const std::string job = "%!PS\nsecond job\n";
    ASSERT_NO_FATAL_FAILURE(ServeJob(job, 2));

    std::vector<std::string> expected = {CONNECTED, Created(JobPath(jobFolder, 1)),
                                         CreationError(creation.error)};
    for (const std::string& message : CapturedJob(JobPath(jobFolder, 2), {job.size()})) {
        expected.push_back(message);
    }
    EXPECT_EQ(WithoutAwaiting(server_.Log(), pipe_), expected);
    EXPECT_EQ(ReadBytes(JobPath(jobFolder, 2)), job);
    EXPECT_EQ(ReadBytes(JobPath(jobFolder, 1)), creation.holdFirstJob ? held : "<missing>");
}

INSTANTIATE_TEST_SUITE_P(Causes, CreationErrorTest,
                         ::testing::Values(CreationCase{"MissingFolder", 3, L"missing", false, false},
                                           CreationCase{"FileHeldUnshared", 32, L"held", true, true}),
                         [](const ::testing::TestParamInfo<CreationCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(KestrumTest, ReportsAFailedWriteAndKeepsServing)
{
    if (!UnderWine()) GTEST_SKIP() << NO_FULL_DISK;
    ASSERT_NO_FATAL_FAILURE(StartServer(L"Z:\\dev\\full"));
    const std::string failed = WriteFailed(ERROR_DISK_FULL);
    ASSERT_NO_FATAL_FAILURE(ServeJob(RandomBytes(40000, 6), 1));
    ASSERT_NO_FATAL_FAILURE(ServeJob("%!PS\nsmall\n", 2));

    std::vector<std::string> oneJob = {CONNECTED, Created(L"Z:\\dev\\full"), failed, THREAD_EXIT};
    std::vector<std::string> expected = oneJob;
    expected.insert(expected.end(), oneJob.begin(), oneJob.end());
    EXPECT_EQ(WithoutAwaiting(server_.Log(), pipe_), expected);
    EXPECT_TRUE(server_.Running());
}

// --- Many printers ---------------------------------------------------------------------------

// Starts every printer at once; each sends its jobs one after the other.
void RunPrinters(const std::wstring& pipe, const std::vector<std::vector<std::string>>& jobsByPrinter)
{
    std::atomic<int> ready{0};
    std::atomic<int> unsent{0};
    std::vector<std::thread> printers;
    for (const std::vector<std::string>& jobs : jobsByPrinter) {
        printers.emplace_back([&, jobs] {
            ++ready;
            while (ready < static_cast<int>(jobsByPrinter.size())) Sleep(0);
            for (const std::string& job : jobs) {
                if (SendJob(pipe, job) == NOT_OPENED) ++unsent;
            }
        });
    }
    for (std::thread& printer : printers) printer.join();
    EXPECT_EQ(unsent.load(), 0);
}

TEST_F(KestrumTest, CapturesLargeJobsFromPrintersAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(StartServer());
    std::vector<std::vector<std::string>> jobsByPrinter;
    std::vector<std::string> jobs;
    for (uint32_t printer = 0; printer < 8; ++printer) {
        jobs.push_back(RandomBytes(200 * 1024 + printer * 1000, 100 + printer));
        jobsByPrinter.push_back({jobs.back()});
    }
    RunPrinters(pipe_, jobsByPrinter);
    ExpectEveryJobCaptured(jobs);
}

TEST_F(KestrumTest, LosesNoJobOfABurst)
{
    ASSERT_NO_FATAL_FAILURE(StartServer());
    std::vector<std::vector<std::string>> jobsByPrinter(8);
    std::vector<std::string> jobs;
    for (int printer = 0; printer < 8; ++printer) {
        for (int index = 0; index < 50; ++index) {
            std::string job =
                "%!PS printer " + std::to_string(printer) + " job " + std::to_string(index) + "\n";
            job.append(static_cast<size_t>((printer * 50 + index) * 7 % 200),
                       static_cast<char>('a' + index % 26));
            jobsByPrinter[printer].push_back(job);
            jobs.push_back(job);
        }
    }
    RunPrinters(pipe_, jobsByPrinter);
    ExpectEveryJobCaptured(jobs);
}

// --- Output templates ------------------------------------------------------------------------

// Creates a subfolder of base whose path is exactly `length` characters. Windows creates no
// folder past 248 characters unless the path starts with \\?\ (CreateDirectory's page on
// Microsoft Learn); Wine has no such limit. Files in it may still take up to 259.
std::wstring PaddedFolder(const std::wstring& base, size_t length)
{
    std::wstring folder = base + L"\\" + std::wstring(length - base.size() - 1, L'p');
    CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr);
    return folder;
}

TEST_F(KestrumTest, RefusesBadTemplatesBeforeServing)
{
    const struct {
        std::wstring tail;  // after the test's folder and a backslash
        const char* reason;
    } cases[] = {
        {L"Out%s.ps", ONLY_LD},
        {L"Out%n.ps", ONLY_LD},
        {L"Out%*ld.ps", ONLY_LD},
        {L"Out%d.ps", ONLY_LD},
        {L"Out%lld.ps", ONLY_LD},
        {L"Out%lu.ps", ONLY_LD},
        {L"Out%", ONLY_LD},
        {L"Out%ld-%d.ps", ONLY_LD},
        {L"Out%ld%ld.ps", ONE_LD},
        {L"Out%04ld-%-3ld.ps", ONE_LD},
        {L"Out%300ld.ps", TOO_WIDE},
        {L"Out%260ld.ps", TOO_WIDE},
        {L"Out%.260ld.ps", TOO_WIDE},
        {L"Out%99999999999999999999ld.ps", TOO_WIDE},
        {L"Out%250ld.ps", TOO_LONG},
        // Job 1's path is the padded folder and "\\Out1.ps": 260 characters.
        {PaddedFolder(folder_, 260 - 8).substr(folder_.size() + 1) + L"\\Out%ld.ps", TOO_LONG},
    };
    for (const auto& refused : cases) {
        std::wstring outputTemplate = folder_ + L"\\" + refused.tail;
        SCOPED_TRACE(Utf8(outputTemplate));
        ExpectRefused(server_, {pipe_, outputTemplate}, TemplateRefused(outputTemplate, refused.reason));
    }
    EXPECT_EQ(FileNames(folder_).size(), 1u) << "only the padded folder";
}

// Messages longer than the server's short message buffer.
TEST_F(KestrumTest, PrintsLongNamesWhole)
{
    std::wstring longPipe = L"\\\\.\\pipe\\" + std::wstring(600, L'n');
    std::wstring longTemplate = folder_ + L"\\" + std::wstring(600, L't') + L"%ld";
    std::wstring longBadTemplate = folder_ + L"\\" + std::wstring(600, L't') + L"%s";
    {
        SCOPED_TRACE("600-character pipe name");
        // Windows' code for it is pinned by no source (see ExitsWhenThePipeCannotBeCreated).
        ExpectPipeRefused(server_, longPipe, folder_ + L"\\Out%04ld.ps",
                          UnderWine() ? ERROR_FILENAME_EXCED_RANGE : ANY_CODE);
    }
    {
        SCOPED_TRACE("600-character template");
        ExpectRefused(server_, {pipe_, longTemplate}, TemplateRefused(longTemplate, TOO_LONG));
    }
    {
        SCOPED_TRACE("600-character template with %s");
        ExpectRefused(server_, {pipe_, longBadTemplate}, TemplateRefused(longBadTemplate, ONLY_LD));
    }
}

TEST_F(KestrumTest, ServesATemplateWhoseFirstPathIs259Characters)
{
    std::wstring jobFolder = PaddedFolder(folder_, 259 - 8);
    std::wstring firstPath = jobFolder + L"\\Out1.ps";
    ASSERT_EQ(firstPath.size(), 259u);
    ASSERT_NO_FATAL_FAILURE(StartServer(jobFolder + L"\\Out%ld.ps"));
    const std::string job = "%!PS\nat the limit\n";
    ASSERT_NO_FATAL_FAILURE(ServeJob(job, 1));
    EXPECT_EQ(WithoutAwaiting(server_.Log(), pipe_), CapturedJob(firstPath, {job.size()}));
    EXPECT_EQ(ReadBytes(firstPath), job);
}

TEST_F(KestrumTest, NamesTheFirstJobAsPrintfWould)
{
    const struct {
        std::wstring tail;  // after a folder of its own and a backslash
        std::wstring firstFile;
    } cases[] = {
        {L"Out%ld.ps", L"Out1.ps"},          {L"capture.ps", L"capture.ps"},
        {L"100%%-%03ld.ps", L"100%-001.ps"}, {L"Out%-4ld.ps", L"Out1   .ps"},
        {L"Out%+.3ld.ps", L"Out+001.ps"},    {L"Out% ld.ps", L"Out 1.ps"},
        {L"Out%#5ld.ps", L"Out    1.ps"},    {L"Out%08.3ld.ps", L"Out     001.ps"},
        {L"Out%-8ld.ps", L"Out1       .ps"}, {L"Out%+ld.ps", L"Out+1.ps"},
        {L"Out%.6ld.ps", L"Out000001.ps"},   {L"%%", L"%"},
    };
    const std::string job = "%!PS\nnamed\n";
    int row = 0;
    for (const auto& naming : cases) {
        std::wstring jobFolder = folder_ + L"\\" + std::to_wstring(++row);
        ASSERT_TRUE(CreateDirectoryW(jobFolder.c_str(), nullptr));
        std::wstring outputTemplate = jobFolder + L"\\" + naming.tail;
        SCOPED_TRACE(Utf8(outputTemplate));
        ASSERT_NO_FATAL_FAILURE(StartServer(outputTemplate));
        ASSERT_NO_FATAL_FAILURE(ServeJob(job, 1));
        std::wstring path = jobFolder + L"\\" + naming.firstFile;
        EXPECT_EQ(WithoutAwaiting(server_.Log(), pipe_), CapturedJob(path, {job.size()}));
        EXPECT_EQ(FileNames(jobFolder), std::vector<std::wstring>{naming.firstFile});
        EXPECT_EQ(ReadBytes(path), job);
        server_.Stop();
    }
}

// A width alone can make the path of job 1 exactly 259 characters, or one too many.
TEST_F(KestrumTest, ServesTheWidestTemplateThatFitsAndRefusesOneMore)
{
    int width = static_cast<int>(259 - folder_.size() - 1);
    std::wstring fits = folder_ + L"\\%" + std::to_wstring(width) + L"ld";
    std::wstring tooWide = folder_ + L"\\%" + std::to_wstring(width + 1) + L"ld";
    {
        SCOPED_TRACE(Utf8(tooWide));
        ExpectRefused(server_, {pipe_, tooWide}, TemplateRefused(tooWide, TOO_LONG));
    }
    ASSERT_NO_FATAL_FAILURE(StartServer(fits));
    const std::string job = "%!PS\nwidest\n";
    ASSERT_NO_FATAL_FAILURE(ServeJob(job, 1));
    std::wstring path = folder_ + L"\\" + std::wstring(static_cast<size_t>(width - 1), L' ') + L"1";
    ASSERT_EQ(path.size(), 259u);
    EXPECT_EQ(WithoutAwaiting(server_.Log(), pipe_), CapturedJob(path, {job.size()}));
    EXPECT_EQ(ReadBytes(path), job);
}

TEST_F(KestrumTest, RefusesAJobWhoseNumberNoLongerFitsThePath)
{
    // Jobs 1 to 9 take 259 characters, job 10 would take 260.
    std::wstring jobFolder = PaddedFolder(folder_, 259 - 8);
    ASSERT_NO_FATAL_FAILURE(StartServer(jobFolder + L"\\Out%ld.ps"));
    for (int job = 1; job <= 10; ++job) {
        const std::string& last =
            job < 10 ? std::string(THREAD_EXIT) : CreationError(ERROR_FILENAME_EXCED_RANGE);
        ASSERT_NO_FATAL_FAILURE(ServeJob("job " + std::to_string(job) + "\n", job, last));
    }
    std::vector<std::string> messages = WithoutAwaiting(server_.Log(), pipe_);
    std::vector<std::string> lastJob(messages.end() - 2, messages.end());
    EXPECT_EQ(lastJob, (std::vector<std::string>{CONNECTED, CreationError(ERROR_FILENAME_EXCED_RANGE)}));
    EXPECT_EQ(FileNames(jobFolder).size(), 9u);
}

// --- Names outside the code page -------------------------------------------------------------

TEST_F(KestrumTest, KeepsNamesOutsideTheCodePageWhole)
{
    const std::wstring cjk = L"\u6253\u5370";
    pipe_ = L"\\\\.\\pipe\\kestrum-e2e-" + cjk + L"-" + pipe_.substr(pipe_.find(L"e2e-") + 4);
    std::wstring jobFolder = folder_ + L"\\" + cjk;
    ASSERT_TRUE(CreateDirectoryW(jobFolder.c_str(), nullptr));
    ASSERT_NO_FATAL_FAILURE(StartServer(jobFolder + L"\\Out%ld.ps"));
    const std::string job = "%!PS\n\xe6\x89\x93\xe5\x8d\xb0\n";
    ASSERT_NO_FATAL_FAILURE(ServeJob(job, 1));

    std::wstring path = jobFolder + L"\\Out1.ps";
    std::string log = server_.Log();
    EXPECT_EQ(log.compare(0, Awaiting(pipe_).size(), Awaiting(pipe_)), 0) << log;
    EXPECT_NE(Awaiting(pipe_).find("kestrum-e2e-\xe6\x89\x93\xe5\x8d\xb0-"), std::string::npos);
    EXPECT_EQ(WithoutAwaiting(log, pipe_), CapturedJob(path, {job.size()}));
    EXPECT_EQ(FileNames(jobFolder), std::vector<std::wstring>{L"Out1.ps"});
    EXPECT_EQ(ReadBytes(path), job);
}

}  // namespace
namespace {

// What kestrum.exe and kestrum-run.exe leave of QuickEdit on the console they start in. Windows
// gives run-tests.cmd a console; under Wine only a terminal does, so CTest runs this test again
// through script(1) as quick_edit_in_a_terminal.
TEST_F(KestrumTest, TurnsQuickEditOffForItsConsoleAtStart)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherit, OPEN_EXISTING, 0, nullptr);
    DWORD saved = 0;
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &saved)) {
        if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
        GTEST_SKIP() << "needs a console; under Wine, a terminal (CTest's quick_edit_in_a_terminal)";
    }
    const struct {
        const wchar_t* program;
        std::vector<std::wstring> arguments;
        std::string started;
    } programs[] = {
        {L"kestrum.exe", {pipe_, folder_ + L"\\Out%04ld.ps"}, Awaiting(pipe_)},
        {L"kestrum-run.exe", {folder_, pipe_}, RunStarted(folder_ + L"\\Run0001")},
    };
    for (const auto& program : programs) {
        SCOPED_TRACE(Utf8(program.program));
        ASSERT_TRUE(SetConsoleMode(input, saved | ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE));
        server_.Start(program.arguments, program.program, input);
        EXPECT_TRUE(server_.WaitFor(
            [&](const std::string& log) { return log.find(program.started) != log.npos; }, START_TIMEOUT_MS))
            << server_.Log();
        DWORD mode = 0;
        EXPECT_TRUE(GetConsoleMode(input, &mode));
        EXPECT_EQ(mode & ENABLE_QUICK_EDIT_MODE, 0u) << "mode " << mode;
        server_.Stop();
    }
    SetConsoleMode(input, saved);
    CloseHandle(input);
}

}  // namespace
