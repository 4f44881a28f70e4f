#include "command_channel/updater_ipc_server.h"

#include "logging/logger.h"
#include "service_host/updater_manager.h"

namespace tarnel {
namespace {

const char kNeedReply[] = "need_reply";
// Members read as text; an array or object there cannot be converted.
const char* const kTextMembers[] = {"type",           "package_full_path", "package_target_version",
                                    "package_sha256", "current_version",   "user",
                                    "display"};

bool IsScalar(const Json::Value& value) { return !value.isArray() && !value.isObject(); }

// Whether every member the handler reads has a type it can convert. The root must be an
// object, or null (which reads as an empty object).
bool IsReadable(const Json::Value& message) {
  if (message.isNull()) return true;
  if (!message.isObject()) return false;
  for (const char* member : kTextMembers) {
    if (!IsScalar(message[member])) return false;
  }
  const Json::Value& needReply = message[kNeedReply];
  return needReply.isNull() || needReply.isBool() || needReply.isNumeric();
}

std::string TextArgument(const Json::Value& message, const char* member) {
  return message.get(member, "").asString();
}

bool BoolArgument(const Json::Value& message, const char* member) {
  return message.get(member, false).asBool();
}

// The type as text for the log line, also for a message that cannot be read.
std::string TypeText(const Json::Value& message) {
  if (!message.isObject() || !IsScalar(message["type"])) return "";
  return message["type"].asString();
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
  if (IsReadable(message)) {
    if (type == "stop_service") return HandleStopService(message, reply);
    if (type == "new_install_package") {
      const std::string path = TextArgument(message, "package_full_path");
      const std::string version = TextArgument(message, "package_target_version");
      const std::string sha256 = TextArgument(message, "package_sha256");
      manager->NewPackageReadyToInstall(path, version, sha256);
      return true;
    }
    if (type == "is_update_needed") {
      return HandleIsUpdateNeeded(TextArgument(message, "current_version"), reply);
    }
    if (type == "start_update_install") {
      const std::string user = TextArgument(message, "user");
      const std::string display = TextArgument(message, "display");
      return manager->Install(user, display);
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
bool UpdaterIPCServer::HandleStopService(const Json::Value& message, Reply* reply) {
  if (BoolArgument(message, kNeedReply)) {
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
