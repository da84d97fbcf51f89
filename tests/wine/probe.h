// What the probe host needs of the platform beyond the module's own surface:
// loading the module and finding its exports, a module resource's bytes,
// pinning the clock the module reads and logging its drawing calls. One
// backend per platform: probe_windows.cpp (the system's loader, resources and
// import table) and probe_linux.cpp (host/loader and host/resources).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_sdk.h"
#include "win_gdi.h"

namespace probe {

struct Module {
  HINSTANCE instance = nullptr;
  const char* (*lib_description)() = nullptr;
  int (*lib_number_classes)() = nullptr;
  ClassDesc* (*lib_class_desc)(int) = nullptr;
  ULONG (*lib_version)() = nullptr;
};

// Loads the module and finds the four exports by name; they must be the same
// by ordinal (1 to 4). False with `error` said otherwise.
bool LoadModule(const std::string& path, Module& module, std::string& error);

// Bytes of the module's resource (type, id) as the platform's resource
// lookup returns them; empty when missing.
std::vector<std::uint8_t> ResourceBytes(HINSTANCE instance, int type, int id);

// The module's GetLocalTime answers `time` from now on.
void PinClock(HINSTANCE instance, const SYSTEMTIME& time);

// Routes the module's SetTextAlign, TextOutA and FillRect calls through
// LogAlign, LogText and LogFill on their way to the platform.
void HookDrawing(HINSTANCE instance);

// While a log is set (probe.cpp), each call adds one line to it:
// "text ALIGN X Y LENGTH TEXT" or "fill L T R B".
void LogAlign(UINT align);
void LogText(int x, int y, LPCSTR text, int length);
void LogFill(const RECT* rect);

}  // namespace probe
