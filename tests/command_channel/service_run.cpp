#include "command_channel/service_run.h"

#include <filesystem>

#include "support/test_support.h"

namespace tarnel::testing {

ServiceRun::ServiceRun() : folder(MakeTempFolder("service")) {
  namespace fs = std::filesystem;
  const std::string data = folder + "data";
  fs::create_directories(fs::path(data) / "Tarnel" / "Logs");
  fs::create_directories(folder + "state");
  WriteFile((fs::path(data) / "Tarnel" / "settings.conf").string(),
            "{\"logging\": {\"severity\": \"sensitive\"}}");
  environment = {
      {"XDG_DATA_HOME", data},
      {"LOCALAPPDATA", data},
      {"STATE_DIRECTORY", folder + "state"},
      {"RUNTIME_DIRECTORY", TestRoot() + "run"},
      {"NOTIFY_SOCKET", ""},
  };
}

bool ServiceRun::Start(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& extraEnvironment) {
  std::map<std::string, std::string> merged = environment;
  for (const auto& [name, value] : extraEnvironment) merged[name] = value;
  return process.Start(TARNEL_SERVICE_EXE, args, merged, folder + "service-output.txt");
}

bool ServiceRun::WaitForExit(int* status, std::chrono::seconds timeout) {
  if (process.WaitForExit(timeout, status)) return true;
  process.Kill();
  return false;
}

int ServiceRun::Client(const std::vector<std::string>& args, std::string* output) {
  return RunToEnd(TARNEL_CLIENT_EXE, args, environment, output);
}

std::string ServiceRun::Log() const {
  namespace fs = std::filesystem;
  std::string text;
  std::error_code error;
  for (const auto& entry :
       fs::directory_iterator(fs::path(folder) / "data" / "Tarnel" / "Logs", error)) {
    if (entry.path().extension() == ".log") text += ReadFile(entry.path().string());
  }
  return text;
}

std::string ServiceRun::Output() const { return ReadFile(folder + "service-output.txt"); }

bool InOrder(const std::string& text, const std::vector<std::string>& lines) {
  size_t position = 0;
  for (const std::string& line : lines) {
    position = text.find(line, position);
    if (position == std::string::npos) return false;
    position += line.size();
  }
  return true;
}

int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

bool IsUpdateCheckAnswered(IPCClient* client) {
  Json::Value check;
  check["type"] = "is_update_needed";
  check["current_version"] = "1.0";
  Json::Value reply;
  return client->SendJsonMessage(check) &&
         client->ReadJsonMessage(&reply, 60000) == IPCClient::ReadResult::kMessage &&
         reply["update_needed"].isBool();
}

}  // namespace tarnel::testing
