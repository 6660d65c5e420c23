#include "expected.h"

#include <cstdio>

const char CONNECTED[] = "Printer connected, creating a processing thread.\n";
const char DISCONNECTED[] = "Kestrum thread: printer disconnected.\n";
const char THREAD_EXIT[] = "Kestrum thread exit.\n";
const char HEAP_FAILURE[] =
    "\nERROR - Pipe Server Failure:\n   Kestrum thread got an unexpected NULL heap allocation. Thread "
    "exits\n";

const char ONLY_LD[] = "only %% and one %ld conversion are allowed";
const char ONE_LD[] = "only one %ld conversion is allowed";
const char TOO_WIDE[] = "its width or precision cannot fit a path";
const char TOO_LONG[] = "the path of job 1 is longer than 259 characters";

namespace {

std::string WithCode(const char* text, unsigned long code, const char* end)
{
    return text + std::to_string(code) + end;
}

}  // namespace

std::string Awaiting(const std::wstring& pipe)
{
    return "\nKestrum: Awaiting next printer connection on " + Utf8(pipe) + "\n";
}

std::string Created(const std::wstring& path)
{
    return "InstanceThread created, writing to file " + Utf8(path) + ".\n";
}

std::string Received(size_t count) { return "Received " + std::to_string(count) + " bytes.\n"; }

std::string CreationError(unsigned long code)
{
    return WithCode("InstanceThread: File creation error, GLE=", code, ".  Thread exits\n");
}

std::string ReadFailed(unsigned long code)
{
    return WithCode("Kestrum thread ReadFile failed, GLE=", code, ".\n");
}

std::string WriteFailed(unsigned long code)
{
    return WithCode("Kestrum thread WriteFile failed, GLE=", code, ".\n");
}

std::string PipeRefused(unsigned long code) { return WithCode("CreateNamedPipe failed, GLE=", code, ".\n"); }

std::string ThreadRefused(unsigned long code) { return WithCode("CreateThread failed, GLE=", code, ".\n"); }

std::string TemplateRefused(const std::wstring& outputTemplate, const char* reason)
{
    return "Invalid output template " + Utf8(outputTemplate) + ": " + reason + ".\n";
}

const char LAUNCHER_USAGE[] = "Usage: kestrum-run.exe ROOT [PIPE]\n";

std::string NotFullPath(const std::wstring& root)
{
    return "kestrum-run: " + Utf8(root) +
           " is not a full path such as C:\\Print Jobs or \\\\server\\share\\Jobs.\n";
}

std::string CannotMakeFolder(const std::wstring& folder, unsigned long code)
{
    return WithCode(("kestrum-run: cannot make the folder " + Utf8(folder) + ", GLE=").c_str(), code, ".\n");
}

std::string CannotStart(const std::wstring& server, unsigned long code)
{
    return WithCode(("kestrum-run: cannot start " + Utf8(server) + ", GLE=").c_str(), code, ".\n");
}

std::string LauncherBanner(const std::wstring& pipe, const std::wstring& root)
{
    return "Kestrum serves " + Utf8(pipe) + ". Each run's jobs go to a new folder " + Utf8(root) +
           "\\RunNNNN, the server's messages to kestrum.log in that folder, and these lines to " +
           Utf8(root) + "\\kestrum-run.log.\nClosing this window stops the server, and printing to " +
           Utf8(pipe) + " with it.\n";
}

std::string RunStarted(const std::wstring& runFolder) { return "run started in " + Utf8(runFolder) + ".\n"; }

std::string RunRestarts(const std::wstring& runFolder, int code, unsigned long seconds, unsigned long pause)
{
    return "run in " + Utf8(runFolder) + " ended with code " + std::to_string(code) + " after " +
           std::to_string(seconds) + " s; the next run starts in " + std::to_string(pause) + " s.\n";
}

std::string RunRefused(const std::wstring& runFolder, int code, unsigned long seconds)
{
    return "run in " + Utf8(runFolder) + " ended with code " + std::to_string(code) + " after " +
           std::to_string(seconds) + " s, at its start: kestrum-run ends; its kestrum.log says why.\n";
}

std::string WithoutStamps(const std::string& lines)
{
    const std::string shape = "dddd-dd-dd dd:dd:dd ";
    std::string text;
    for (const std::string& line : Messages(lines)) {
        bool stamped = line.size() > shape.size();
        for (size_t index = 0; stamped && index < shape.size(); ++index) {
            char character = line[index];
            stamped = shape[index] == 'd' ? character >= '0' && character <= '9' : character == shape[index];
        }
        text += stamped ? line.substr(shape.size()) : line;
    }
    return text;
}

std::vector<std::string> Messages(const std::string& log)
{
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', log[start] == '\n' ? start + 1 : start);
        end = end == std::string::npos ? log.size() : end + 1;
        messages.push_back(log.substr(start, end - start));
        start = end;
    }
    return messages;
}

bool ParseReceived(const std::string& message, size_t* count)
{
    unsigned long parsed = 0;
    if (sscanf(message.c_str(), "Received %lu bytes.\n", &parsed) != 1 || message != Received(parsed))
        return false;
    *count = parsed;
    return true;
}

std::vector<size_t> ReceivedChunks(const std::string& log)
{
    std::vector<size_t> chunks;
    size_t chunk = 0;
    for (const std::string& message : Messages(log)) {
        if (ParseReceived(message, &chunk)) chunks.push_back(chunk);
    }
    return chunks;
}

size_t ReceivedTotal(const std::string& log)
{
    size_t total = 0;
    for (size_t chunk : ReceivedChunks(log)) total += chunk;
    return total;
}

std::vector<std::string> WithoutAwaiting(const std::string& log, const std::wstring& pipe)
{
    std::string awaiting = Awaiting(pipe);
    std::vector<std::string> rest;
    for (const std::string& message : Messages(log)) {
        if (message != awaiting) rest.push_back(message);
    }
    return rest;
}

std::vector<std::string> CapturedJob(const std::wstring& path, const std::vector<size_t>& chunks)
{
    std::vector<std::string> messages = {CONNECTED, Created(path)};
    for (size_t chunk : chunks) messages.push_back(Received(chunk));
    messages.push_back(DISCONNECTED);
    messages.push_back(THREAD_EXIT);
    return messages;
}

int Count(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

std::string Utf8(const std::wstring& text)
{
    std::string bytes;
    for (size_t at = 0; at < text.size(); ++at) {
        unsigned long code = static_cast<unsigned long>(text[at]) & 0x1FFFFF;
        if (sizeof(wchar_t) == 2 && code >= 0xD800 && code < 0xDC00 && at + 1 < text.size()) {
            code = 0x10000 + ((code - 0xD800) << 10) +
                   ((static_cast<unsigned long>(text[++at]) & 0xFFFF) - 0xDC00);
        }
        if (code < 0x80) {
            bytes += static_cast<char>(code);
        } else if (code < 0x800) {
            bytes += static_cast<char>(0xC0 | (code >> 6));
            bytes += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            bytes += static_cast<char>(0xE0 | (code >> 12));
            bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            bytes += static_cast<char>(0xF0 | (code >> 18));
            bytes += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return bytes;
}
