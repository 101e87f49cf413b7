// Checks a JSON value against a JSON Schema document, for the part of the
// vocabulary the updater's result schema uses: type, required, properties,
// additionalProperties (false only), items, enum and local "$ref" ("#/$defs/NAME"). Anything else in the schema
// is ignored, so a schema that starts using more must grow this with it.
#pragma once
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace jsonschema {

using nlohmann::json;

inline bool HasType(const json& value, const std::string& type) {
  if (type == "object") return value.is_object();
  if (type == "array") return value.is_array();
  if (type == "string") return value.is_string();
  if (type == "integer") return value.is_number_integer();
  if (type == "number") return value.is_number();
  if (type == "boolean") return value.is_boolean();
  if (type == "null") return value.is_null();
  return false;
}

// The problems found, each naming the path of the value ("$.results[0].serial"); empty when it fits.
inline void Check(const json& root, const json& schema, const json& value, const std::string& path,
                  std::vector<std::string>& problems) {
  if (schema.contains("$ref")) {
    std::string ref = schema["$ref"];
    const std::string prefix = "#/$defs/";
    if (ref.compare(0, prefix.size(), prefix) != 0 || !root["$defs"].contains(ref.substr(prefix.size()))) {
      problems.push_back(path + ": unresolved reference " + ref);
      return;
    }
    Check(root, root["$defs"][ref.substr(prefix.size())], value, path, problems);
  }
  if (schema.contains("type") && !HasType(value, schema["type"])) {
    problems.push_back(path + ": not of type " + schema["type"].get<std::string>() + ": " + value.dump());
    return;
  }
  if (schema.contains("enum")) {
    bool listed = false;
    for (const json& allowed : schema["enum"]) listed = listed || allowed == value;
    if (!listed) problems.push_back(path + ": " + value.dump() + " is not one of " + schema["enum"].dump());
  }
  if (value.is_object()) {
    for (const json& name : schema.value("required", json::array()))
      if (!value.contains(name.get<std::string>())) problems.push_back(path + ": lacks " + name.get<std::string>());
    const json properties = schema.value("properties", json::object());
    for (auto member = value.begin(); member != value.end(); ++member) {
      if (properties.contains(member.key()))
        Check(root, properties[member.key()], member.value(), path + "." + member.key(), problems);
      else if (schema.value("additionalProperties", true) == false)
        problems.push_back(path + ": undescribed member " + member.key());
    }
  }
  if (value.is_array() && schema.contains("items")) {
    for (size_t i = 0; i < value.size(); ++i)
      Check(root, schema["items"], value[i], path + "[" + std::to_string(i) + "]", problems);
  }
}

inline std::vector<std::string> Problems(const json& schema, const json& value) {
  std::vector<std::string> problems;
  Check(schema, schema, value, "$", problems);
  return problems;
}

// The problems of `text` as the one document of updater --json against `schema`
// (the installed result schema): not one JSON value, or not fitting it.
inline std::vector<std::string> DocumentProblems(const json& schema, const std::string& text) {
  json document;
  try {
    document = json::parse(text);
  } catch (const json::exception& e) {
    return {std::string("not one JSON document: ") + e.what()};
  }
  return Problems(schema, document);
}

}  // namespace jsonschema
