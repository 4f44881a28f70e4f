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

bool UpdaterIPCServer::HandleCommunication(platform::PipeHandle pipe, const Json::Value& message) {
  const std::string type = TypeText(message);
  TARNEL_LOG(SENSITIVE) << "UpdaterIPCServer: received in service ipc server: " << message;
  if (IsCommand(message)) {
    bool needReply = false;
    std::string first;
    std::string second;
    std::string third;
    if (type == "stop_service" && ReadBool(message, kNeedReply, needReply)) {
      return HandleStopService(needReply, pipe);
    }
    if (type == "new_install_package" && ReadText(message, "package_full_path", first) &&
        ReadText(message, "package_target_version", second) &&
        ReadText(message, "package_sha256", third)) {
      manager->NewPackageReadyToInstall(first, second, third);
      return true;
    }
    if (type == "is_update_needed" && ReadText(message, "current_version", first)) {
      return HandleIsUpdateNeeded(first, pipe);
    }
    if (type == "start_update_install" && ReadText(message, "user", first) &&
        ReadText(message, "display", second)) {
      return manager->Install(first, second);
    }
  }
  TARNEL_LOG(ERROR) << "UpdaterIPCServer: handle communication type " << type << " is unknown";
  return false;
}

bool UpdaterIPCServer::HandleStopService(bool needReply, platform::PipeHandle pipe) {
  bool result = true;
  if (needReply) {
    Json::Value reply(Json::objectValue);
    reply["status"] = "ok";
    result = WriteJsonMessage(pipe, reply);
  }
  manager->Stop();
  return result;
}

bool UpdaterIPCServer::HandleIsUpdateNeeded(const std::string& currentVersion,
                                            platform::PipeHandle pipe) {
  Json::Value reply(Json::objectValue);
  reply["update_needed"] = manager->PackageNeedsToBeInstalled(currentVersion);
  return WriteJsonMessage(pipe, reply);
}

}  // namespace tarnel
