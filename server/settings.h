// The run settings: written once by ReadSettings before the listener starts, read-only after.
#pragma once

struct CaptureSettings {
    const wchar_t* pipeName;        // full path of the named pipe served
    const wchar_t* outputTemplate;  // turns a job number into an output path
};

extern CaptureSettings captureSettings;

// Takes the pipe name and template from exactly two arguments (argumentCount 3, with the
// program's name first); any other count keeps the defaults. The record refers to the
// argument strings themselves, which live as long as the process.
void ReadSettings(int argumentCount, wchar_t** arguments);
