#include "command_channel/updater_ipc_server.h"

#include "logging/logger.h"
#include "service_host/updater_manager.h"

namespace tarnel {
namespace {

const char kNeedReply[] = "need_reply";

bool IsScalar(const Json::Value& value) { return !value.isArray() && !value.isObject(); }

// The root must be an object, or null (which reads as an empty object), with a "type" that
// converts to text.
bool IsCommand(const Json::Value& message) {
  return (message.isNull() || message.isObject()) && IsScalar(message["type"]);
}

// Each command checks only the members it reads: the JSON library aborts on converting an
// array or object to text, or a string, array or object to a boolean, and a member no
// command reads is never looked at. False leaves `value` as it was.
bool ReadText(const Json::Value& message, const char* member, std::string& value) {
  const Json::Value& found = message[member];
  if (!IsScalar(found)) return false;
  value = found.asString();
  return true;
}

bool ReadBool(const Json::Value& message, const char* member, bool& value) {
  const Json::Value& found = message[member];
  if (!found.isNull() && !found.isBool() && !found.isNumeric()) return false;
  value = found.asBool();
  return true;
}

// The type as text for the log line, also for a message that cannot be read.
std::string TypeText(const Json::Value& message) {
  return IsCommand(message) ? message["type"].asString() : "";
}

}  // namespace

UpdaterIPCServer::UpdaterIPCServer(UpdaterManager* updaterManager) : manager(updaterManager) {
  TARNEL_LOG(VERBOSE) << "UpdaterIPCServer: create";
}

UpdaterIPCServer::~UpdaterIPCServer() {
  TARNEL_LOG(VERBOSE) << "UpdaterIPCServer: destroy";
  Stop();
}

bool UpdaterIPCServer::HandleCommunication(platform::PipeHandle pipe,
                                           const Json::Value& message, Reply* reply) {
  const std::string type = TypeText(message);
  TARNEL_LOG(SENSITIVE) << "UpdaterIPCServer: received in service ipc server: " << message;
  if (IsCommand(message)) {
    bool needReply = false;
    std::string first;
    std::string second;
    std::string third;
    if (type == "stop_service" && ReadBool(message, kNeedReply, needReply)) {
      return HandleStopService(needReply, reply);
    }
    if (type == "new_install_package" && ReadText(message, "package_full_path", first) &&
        ReadText(message, "package_target_version", second) &&
        ReadText(message, "package_sha256", third)) {
      manager->NewPackageReadyToInstall(first, second, third);
      return true;
    }
    if (type == "is_update_needed" && ReadText(message, "current_version", first)) {
      return HandleIsUpdateNeeded(first, reply);
    }
    if (type == "start_update_install" && ReadText(message, "user", first) &&
        ReadText(message, "display", second)) {
      return manager->Install(first, second);
    }
  }
  std::string note;
  if (MayLogCallerLine(pipe, LogLevel::ERROR, &note)) {
    TARNEL_LOG(ERROR) << "UpdaterIPCServer: handle communication type " << type << " is unknown"
                      << note;
  }
  return false;
}

// The keep-or-close result of both commands is whether their reply is written completely,
// which the server adds once it wrote the reply.
bool UpdaterIPCServer::HandleStopService(bool needReply, Reply* reply) {
  if (needReply) {
    Json::Value status(Json::objectValue);
    status["status"] = "ok";
    reply->message = std::move(status);
  }
  // The manager is asked to stop after the reply was written, or its writing failed.
  reply->afterWrite = [this] { manager->Stop(); };
  return true;
}

bool UpdaterIPCServer::HandleIsUpdateNeeded(const std::string& currentVersion, Reply* reply) {
  Json::Value answer(Json::objectValue);
  answer["update_needed"] = manager->PackageNeedsToBeInstalled(currentVersion);
  reply->message = std::move(answer);
  return true;
}

}  // namespace tarnel
