// cmd_send.cpp: norvexctl send: one raw command exchange to any address
// through CTP_SendCommand, for service engineers.
#include <cctype>

#include "commands.h"
#include "norvex.h"
#include "records.h"

namespace norvexctl {
namespace {

// Hex bytes from the arguments: "01 02", "0102", "01,02".
bool ParseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>& bytes) {
  std::string digits;
  for (const std::string& word : words) {
    for (const char c : word) {
      if (c == ' ' || c == ',' || c == ':') continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      digits += c;
    }
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

}  // namespace

int RunSend(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--reply-length", "--reply-command"}, {}, parsed, error)) {
    return UsageError(context, "send", error);
  }
  const auto& p = parsed.positional;
  uint32_t address = 0;
  uint32_t command = 0;
  if (p.size() < 2) return UsageError(context, "send", "send needs ADDRESS and COMMAND");
  if (!ParseU32(p[0], address) || address > 0xFFFF) return UsageError(context, "send", "bad ADDRESS " + p[0]);
  if (!ParseU32(p[1], command) || command > 0xFFFF) return UsageError(context, "send", "bad COMMAND " + p[1]);
  std::vector<uint8_t> data;
  if (!ParseHexBytes(std::vector<std::string>(p.begin() + 2, p.end()), data)) {
    return UsageError(context, "send", "the data must be hex bytes");
  }
  uint32_t replyLength = kAnyLength;
  const std::string lengthText = parsed.Value("--reply-length", "any");
  if (lengthText != "any" && (!ParseU32(lengthText, replyLength) || replyLength > kMaxReply)) {
    return UsageError(context, "send", "--reply-length must be 0..500 or 'any'");
  }
  uint32_t replyCommand = (replyLength != kAnyLength && replyLength > 0) ? command + 1 : CTP_REPLY_ACK;
  if (parsed.Has("--reply-command") &&
      (!ParseU32(parsed.Value("--reply-command"), replyCommand) || replyCommand > 0xFFFF)) {
    return UsageError(context, "send", "bad --reply-command");
  }
  if (const int code = context.Connect(); code != kExitOk) return code;
  Output& out = context.out;

  std::vector<uint8_t> reply(kMaxReply + 4, 0);
  CommandPacket packet{};
  packet.requestData = data.empty() ? nullptr : data.data();
  packet.requestLength = static_cast<uint32_t>(data.size());
  packet.replyData = reply.data();
  packet.replyLength = replyLength;
  packet.address = static_cast<uint16_t>(address);
  packet.command = static_cast<uint16_t>(command);
  packet.replyCommand = static_cast<uint16_t>(replyCommand);
  out.Line(Printf("request: address 0x%02X, command 0x%04X, %zu bytes: %s", address, command, data.size(),
                  Hex(data.data(), data.size()).c_str()));
  const uint32_t result = CTP_SendCommand(&packet);
  out.Result("result", result);
  const int exitCode = context.FailureExit(result);
  Json request = Json::Object();
  request.Set("address", Json::Hex(address, 2));
  request.Set("command", Json::Hex(command, 4));
  request.Set("length", Json::Int(static_cast<int64_t>(data.size())));
  request.Set("hex", Json::Str(Hex(data.data(), data.size(), "")));
  out.root().Set("request", request);
  Json j = Json::Object();
  j.Set("address", Json::Hex(packet.replyAddress, 4));
  j.Set("command", Json::Hex(packet.replyCommand, 4));
  if (result == NORVEX_OK) {
    const size_t n = packet.replyLength <= kMaxReply ? packet.replyLength : kMaxReply;
    out.Line(Printf("reply: address word 0x%04X, command 0x%04X, %zu bytes: %s", packet.replyAddress,
                    packet.replyCommand, n, Hex(reply.data(), n).c_str()));
    j.Set("length", Json::Int(static_cast<int64_t>(n)));
    j.Set("hex", Json::Str(Hex(reply.data(), n, "")));
  }
  out.root().Set("reply", j);
  return exitCode;
}

}  // namespace norvexctl
