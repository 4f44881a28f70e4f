#include <json/json.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "store_fixture.h"
#include "support/test_support.h"

namespace tarnel::testing {
namespace {

std::string StorePath() { return std::string(std::getenv("STATE_DIRECTORY")) + "/updater.json"; }

Json::Value LoadStore() {
  Json::Value document;
  const std::string text = ReadFile(StorePath());
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  reader->parse(text.data(), text.data() + text.size(), &document, &errors);
  return document;
}

void SaveStore(const Json::Value& document) {
  WriteFile(StorePath(), Json::writeString(Json::StreamWriterBuilder(), document));
}

}  // namespace

void CreateUpdaterKey() { WriteFile(StorePath(), "{}"); }

void DeleteUpdaterKey() {
  std::error_code ignored;
  std::filesystem::remove(StorePath(), ignored);
}

void StoreDword(const std::string& name, uint32_t value) {
  Json::Value document = LoadStore();
  document[name] = Json::UInt(value);
  SaveStore(document);
}

void StoreString(const std::string& name, const std::string& value) {
  Json::Value document = LoadStore();
  document[name] = value;
  SaveStore(document);
}

void RemoveValue(const std::string& name) {
  Json::Value document = LoadStore();
  document.removeMember(name);
  SaveStore(document);
}

bool LoadDwordValue(const std::string& name, uint32_t* value) {
  const Json::Value document = LoadStore();
  if (!document.isMember(name) || !document[name].isUInt()) return false;
  *value = document[name].asUInt();
  return true;
}

bool LoadStringValue(const std::string& name, std::string* value) {
  const Json::Value document = LoadStore();
  if (!document.isMember(name) || !document[name].isString()) return false;
  *value = document[name].asString();
  return true;
}

std::string ProgramFolder() {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "").string();
}

std::string ExecutableName(const std::string& name) { return name; }

std::string RecordedArguments(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) text += argument + "\n";
  return text;
}

}  // namespace tarnel::testing
