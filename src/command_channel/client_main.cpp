// tarnel-updater-client: sends one command to the update service over its pipe.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_channel/ipc_client.h"
#include "command_channel/json_frame.h"
#include "product_facts.h"

namespace {

const char kDefaultPipe[] = TARNEL_PIPE_NAME;
constexpr int32_t kReplyTimeoutMs = 10000;

enum ExitStatus { kOk = 0, kUsage = 1, kNotRunning = 2, kNoReply = 3 };

const char kUsageText[] =
    "Usage: tarnel-updater-client [--pipe NAME] COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  register PATH VERSION SHA256      announce a downloaded installer package\n"
    "  check CURRENT_VERSION             ask whether an update is needed; prints the reply\n"
    "  install [--user U] [--display D]  verify and start the registered installer\n"
    "  stop [--reply]                    ask the service to stop; --reply waits for its answer\n"
    "  send JSON [--reply]               send JSON text as it is; --reply prints the answer\n"
    "\n"
    "Options:\n"
    "  --pipe NAME   pipe name (default " TARNEL_PIPE_NAME
    ")\n"
    "  --help        show this text\n"
    "\n"
    "Exit status: 0 done, 1 wrong usage, 2 service not reachable, 3 sending failed or\n"
    "no valid reply within 10 seconds.\n";

struct Request {
  std::string text;  // the JSON text to send
  bool wantReply = false;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "tarnel-updater-client: %s\n(see --help)\n", message.c_str());
  return kUsage;
}

// Takes "--name VALUE" out of `args`; false when the option is given without a value.
bool TakeOption(std::vector<std::string>* args, const std::string& option, std::string* value) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != option) continue;
    if (i + 1 >= args->size()) return false;
    *value = (*args)[i + 1];
    args->erase(args->begin() + static_cast<std::ptrdiff_t>(i),
                args->begin() + static_cast<std::ptrdiff_t>(i) + 2);
    return true;
  }
  return true;
}

bool TakeFlag(std::vector<std::string>* args, const std::string& flag) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] == flag) {
      args->erase(args->begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

// Builds the request of the command in args[0]; an empty message on success.
std::string BuildRequest(std::vector<std::string> args, Request* request) {
  const std::string command = args.front();
  args.erase(args.begin());
  Json::Value message(Json::objectValue);
  if (command == "register") {
    if (args.size() != 3) return "register needs PATH VERSION SHA256";
    message["type"] = "new_install_package";
    message["package_full_path"] = args[0];
    message["package_target_version"] = args[1];
    message["package_sha256"] = args[2];
  } else if (command == "check") {
    if (args.size() != 1) return "check needs CURRENT_VERSION";
    message["type"] = "is_update_needed";
    message["current_version"] = args[0];
    request->wantReply = true;
  } else if (command == "install") {
    std::string user, display;
    if (!TakeOption(&args, "--user", &user) || !TakeOption(&args, "--display", &display)) {
      return "--user and --display need a value";
    }
    if (!args.empty()) return "install takes only --user U and --display D";
    message["type"] = "start_update_install";
    message["user"] = user;
    message["display"] = display;
  } else if (command == "stop") {
    request->wantReply = TakeFlag(&args, "--reply");
    if (!args.empty()) return "stop takes only --reply";
    message["type"] = "stop_service";
    if (request->wantReply) message["need_reply"] = true;
  } else if (command == "send") {
    request->wantReply = TakeFlag(&args, "--reply");
    if (args.size() != 1) return "send needs one JSON text";
    request->text = args[0];
    return "";
  } else {
    return "unknown command '" + command + "'";
  }
  request->text = tarnel::WriteCompactJson(message);
  return "";
}

int Send(const std::string& pipe, const Request& request) {
  tarnel::IPCClient client(/*verbose=*/false);
  if (!client.Connect(pipe, /*retry=*/true)) {
    std::fprintf(stderr,
                 "tarnel-updater-client: cannot connect to pipe %s: is the service running?\n",
                 pipe.c_str());
    return kNotRunning;
  }
  if (!client.SendText(request.text)) {
    std::fprintf(stderr, "tarnel-updater-client: sending to pipe %s failed\n", pipe.c_str());
    return kNoReply;
  }
  if (!request.wantReply) return kOk;
  std::string reply;
  switch (client.ReadText(&reply, kReplyTimeoutMs)) {
    case tarnel::IPCClient::ReadResult::kMessage:
      std::printf("%s\n", reply.c_str());
      return kOk;
    case tarnel::IPCClient::ReadResult::kTimedOut:
      std::fprintf(stderr, "tarnel-updater-client: no reply within 10 seconds\n");
      return kNoReply;
    case tarnel::IPCClient::ReadResult::kClosed:
      std::fprintf(stderr,
                   "tarnel-updater-client: the service closed the connection without a reply\n");
      return kNoReply;
    case tarnel::IPCClient::ReadResult::kInvalid:
      break;
  }
  std::fprintf(stderr, "tarnel-updater-client: the reply is not a valid frame\n");
  return kNoReply;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsageText, stderr);
    return kUsage;
  }
  if (TakeFlag(&args, "--help")) {
    std::fputs(kUsageText, stdout);
    return kOk;
  }
  std::string pipe = kDefaultPipe;
  if (!TakeOption(&args, "--pipe", &pipe)) return UsageError("--pipe needs a NAME");
  if (args.empty()) return UsageError("no command given");
  Request request;
  const std::string error = BuildRequest(args, &request);
  if (!error.empty()) return UsageError(error);
  return Send(pipe, request);
}
