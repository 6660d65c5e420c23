// The exact messages kestrum.exe prints, as the tests expect them. They are written out here
// once, by hand, and never taken from the product's sources, so that a changed message fails a
// test. Texts are UTF-8, as the server writes them to a redirected standard output. Portable:
// the fuzzer builds this natively too.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

extern const char CONNECTED[];     // the listener hands a printer to a worker
extern const char DISCONNECTED[];  // the printer closed its end
extern const char THREAD_EXIT[];   // the worker has released everything
extern const char HEAP_FAILURE[];  // the worker got no buffer (two messages)

// Why a template is refused, as "Invalid output template" names it.
extern const char ONLY_LD[];
extern const char ONE_LD[];
extern const char TOO_WIDE[];
extern const char TOO_LONG[];

std::string Awaiting(const std::wstring& pipe);
std::string Created(const std::wstring& path);
std::string Received(size_t count);
std::string CreationError(unsigned long code);
std::string ReadFailed(unsigned long code);
std::string WriteFailed(unsigned long code);
std::string PipeRefused(unsigned long code);
std::string ThreadRefused(unsigned long code);
std::string TemplateRefused(const std::wstring& outputTemplate, const char* reason);

// kestrum-run.exe's lines. Those of ROOT\kestrum-run.log start with a local time stamp, such as
// "2026-12-10 14:03:07 ", which these leave out.
extern const char LAUNCHER_USAGE[];
std::string NotFullPath(const std::wstring& root);
std::string CannotMakeFolder(const std::wstring& folder, unsigned long code);
std::string CannotStart(const std::wstring& server, unsigned long code);
std::string LauncherBanner(const std::wstring& pipe, const std::wstring& root);
std::string RunStarted(const std::wstring& runFolder);
std::string RunRestarts(const std::wstring& runFolder, int code, unsigned long seconds, unsigned long pause);
std::string RunRefused(const std::wstring& runFolder, int code, unsigned long seconds);
// The lines with their time stamps taken off; a line that starts with none stays as it is.
std::string WithoutStamps(const std::string& lines);

// Splits a log into its messages. The awaiting message is the one that starts with a line
// break; every message ends with one. Joined again, the messages are the log.
std::vector<std::string> Messages(const std::string& log);

// The message's count when it is exactly a "Received" message, else false.
bool ParseReceived(const std::string& message, size_t* count);

// The reads the server reported, in order.
std::vector<size_t> ReceivedChunks(const std::string& log);
size_t ReceivedTotal(const std::string& log);

// The messages other than the awaiting ones, in order.
std::vector<std::string> WithoutAwaiting(const std::string& log, const std::wstring& pipe);

// The messages a worker prints for a job it captured whole, read as the given chunks.
std::vector<std::string> CapturedJob(const std::wstring& path, const std::vector<size_t>& chunks);

int Count(const std::string& text, const std::string& needle);

// UTF-16 (Windows) or UTF-32 (elsewhere) to UTF-8.
std::string Utf8(const std::wstring& text);
