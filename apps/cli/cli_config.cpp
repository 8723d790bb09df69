// The headless phone's settings command: reads fields of the live settings
// by name and changes one at a time the way the configuration dialog's
// Apply does, the command itself being the user's Yes to its questions.

#include <string>

#include "cli/cli_phone.h"
#include "cli/words.h"
#include "phone/settings_apply.h"
#include "store/cnf_names.h"

namespace orvalis::cli {

namespace {

const phone::ApplyPrompts applyPrompts{
    phone::joinLines("Connect setting have been changed.",
                     "Disconnect and reconnect to the new setting to take effect."),
    phone::joinLines("Sound setting have been changed.",
                     "Restart sound system to the new setting to take effect."),
};

}  // namespace

void CliPhone::addConfigCommands() {
  commands_.emplace("config", [this](std::string_view args) { configCommand(args); });
}

void CliPhone::configCommand(std::string_view args) {
  const auto [verb, rest] = splitWord(args);
  const auto [field, value] = splitWord(rest);
  if (verb == "list" && rest.empty()) {
    for (const auto name : store::cnfFieldNames()) ui_.print("config-field: " + std::string(name));
  } else if (verb == "get" && !field.empty() && value.empty()) {
    printSetting(field);
  } else if (verb == "set" && !field.empty()) {
    setSetting(field, value);
  } else {
    ui_.print("error: expected: config get FIELD, config set FIELD VALUE or config list");
  }
}

void CliPhone::printSetting(std::string_view field) {
  if (const auto value = store::getCnfField(phone_->cnf, field))
    ui_.print("config: " + std::string(field) + "=" + *value);
  else
    ui_.print("error: unknown setting: " + std::string(field));
}

void CliPhone::setSetting(std::string_view field, std::string_view value) {
  phone::CPhone& p = *phone_;
  if (!store::getCnfField(p.cnf, field)) {
    ui_.print("error: unknown setting: " + std::string(field));
    return;
  }
  // As the dialog: edit a fresh copy of the live record, then apply it.
  p.cnfEdit.copyFrom(p.cnf);
  if (!store::setCnfField(p.cnfEdit, field, value)) {
    ui_.print("error: refused value for " + std::string(field) + ": " + std::string(value));
    return;
  }
  const bool savePasswd = p.cnfEdit.passwdLen.get() >= 1;
  if (!phone::applySettings(p, ui_, applyPrompts, savePasswd, p.cnfEdit.startUp.get()))
    ui_.print("error: the settings file could not be written");
  printSetting(field);
}

}  // namespace orvalis::cli
