// Adds up what the test programs of the tests zip reported, for run-tests.cmd: one line per
// program, then the total, "N passed, N failed, N skipped". Counts whole tests, read from the
// JUnit XML file each program wrote beside it.
//   test_summary.exe PROGRAM=EXIT_CODE...
// Exits with 0 only when no test failed and every program exited with 0.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The number in attribute="number" of the element starting at `from`; -1 when either is missing.
long Attribute(const std::string& xml, size_t from, const std::string& name)
{
    if (from == std::string::npos) return -1;
    size_t end = xml.find('>', from);
    size_t at = xml.find(" " + name + "=\"", from);
    if (at == std::string::npos || at > end) return -1;
    return std::strtol(xml.c_str() + at + name.size() + 3, nullptr, 10);
}

long Occurrences(const std::string& text, const std::string& needle)
{
    long count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace

int main(int argc, char** argv)
{
    long passed = 0, failed = 0, skipped = 0;
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        size_t equals = argument.find('=');
        std::string program = argument.substr(0, equals);
        long exitCode =
            equals == std::string::npos ? -1 : std::strtol(argument.c_str() + equals + 1, nullptr, 10);

        std::string xml;
        if (std::FILE* file = std::fopen((program + ".xml").c_str(), "rb")) {
            char chunk[4096];
            for (size_t count; (count = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
                xml.append(chunk, count);
            std::fclose(file);
        }
        size_t suites = xml.find("<testsuites ");
        long tests = Attribute(xml, suites, "tests");
        long failures = Attribute(xml, suites, "failures");
        long errors = Attribute(xml, suites, "errors");
        long disabled = Attribute(xml, suites, "disabled");
        if (tests < 0 || failures < 0 || errors < 0 || disabled < 0) {
            // It ended before writing its results, a crash most likely: one failure, since how
            // many of its tests would have failed is unknown.
            std::printf("%s: no results in %s.xml, exit code %ld\n", program.c_str(), program.c_str(),
                        exitCode);
            ++failed;
            continue;
        }
        // GoogleTest counts skipped tests in "tests" but, at this level, in no attribute.
        long programSkipped = Occurrences(xml, " result=\"skipped\"");
        long programFailed = failures + errors;
        long programPassed = tests - programFailed - disabled - programSkipped;
        std::printf("%s: %ld passed, %ld failed, %ld skipped", program.c_str(), programPassed, programFailed,
                    programSkipped);
        if (exitCode != 0 && programFailed == 0) {
            std::printf(", but it exited with code %ld", exitCode);
            programFailed = 1;
        }
        std::printf("\n");
        passed += programPassed;
        failed += programFailed;
        skipped += programSkipped;
    }
    std::printf("%ld passed, %ld failed, %ld skipped\n", passed, failed, skipped);
    return failed == 0 ? 0 : 1;
}
