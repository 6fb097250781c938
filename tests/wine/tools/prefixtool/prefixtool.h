// prefixtool: prepares and reads back the state of a Wine prefix for the
// installer's Wine scenarios. Several commands can be given in one run,
// separated by a lone "+", so that one Wine session does the work of many.
// Each command's output starts with a line "== <command>"; a failing command
// prints "error <where> <last error>" and makes the exit code 1.
//
// One file per part of the machine: devices.cpp (root devices standing in
// for the family's hardware, the present devices), services.cpp (the service
// control manager), registry.cpp (keys, values and their security),
// session.cpp (the Wine session), conformance.cpp (call-level checks of
// Wine's answers), main.cpp (the command table). Every handle, key and set
// is held by one of the installer's owners (platform/owned.h).
#pragma once

#include "platform/owned.h"

#include <string>
#include <vector>

typedef std::vector<std::string> Args;

// A command: its words after the name; 0, or 1 when it failed.
typedef int (*CommandFunction)(const Args&);

// Prints "error <where> <last error>"; returns 1.
int fail(const char* where);
// A command's result for the answer of a registry call: 0 on success, else
// its failure; with missingIsAnswer, a key or value that does not exist is
// the answer "missing".
int registryResult(LONG rc, const char* where, bool missingIsAnswer = false);

// Texts: a list as REG_MULTI_SZ data, such data joined by ';', lower case,
// and whether a text contains one of the words, letter case not counting.
std::string multiSz(const Args& items);
std::string joinMultiSz(const std::string& data);
std::string lowerCase(std::string text);
bool containsAny(const std::string& text, const Args& words);

// The registry (registry.cpp): a key's path split into its root and the
// rest ("HKLM\..."), a value as text, the names of a key's subkeys, and a key
// deleted with everything below it (a resisting DACL replaced first).
bool splitKey(const std::string& path, HKEY& root, std::string& sub);
std::string regString(HKEY key, const char* name);
std::vector<std::string> subkeyNames(HKEY key);
LONG deleteTree(HKEY parent, const std::string& name);

// The service control manager (services.cpp), opened with access; under
// qemu its pipe can be missing for a moment, which is tried again.
ServiceHandle openManager(DWORD access);

// The commands, each in the file of its part.
int deviceAdd(const Args& a);
int deviceRemove(const Args& a);
int devicesRemove(const Args& a);
int devices(const Args& a);
int serviceCreate(const Args& a);
int serviceQuery(const Args& a);
int services(const Args& a);
int servicesRemove(const Args& a);
int serviceDelete(const Args& a);
int serviceStart(const Args& a);
int serviceWaitGone(const Args& a);
int serviceStopWhenRunning(const Args& a);
int regDump(const Args& a);
int regSet(const Args& a);
int regCreate(const Args& a);
int regDacl(const Args& a);
int regSecurity(const Args& a);
int regDelete(const Args& a);
int regDeleteValue(const Args& a);
int hold(const Args& a);
int fileHold(const Args& a);
int info(const Args& a);
int serviceDatabase(const Args& a);
int lastErrors(const Args& a);

// Run as the service "korpaearly" (prefixtool.exe serve-early-stop).
int serveEarlyStop();
