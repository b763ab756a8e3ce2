// commands.h: the subcommands of norvexctl, one file each (cmd_*.cpp), and
// their usage texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"

namespace norvexctl {

using Runner = int (*)(Context& context, const std::vector<std::string>& args);

struct Command {
  const char* name;
  const char* summary;
  const char* usage;  // the text of "norvexctl NAME --help"
  Runner run;
};

// Every subcommand, in the order "norvexctl --help" lists them.
const std::vector<Command>& Commands();

int RunList(Context& context, const std::vector<std::string>& args);
int RunInfo(Context& context, const std::vector<std::string>& args);
int RunState(Context& context, const std::vector<std::string>& args);
int RunWatch(Context& context, const std::vector<std::string>& args);
int RunSend(Context& context, const std::vector<std::string>& args);
int RunParams(Context& context, const std::vector<std::string>& args);
int RunPrint(Context& context, const std::vector<std::string>& args);
int RunMemory(Context& context, const std::vector<std::string>& args);
int RunCapture(Context& context, const std::vector<std::string>& args);
int RunCompress(Context& context, const std::vector<std::string>& args);
int RunDecompress(Context& context, const std::vector<std::string>& args);
int RunTestPlate(Context& context, const std::vector<std::string>& args);
int RunLog(Context& context, const std::vector<std::string>& args);

// A usage error: the message and a pointer to --help. Returns kExitUsage.
int UsageError(Context& context, const std::string& command, const std::string& message);

// Loads the library for a command that calls it without a device (capture,
// compress, params check, log, list). Returns an exit code.
int NeedLibrary(Context& context);

// Writes the TIFF capture's settings (CaptureWidth, CaptureFile of
// [PrintData]) through the library's own INI writer, before a capture mode
// reads them. Returns an exit code, with a message when they cannot be written.
int SetCaptureSettings(Context& context, uint32_t width, const std::string& file);

}  // namespace norvexctl
