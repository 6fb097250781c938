// What the placeholder family programs share: their exit status, chosen by
// a test, and their service operations.
#pragma once

// Remembers the program's path from its first argument. Windows: while a
// file <NAME>.HOLD lies beside the program, waits (at most two minutes).
void programStart(const char* argv0);

// The exit status chosen for this program (0 unless chosen otherwise).
// Simulated machine: the machine's programExitCodes entry for the
// program's file name. Windows: the environment variable
// QRV_EXIT_<NAME> (NAME the file name without extension, in capitals),
// else the number in a file <NAME>.EXIT beside the program.
int chosenExitCode();

// The program's file name as it was started ("QRVMPSVC.EXE").
const char* programFileName();

// Registers a Win32 service of its own process, demand start, with the
// image path systemDirectory\fileName. Prints one line; returns 0 or 1.
int installService(const char* serviceName, const char* displayName, const char* fileName);

// Deletes the service if it is registered. Prints one line; returns 0 or 1.
int removeService(const char* serviceName);
